// The present state of keys and buttons, listen access and tap creation, and what the layer does
// when its X server dies or stops.
#include "tapping.h"
#include "xserver.h"

#include "compat/IOKit.h"
#include "compat/testing.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// A state query gets no more than a short while to be answered and counts silence as "down", so
// an answer of "up" may take a second query on a loaded machine.
bool eventually(const std::function<bool()> &condition, double seconds = 5) {
    double deadline = now() + seconds;
    while (!condition()) {
        if (now() > deadline)
            return false;
        usleep(5000);
    }
    return true;
}

bool keyDown(uint16_t code) {
    return CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, code);
}

bool buttonDown(uint32_t button) {
    return CGEventSourceButtonState(kCGEventSourceStateCombinedSessionState,
                                    static_cast<CGMouseButton>(button));
}

CGEventRef ignore(CGEventTapProxy, CGEventType, CGEventRef event, void *) {
    return event;
}

CFMachPortRef createTap(CGEventTapOptions options, CGEventMask mask, CGEventTapCallBack callback) {
    return CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, options, mask, callback,
                            nullptr);
}

size_t noticesSeen() {
    return seenOfType(kCGEventTapDisabledByUserInput).size() +
           seenOfType(kCGEventTapDisabledByTimeout).size();
}

// Puts DISPLAY back, and a running server in place of one a test killed or stopped, for the
// tests that follow.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *value = getenv("DISPLAY");
        ASSERT_NE(value, nullptr);
        display = value;
    }

    void TearDown() override {
        closeTap();
        setenv("DISPLAY", display.c_str(), 1);
        if (xServerPid() < 0) {
            ASSERT_TRUE(restartXServer());
        }
        resumeXServer();
    }

    std::string display;
};

using ListenAccess = ServerTest;

TEST_F(ListenAccess, IsThereWhenTheServerIsAndNotOtherwise) {
    const struct {
        const char *name;
        const char *display; // nullptr: unset; "" the private server
        bool granted;
    } cases[] = {
        {"the private server", "", true},
        {"no DISPLAY", nullptr, false},
        {"a display with no server", ":65000", false},
        {"a display name that does not parse", "no display", false},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.name);
        if (test.display == nullptr)
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", test.display[0] == '\0' ? display.c_str() : test.display, 1);
        EXPECT_EQ(CGPreflightListenEventAccess(), test.granted);
        EXPECT_EQ(IOHIDRequestAccess(kIOHIDRequestTypeListenEvent), test.granted);
        CFMachPortRef tap = createTap(kCGEventTapOptionListenOnly, listenedEvents, ignore);
        EXPECT_EQ(tap != nullptr, test.granted);
        if (tap != nullptr)
            CFRelease(tap);
        EXPECT_FALSE(keyDown(0x00));
        EXPECT_FALSE(buttonDown(2));
    }
}

using TapCreation = ServerTest;

TEST_F(TapCreation, FailsWhenATestAsksItTo) {
    compatFailCreation("CGEventTapCreate");
    EXPECT_EQ(openTap(), nullptr);
    compatFailCreation(nullptr);
    EXPECT_NE(openTap(), nullptr);
}

TEST_F(TapCreation, MakesOnlyListenOnlyTapsWithEventsAndACallback) {
    EXPECT_EQ(createTap(kCGEventTapOptionDefault, listenedEvents, ignore), nullptr);
    EXPECT_EQ(createTap(kCGEventTapOptionListenOnly, 0, ignore), nullptr);
    EXPECT_EQ(createTap(kCGEventTapOptionListenOnly, listenedEvents, nullptr), nullptr);
}

TEST_F(TapCreation, ReleasingTheTapLeavesNoObjectBehind) {
    long before = compatLiveObjects();
    ASSERT_NE(openTap(), nullptr);
    EXPECT_GT(compatLiveObjects(), before);
    tapKey(KEY_A);
    EXPECT_TRUE(awaitEvents(2));
    closeTap();
    EXPECT_EQ(compatLiveObjects(), before);
}

struct KeyStateCase {
    const char *name;
    int inputCode;
    uint16_t code;
};

const KeyStateCase keyStateCases[] = {
    {"KeyA", KEY_A, 0x00},
    {"KeyS", KEY_S, 0x01},
    {"Space", KEY_SPACE, 0x31},
    {"Backquote", KEY_GRAVE, 0x32},
    {"F6", KEY_F6, 0x61},
    {"F12", KEY_F12, 0x6F},
    {"left Shift", KEY_LEFTSHIFT, 0x38},
    {"Escape", KEY_ESC, 0x35},
};

struct ButtonStateCase {
    uint32_t button;
    int xButton;
};

// The program's three buttons. Xvfb's master pointer shows no state for X buttons above 9.
const ButtonStateCase buttonStateCases[] = {{2, 2}, {3, 8}, {4, 9}};

using SessionState = ServerTest;

// With a tap the query goes over the tap's connection, as it does in the program; without one,
// over a connection of its own.
TEST_F(SessionState, KeysAndButtonsAreDownWhileTheServerHasThemDown) {
    for (bool withTap : {true, false}) {
        SCOPED_TRACE(withTap ? "with a tap" : "without a tap");
        if (withTap) {
            ASSERT_NE(openTap(), nullptr);
        }
        for (const KeyStateCase &key : keyStateCases) {
            SCOPED_TRACE(key.name);
            EXPECT_TRUE(eventually([&] { return !keyDown(key.code); }));
            pressKey(key.inputCode);
            EXPECT_TRUE(keyDown(key.code));
            releaseKey(key.inputCode);
            EXPECT_TRUE(eventually([&] { return !keyDown(key.code); }));
        }
        for (const ButtonStateCase &button : buttonStateCases) {
            SCOPED_TRACE("button " + std::to_string(button.button));
            EXPECT_TRUE(eventually([&] { return !buttonDown(button.button); }));
            pressButton(button.xButton);
            EXPECT_TRUE(buttonDown(button.button));
            releaseButton(button.xButton);
            EXPECT_TRUE(eventually([&] { return !buttonDown(button.button); }));
        }
        closeTap();
    }
}

TEST_F(SessionState, CodesAndButtonsThatNoInputHasAreUp) {
    ASSERT_NE(openTap(), nullptr);
    for (uint16_t code : {uint16_t{0x34}, uint16_t{0x7F}, uint16_t{0x80}, uint16_t{0xFFFF}})
        EXPECT_FALSE(keyDown(code)) << code;
    EXPECT_FALSE(buttonDown(300));
}

// A query reads the events the tap has not read yet ahead, where the descriptor no longer shows
// them, and the run loop must still serve them at once.
TEST_F(SessionState, EventsReadByAQueryAreDeliveredWithoutWaiting) {
    ASSERT_NE(openTap(), nullptr);
    pressKey(KEY_A);
    EXPECT_TRUE(keyDown(0x00));
    EXPECT_TRUE(awaitEvents(1, 5));
    releaseKey(KEY_A);
    EXPECT_TRUE(awaitEvents(2, 5));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].type, kCGEventKeyDown);
    EXPECT_EQ(seen[1].type, kCGEventKeyUp);
}

// Events the tap has read ahead for a query but not yet delivered count in its answers, and are
// delivered after, in the order the server sent them: as many as the tap keeps, and more than that,
// when the server has to answer.
TEST_F(SessionState, EventsReadAheadForAQueryCountInItsAnswerAndKeepTheirOrder) {
    ASSERT_NE(openTap(), nullptr);
    for (int burst : {1, 50}) {
        SCOPED_TRACE(std::to_string(burst) + " taps of S before the question");
        seen.clear();
        for (int tap = 0; tap < burst; ++tap)
            tapKey(KEY_S);
        pressKey(KEY_A);
        pressButton(8);
        releaseButton(8);
        EXPECT_TRUE(keyDown(0x00));
        EXPECT_TRUE(eventually([] { return !keyDown(0x01) && !buttonDown(3); }));
        releaseKey(KEY_A);
        EXPECT_TRUE(eventually([] { return !keyDown(0x00); }));

        ASSERT_TRUE(awaitEvents(2 * static_cast<size_t>(burst) + 4));
        runLoopFor(0.05);
        ASSERT_EQ(seen.size(), 2 * static_cast<size_t>(burst) + 4);
        for (int tap = 0; tap < burst; ++tap) {
            EXPECT_EQ(seen[2 * tap].type, kCGEventKeyDown);
            EXPECT_EQ(seen[2 * tap].code, 0x01);
            EXPECT_EQ(seen[2 * tap + 1].type, kCGEventKeyUp);
        }
        size_t last = 2 * static_cast<size_t>(burst);
        EXPECT_EQ(seen[last].type, kCGEventKeyDown);
        EXPECT_EQ(seen[last].code, 0x00);
        EXPECT_EQ(seen[last + 1].type, kCGEventOtherMouseDown);
        EXPECT_EQ(seen[last + 1].button, 3);
        EXPECT_EQ(seen[last + 2].type, kCGEventOtherMouseUp);
        EXPECT_EQ(seen[last + 3].type, kCGEventKeyUp);
        EXPECT_EQ(seen[last + 3].code, 0x00);
    }
}

using ServerFaults = ServerTest;

TEST_F(ServerFaults, AKilledServerDisablesTheTapOnceAndANewServerOnTheDisplayResumesIt) {
    ASSERT_NE(openTap(), nullptr);
    tapKey(KEY_A);
    ASSERT_TRUE(awaitEvents(2));

    killXServer();
    ASSERT_TRUE(awaitEvents(3));
    EXPECT_EQ(seen[2].type, kCGEventTapDisabledByUserInput);

    // Away from its server the tap tries it again now and then; it does not spin meanwhile.
    double processor = processorSeconds();
    runLoopFor(2.5);
    processor = processorSeconds() - processor;
    EXPECT_LT(processor, 0.5) << "the run loop used " << processor << " s of processor in 2.5 s";
    EXPECT_EQ(noticesSeen(), 1u);
    EXPECT_FALSE(keyDown(0x00));
    EXPECT_FALSE(buttonDown(2));
    EXPECT_FALSE(CGPreflightListenEventAccess());

    ASSERT_TRUE(restartXServer());
    bool resumed = false;
    for (double deadline = now() + 15; !resumed && now() < deadline;) {
        size_t before = seen.size();
        tapKey(KEY_B);
        resumed = awaitEvents(before + 2, 0.3);
    }
    ASSERT_TRUE(resumed);
    EXPECT_EQ(noticesSeen(), 1u);
    EXPECT_EQ(seen.back().type, kCGEventKeyUp);
    EXPECT_EQ(seen.back().code, 0x0B);
    pressKey(KEY_C);
    EXPECT_TRUE(keyDown(0x08));
    releaseKey(KEY_C);
}

// A stopped server must neither stall the listener nor invent a release. A tap that has read
// everything the server sent answers from what it saw; without one, a query answers "down" once
// its short wait is over. The tap lives on when the server runs again.
TEST_F(ServerFaults, AStoppedServerAnswersStateQueriesWithoutStallingOrInventingARelease) {
    for (bool withTap : {true, false}) {
        SCOPED_TRACE(withTap ? "with a tap" : "without a tap");
        if (withTap) {
            ASSERT_NE(openTap(), nullptr);
            pressKey(KEY_A);
            pressButton(8);
            ASSERT_TRUE(awaitEvents(2));
        }
        pauseXServer();
        for (int query = 0; query < 3; ++query) {
            double start = now();
            EXPECT_TRUE(keyDown(0x00));
            EXPECT_TRUE(buttonDown(3));
            if (withTap) {
                EXPECT_FALSE(keyDown(0x01));
                EXPECT_FALSE(buttonDown(4));
            }
            EXPECT_LT(now() - start, 0.5);
        }
        if (!withTap) {
            double start = now();
            EXPECT_EQ(createTap(kCGEventTapOptionListenOnly, listenedEvents, ignore), nullptr);
            EXPECT_FALSE(CGPreflightListenEventAccess());
            EXPECT_LT(now() - start, 5.0);
        }
        resumeXServer();
        if (withTap) {
            releaseKey(KEY_A);
            releaseButton(8);
            ASSERT_TRUE(awaitEvents(4));
        }
        EXPECT_TRUE(eventually([] { return !keyDown(0x00) && !buttonDown(3); }));
        if (!withTap) {
            ASSERT_NE(openTap(), nullptr);
        }
        size_t before = seen.size();
        tapKey(KEY_D);
        ASSERT_TRUE(awaitEvents(before + 2));
        EXPECT_EQ(seen[before].code, 0x02);
        EXPECT_EQ(noticesSeen(), 0u);
        closeTap();
    }
}

} // namespace
