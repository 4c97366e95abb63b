// The listener end to end under valgrind's memcheck, on a private Xvfb with XTest input: no
// invalid access, no use of undefined memory and no leak, through presses, a lost and regained
// server, capture, data on standard input, and the orderly end.
#include "robust.h"
#include "xserver.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint16_t macSpace = 0x31, macS = 0x01;
constexpr int slowMs = 30000; // memcheck runs the program many times slower

std::vector<std::string> memcheck() {
    std::string valgrind = findProgram("valgrind");
    EXPECT_NE(valgrind, "") << "valgrind is not installed (scripts/install-deps installs it)";
    return {valgrind,
            "-q",
            "--tool=memcheck",
            "--error-exitcode=99",
            "--leak-check=full",
            "--show-leak-kinds=definite,indirect,possible",
            "--errors-for-leak-kinds=definite,indirect,possible",
            "--track-origins=yes"};
}

// Closes standard input and checks the end: these last lines, status 0, and not a word from
// memcheck, which reports on standard error and exits 99 on any error or leak.
void finishClean(Child &child, const std::vector<std::string> &lastLines = {}) {
    closeInput(child);
    for (const std::string &line : lastLines)
        EXPECT_EQ(readLine(child, slowMs), line);
    EXPECT_EQ(readLine(child, slowMs), "<eof>");
    EXPECT_EQ(waitChild(child, slowMs), 0);
    EXPECT_EQ(drainErrors(child), "");
}

TEST(Memcheck, ListenThroughPressesALostServerAndTheEnd) {
    Child child = startListener({"--listen", "Space"}, memcheck());
    ASSERT_EQ(readLine(child, slowMs), "ready");
    for (int round = 0; round < 3; ++round) {
        pressMacKey(macS);
        pressMacKey(macSpace);
        EXPECT_EQ(readLine(child, slowMs), "down");
        releaseMacKey(macS);
        pressButton(2);
        releaseButton(2);
        releaseMacKey(macSpace);
        EXPECT_EQ(readLine(child, slowMs), "up");
    }
    pressKey(KEY_LEFTSHIFT);
    pressMacKey(macSpace);
    releaseMacKey(macSpace);
    releaseKey(KEY_LEFTSHIFT);

    // The server goes while the key is held, and a new one comes on the same display.
    pressMacKey(macSpace);
    EXPECT_EQ(readLine(child, slowMs), "down");
    killXServer();
    EXPECT_EQ(readLine(child, slowMs), "up");
    ASSERT_TRUE(restartXServer());
    std::string line = "<timeout>";
    for (int attempt = 0; attempt < 100 && line == "<timeout>"; ++attempt) {
        pressMacKey(macSpace);
        line = readLine(child, 300);
        releaseMacKey(macSpace);
    }
    EXPECT_EQ(line, "down") << "the listener did not come back to the new server";
    EXPECT_EQ(readLine(child, slowMs), "up");

    pressMacKey(macSpace);
    EXPECT_EQ(readLine(child, slowMs), "down");
    finishClean(child, {"up"});
    releaseMacKey(macSpace);
}

TEST(Memcheck, CaptureAndAStandardInputFedData) {
    Child child = startListener({"--capture"}, memcheck());
    ASSERT_EQ(readLine(child, slowMs), "ready");
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 % 251);
    ASSERT_EQ(write(child.input, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    pressKey(KEY_LEFTCTRL);
    pressMacKey(macS);
    releaseMacKey(macS);
    releaseKey(KEY_LEFTCTRL);
    pressButton(9);
    releaseButton(9);
    EXPECT_EQ(readLine(child, slowMs), "assign MouseForward");
    pressMacKey(macSpace);
    releaseMacKey(macSpace);
    finishClean(child);
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
    return RUN_ALL_TESTS();
}
