// The hold tracker against a model of its own: a state table written out here, driven by long
// random sequences of notifications from fixed seeds, compared line for line with what the real
// tracker writes, and checked for the promises the host relies on.
#include "core/tracker.h"
#include "counting.h"
#include "platform/input.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Every input name, written out again so that the model does not lean on the program's table.
const char *const keyNames[] = {
    "KeyA",   "KeyB",   "KeyC",   "KeyD",   "KeyE",   "KeyF",   "KeyG",      "KeyH",   "KeyI",
    "KeyJ",   "KeyK",   "KeyL",   "KeyM",   "KeyN",   "KeyO",   "KeyP",      "KeyQ",   "KeyR",
    "KeyS",   "KeyT",   "KeyU",   "KeyV",   "KeyW",   "KeyX",   "KeyY",      "KeyZ",   "Digit0",
    "Digit1", "Digit2", "Digit3", "Digit4", "Digit5", "Digit6", "Digit7",    "Digit8", "Digit9",
    "Space",  "F6",     "F7",     "F8",     "F9",     "F10",    "Backquote", "F11",    "F12",
};
const char *const buttonNames[] = {"MouseMiddle", "MouseBack", "MouseForward"};
constexpr int keyNameCount = sizeof keyNames / sizeof keyNames[0];
constexpr int nameCount = keyNameCount + 3;

const char *nameAt(int index) {
    return index < keyNameCount ? keyNames[index] : buttonNames[index - keyNameCount];
}

// ---- The model ----

enum State { idle, waiting, heldDown, unassigned, assignedOnce };
enum Line { noLine, downLine, upLine, assignLine };

// What one notification is, as the state table sees it.
enum What {
    selectionPress, // in capture mode: the press of any named input
    selectionRelease,
    selectionNeither, // neither pressed nor released
    otherInput,       // another input, with any flags
    unnamedInput,     // an input without a name, with any flags
    pollDown,
    pollUp,
    disabledNotice, // the system disabled the tap
};
constexpr int whatCount = disabledNotice + 1;

enum Flag { no, yes, any };
enum Kind { key, mouse, anyKind };

struct Row {
    State from;
    What what;
    Flag modified;
    Flag repeat;
    Kind kind; // of the selection
    State to;
    Line line;
};

// The first row that matches decides. In capture mode "selection" stands for any named input.
const Row table[] = {
    // Waiting for the release of an input held at start: only its end counts.
    {waiting, selectionPress, any, any, anyKind, waiting, noLine},
    {waiting, selectionRelease, any, any, anyKind, idle, noLine},
    {waiting, selectionNeither, any, any, anyKind, waiting, noLine},
    {waiting, otherInput, any, any, anyKind, waiting, noLine},
    {waiting, unnamedInput, any, any, anyKind, waiting, noLine},
    {waiting, pollDown, any, any, anyKind, waiting, noLine},
    {waiting, pollUp, any, any, anyKind, idle, noLine},
    {waiting, disabledNotice, any, any, anyKind, waiting, noLine},

    {idle, selectionPress, no, no, anyKind, heldDown, downLine},
    {idle, selectionPress, yes, no, mouse, heldDown, downLine},
    {idle, selectionPress, yes, no, key, idle, noLine},
    {idle, selectionPress, any, yes, anyKind, idle, noLine},
    {idle, selectionRelease, any, any, anyKind, idle, noLine},
    {idle, selectionNeither, any, any, anyKind, idle, noLine},
    {idle, otherInput, any, any, anyKind, idle, noLine},
    {idle, unnamedInput, any, any, anyKind, idle, noLine},
    {idle, pollDown, any, any, anyKind, idle, noLine},
    {idle, pollUp, any, any, anyKind, idle, noLine},
    {idle, disabledNotice, any, any, anyKind, idle, noLine},

    {heldDown, selectionPress, any, any, anyKind, heldDown, noLine},
    {heldDown, selectionRelease, any, any, anyKind, idle, upLine},
    {heldDown, selectionNeither, any, any, anyKind, heldDown, noLine},
    {heldDown, otherInput, any, any, anyKind, heldDown, noLine},
    {heldDown, unnamedInput, any, any, anyKind, heldDown, noLine},
    {heldDown, pollDown, any, any, anyKind, heldDown, noLine},
    {heldDown, pollUp, any, any, anyKind, idle, upLine},
    {heldDown, disabledNotice, any, any, anyKind, idle, upLine},

    // Capture: the first press of a named input without a modifier, repeat or not.
    {unassigned, selectionPress, no, any, anyKind, assignedOnce, assignLine},
    {unassigned, selectionPress, yes, any, anyKind, unassigned, noLine},
    {unassigned, selectionRelease, any, any, anyKind, unassigned, noLine},
    {unassigned, selectionNeither, any, any, anyKind, unassigned, noLine},
    {unassigned, unnamedInput, any, any, anyKind, unassigned, noLine},
    {unassigned, pollDown, any, any, anyKind, unassigned, noLine},
    {unassigned, pollUp, any, any, anyKind, unassigned, noLine},
    {unassigned, disabledNotice, any, any, anyKind, unassigned, noLine},
    {assignedOnce, selectionPress, any, any, anyKind, assignedOnce, noLine},
    {assignedOnce, selectionRelease, any, any, anyKind, assignedOnce, noLine},
    {assignedOnce, selectionNeither, any, any, anyKind, assignedOnce, noLine},
    {assignedOnce, unnamedInput, any, any, anyKind, assignedOnce, noLine},
    {assignedOnce, pollDown, any, any, anyKind, assignedOnce, noLine},
    {assignedOnce, pollUp, any, any, anyKind, assignedOnce, noLine},
    {assignedOnce, disabledNotice, any, any, anyKind, assignedOnce, noLine},
};

bool matches(Flag flag, bool value) {
    return flag == any || (flag == yes) == value;
}

const Row *rowFor(State from, What what, bool modified, bool repeat, bool selectionIsMouse) {
    for (const Row &row : table) {
        if (row.from == from && row.what == what && matches(row.modified, modified) &&
            matches(row.repeat, repeat) &&
            (row.kind == anyKind || (row.kind == mouse) == selectionIsMouse))
            return &row;
    }
    return nullptr;
}

bool isCaptureState(State state) {
    return state == unassigned || state == assignedOnce;
}

// ---- The real tracker, with its output caught ----

// The tracker writes to stdout; a memory stream in its place shows each line the moment it is
// flushed, and only then, without a system call per notification.
struct CaughtOutput {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = nullptr;
    FILE *saved = nullptr;
    size_t seen = 0;

    void begin() {
        stream = open_memstream(&buffer, &size);
        saved = stdout;
        stdout = stream;
    }
    void end() {
        stdout = saved;
        fclose(stream);
        free(buffer);
        buffer = nullptr;
        size = 0;
    }
    // Whether what has been flushed since the last call is exactly this text.
    bool freshIs(const std::string &text) {
        bool same =
            size - seen == text.size() && memcmp(buffer + seen, text.data(), text.size()) == 0;
        return same;
    }
    std::string fresh() {
        std::string text(buffer + seen, size - seen);
        seen = size;
        return text;
    }
    // Starts the stream over for the next sequence, so that it does not grow without end.
    void restart() {
        fseek(stream, 0, SEEK_SET);
        fflush(stream);
        seen = 0;
    }
};

void resetTracker() {
    selection = nullptr;
    capture = held = waitForRelease = assigned = false;
    setCounting(false);
    downs = ups = 0;
}

struct Notification {
    What what;
    const char *name; // the name handed to controlInput; nullptr when the input has none
    bool pressed, released, modified, repeat;
    bool pollAnswer;
    uint32_t noticeType;
};

std::string describe(const Notification &n) {
    switch (n.what) {
    case pollDown:
        return "releaseIfMissing(true)";
    case pollUp:
        return "releaseIfMissing(false)";
    case disabledNotice:
        return "disabled notice " + std::to_string(n.noticeType);
    default:
        return std::string("controlInput(") + (n.name ? n.name : "none") + ", " +
               std::to_string(n.pressed) + ", " + std::to_string(n.released) + ", " +
               std::to_string(n.modified) + ", " + std::to_string(n.repeat) + ")";
    }
}

CGEventRef noticeEvent = nullptr;

void deliver(const Notification &n) {
    switch (n.what) {
    case pollDown:
    case pollUp:
        releaseIfMissing(n.pollAnswer);
        break;
    case disabledNotice:
        // Through the tap callback itself; with no tap set, enabling it again does nothing.
        input(nullptr, static_cast<CGEventType>(n.noticeType), noticeEvent, nullptr);
        break;
    default:
        controlInput(n.name, n.pressed, n.released, n.modified, n.repeat);
        break;
    }
}

// Names that differ from a selection by a little, which must never be taken for it.
struct NearMisses {
    std::string texts[3];
};

NearMisses nearMissesOf(const char *name) {
    NearMisses misses;
    misses.texts[0] = name;
    misses.texts[0][0] = static_cast<char>(misses.texts[0][0] ^ 0x20); // the other case
    misses.texts[1] = std::string(name) + " ";
    misses.texts[2] = std::string(name, strlen(name) - 1);
    return misses;
}

struct Generator {
    std::mt19937_64 random;
    explicit Generator(uint64_t seed) : random(seed) {}
    unsigned below(unsigned limit) { return static_cast<unsigned>(random() % limit); }
    bool coin() { return (random() & 1) != 0; }
};

Notification randomNotification(Generator &g, bool captureMode, const char *tableNameOfSelection,
                                int selectionIndex, const NearMisses &misses) {
    Notification n{};
    // Mostly the selection's own presses and releases, where the rules are.
    static const What weighted[] = {
        selectionPress,   selectionPress,   selectionPress,   selectionPress, selectionRelease,
        selectionRelease, selectionRelease, selectionNeither, otherInput,     otherInput,
        unnamedInput,     pollDown,         pollUp,           disabledNotice};
    n.what = weighted[g.below(sizeof weighted / sizeof weighted[0])];
    if (captureMode && n.what == otherInput)
        n.what = selectionPress;  // every named input is "the selection" in capture mode
    unsigned motion = g.below(3); // pressed, released, neither: at most one of the two is true
    n.pressed = motion == 0;
    n.released = motion == 1;
    n.modified = g.coin();
    n.repeat = g.coin();
    switch (n.what) {
    case selectionPress:
    case selectionRelease:
    case selectionNeither:
        n.pressed = n.what == selectionPress;
        n.released = n.what == selectionRelease;
        n.name = captureMode ? nameAt(static_cast<int>(g.below(nameCount))) : tableNameOfSelection;
        break;
    case otherInput: {
        unsigned pick = g.below(nameCount + 3);
        if (pick >= nameCount) {
            n.name = misses.texts[pick - nameCount].c_str();
        } else {
            int index = static_cast<int>(pick);
            if (index == selectionIndex)
                index = (index + 1) % nameCount;
            n.name = nameAt(index);
        }
        break;
    }
    case unnamedInput:
        n.name = nullptr;
        break;
    case pollDown:
    case pollUp:
        n.pollAnswer = n.what == pollDown;
        break;
    case disabledNotice:
        n.noticeType = g.coin() ? kCGEventTapDisabledByTimeout : kCGEventTapDisabledByUserInput;
        break;
    }
    return n;
}

struct Totals {
    long sequences = 0;
    long notifications = 0;
    long lines = 0;
};

// Runs the sequences of one seed; returns the first disagreement, or "" when there is none.
std::string runSeed(uint64_t seed, long sequences, Totals &totals) {
    Generator g(seed);
    CaughtOutput out;
    out.begin();
    std::string failure;
    std::vector<Notification> history;
    char selectionText[32];
    for (long sequence = 0; sequence < sequences && failure.empty(); ++sequence) {
        resetTracker();
        out.restart();
        history.clear();
        bool captureMode = g.below(4) == 0;
        bool counting = g.below(8) == 0;
        int selectionIndex = static_cast<int>(g.below(nameCount));
        // The listener keeps the argument's own text, not the table's: compare by content.
        snprintf(selectionText, sizeof selectionText, "%s", nameAt(selectionIndex));
        const char *tableName = nameAt(selectionIndex);
        bool selectionIsMouse = selectionIndex >= keyNameCount;
        NearMisses misses = nearMissesOf(selectionText);
        State state = captureMode ? unassigned : idle;
        capture = captureMode;
        if (!captureMode) {
            selection = selectionText;
            if (g.coin()) {
                state = waiting; // held at start
                waitForRelease = true;
            }
        }
        setCounting(counting);
        uint32_t expectedDowns = 0, expectedUps = 0;
        std::string written;      // every line of this sequence, for the host's invariants
        bool lastWasDown = false; // listen: the last of "down" and "up" written was "down"
        int assignLines = 0;
        int length = 1 + static_cast<int>(g.below(24));
        for (int step = 0; step < length; ++step) {
            Notification n = randomNotification(g, captureMode, tableName, selectionIndex, misses);
            history.push_back(n);
            const Row *row = rowFor(state, n.what, n.modified, n.repeat, selectionIsMouse);
            if (row == nullptr) {
                failure = "the model has no row for this";
                break;
            }
            deliver(n);
            ++totals.notifications;
            std::string expected;
            // While counting, "down" and "up" are counted and the assign line is not written.
            if (row->line == downLine && counting)
                ++expectedDowns;
            else if (row->line == upLine && counting)
                ++expectedUps;
            else if (row->line == downLine)
                expected = "down\n";
            else if (row->line == upLine)
                expected = "up\n";
            else if (row->line == assignLine && !counting)
                expected = std::string("assign ") + n.name + "\n";
            std::string got = out.freshIs(expected) ? expected : out.fresh();
            out.seen = out.size;
            state = row->to;
            bool expectHeld = state == heldDown, expectWaiting = state == waiting,
                 expectAssigned = state == assignedOnce;
            if (got != expected)
                failure = "wrote \"" + got + "\", the model \"" + expected + "\"";
            else if (held != expectHeld || waitForRelease != expectWaiting ||
                     assigned != expectAssigned)
                failure = "state held=" + std::to_string(held) +
                          " waitForRelease=" + std::to_string(waitForRelease) +
                          " assigned=" + std::to_string(assigned) + ", the model " +
                          std::to_string(expectHeld) + std::to_string(expectWaiting) +
                          std::to_string(expectAssigned);
            else if (downs != expectedDowns || ups != expectedUps)
                failure = "counted " + std::to_string(downs) + " downs and " + std::to_string(ups) +
                          " ups, the model " + std::to_string(expectedDowns) + " and " +
                          std::to_string(expectedUps);
            // The promises themselves, whatever the model says.
            else if (held && waitForRelease)
                failure = "held and waitForRelease both true";
            else if (captureMode && held)
                failure = "held in capture mode";
            else if (!captureMode && assigned)
                failure = "assigned in listen mode";
            else if (!got.empty()) {
                ++totals.lines;
                written += got;
                if (captureMode) {
                    if (got.rfind("assign ", 0) != 0 || ++assignLines > 1)
                        failure = "capture wrote \"" + got + "\" after " +
                                  std::to_string(assignLines) + " assign lines";
                } else if (got == "down\n" && !lastWasDown) {
                    lastWasDown = true;
                } else if (got == "up\n" && lastWasDown) {
                    lastWasDown = false;
                } else {
                    failure = "listen wrote \"" + got + "\" out of turn";
                }
            }
            if (!failure.empty())
                break;
        }
        ++totals.sequences;
        if (!failure.empty()) {
            std::string trace;
            for (const Notification &line : history)
                trace += "\n  " + describe(line);
            failure = "seed " + std::to_string(seed) + ", sequence " + std::to_string(sequence) +
                      (captureMode ? ", capture" : std::string(", listen ") + selectionText) +
                      (counting ? ", counting" : "") + ": " + failure + " after:" + trace;
        }
    }
    out.end();
    resetTracker();
    return failure;
}

TEST(TrackerModel, TheTableCoversEveryCaseOnce) {
    const State states[] = {idle, waiting, heldDown, unassigned, assignedOnce};
    for (State from : states) {
        for (int what = 0; what < whatCount; ++what) {
            if (isCaptureState(from) && what == otherInput)
                continue; // in capture mode no named input is "other"
            for (int bits = 0; bits < 8; ++bits) {
                bool modified = bits & 1, repeat = bits & 2, mouseSelection = bits & 4;
                int rows = 0;
                for (const Row &row : table) {
                    rows += row.from == from && row.what == what &&
                            matches(row.modified, modified) && matches(row.repeat, repeat) &&
                            (row.kind == anyKind || (row.kind == mouse) == mouseSelection);
                }
                EXPECT_EQ(rows, 1) << "state " << from << ", what " << what << ", bits " << bits;
                const Row *row =
                    rowFor(from, static_cast<What>(what), modified, repeat, mouseSelection);
                if (row != nullptr) {
                    EXPECT_EQ(isCaptureState(row->to), isCaptureState(from));
                }
            }
        }
    }
}

TEST(TrackerModel, RandomSequencesAgreeWithTheModelLineForLine) {
    noticeEvent = CGEventCreateKeyboardEvent(nullptr, 0, true);
    const uint64_t seeds[] = {1, 2, 3, 20240611, 0x9E3779B97F4A7C15ull};
    constexpr long sequencesPerSeed = 200000;
    Totals totals;
    auto start = std::chrono::steady_clock::now();
    for (uint64_t seed : seeds) {
        std::string failure = runSeed(seed, sequencesPerSeed, totals);
        ASSERT_EQ(failure, "");
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CFRelease(noticeEvent);
    noticeEvent = nullptr;
    printf("tracker model: %ld sequences, %ld notifications, %ld lines in %.2f s\n",
           totals.sequences, totals.notifications, totals.lines, seconds);
    RecordProperty("sequences", std::to_string(totals.sequences));
    RecordProperty("notifications", std::to_string(totals.notifications));
}

} // namespace
