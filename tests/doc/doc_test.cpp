// The manual page must format without a single warning, and the manual page and the README must
// name exactly the inputs the program accepts, with the codes it uses for them.
#include "core/keys.h"
#include "process.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Entry {
    std::string name;
    std::string code; // "0x00" for a key, "button 2" for a mouse button

    bool operator==(const Entry &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Entry &entry) {
    return out << entry.name << " " << entry.code;
}

std::vector<Entry> programInputs() {
    std::vector<Entry> entries;
    for (const Key &key : keys) {
        char code[8];
        snprintf(code, sizeof code, "0x%02X", key.code);
        entries.push_back({key.name, code});
    }
    entries.push_back({"MouseMiddle", "button 2"});
    entries.push_back({"MouseBack", "button 3"});
    entries.push_back({"MouseForward", "button 4"});
    return entries;
}

std::vector<std::string> linesOf(const char *path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> cellsOf(const std::string &row, char separator) {
    std::vector<std::string> cells;
    std::stringstream stream(row);
    for (std::string cell; std::getline(stream, cell, separator);) {
        size_t first = cell.find_first_not_of(' ');
        size_t last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

// The rows of the table in the manual page's INPUT NAMES section: after the table's format, which
// ends with a full stop, comes the heading row and then one row per input.
std::vector<Entry> manualInputs() {
    enum { outside, format, heading, rows } part = outside;
    bool inSection = false;
    std::vector<Entry> entries;
    for (const std::string &line : linesOf(HOLD_MANUAL)) {
        if (line.starts_with(".SH"))
            inSection = line == ".SH INPUT NAMES";
        else if (inSection && line == ".TS")
            part = format;
        else if (line == ".TE")
            part = outside;
        else if (part == format && line.ends_with('.'))
            part = heading;
        else if (part == heading)
            part = rows;
        else if (part == rows) {
            std::vector<std::string> cells = cellsOf(line, '@');
            if (cells.size() == 3)
                entries.push_back({cells[0], cells[2]});
            else
                entries.push_back({line, "?"});
        }
    }
    return entries;
}

// The rows of the table in the README's "Input names" section, after its heading and rule rows.
std::vector<Entry> readmeInputs() {
    std::vector<Entry> entries;
    bool inSection = false;
    int row = 0;
    for (const std::string &line : linesOf(HOLD_README)) {
        if (line.starts_with("## "))
            inSection = line == "## Input names";
        else if (inSection && line.starts_with("|") && ++row > 2) {
            // "| `KeyA` | the A key | 0x00 |": empty cells at both ends.
            std::vector<std::string> cells = cellsOf(line, '|');
            if (cells.size() == 4 && cells[1].size() > 2 && cells[1].front() == '`')
                entries.push_back({cells[1].substr(1, cells[1].size() - 2), cells[3]});
            else
                entries.push_back({line, "?"});
        }
    }
    return entries;
}

TEST(InputNames, ManualPageListsEveryInputWithItsCode) {
    EXPECT_EQ(manualInputs(), programInputs());
}

TEST(InputNames, ReadmeListsEveryInputWithItsCode) {
    EXPECT_EQ(readmeInputs(), programInputs());
}

struct Linter {
    const char *name;
    std::vector<std::string> argv;
};

void PrintTo(const Linter &linter, std::ostream *out) {
    *out << linter.name;
}

class ManualPage : public testing::TestWithParam<Linter> {};

// Any message at all is a failure: both linters print nothing for a clean page.
TEST_P(ManualPage, FormatsWithoutWarnings) {
    const Linter &linter = GetParam();
    ASSERT_EQ(linter.argv[0].find("NOTFOUND"), std::string::npos) << linter.name << " is missing";
    Outcome outcome = runToEnd(linter.argv, "", {}, 20000);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.errors, "");
}

INSTANTIATE_TEST_SUITE_P(
    Linters, ManualPage,
    testing::Values(Linter{"mandoc", {HOLD_MANDOC, "-T", "lint", "-W", "warning", HOLD_MANUAL}},
                    Linter{"groff", {HOLD_GROFF, "-ww", "-z", "-t", "-man", HOLD_MANUAL}}),
    [](const testing::TestParamInfo<Linter> &info) { return std::string(info.param.name); });

} // namespace
