#include "core/tracker.h"
#include "counting.h"

#include <gtest/gtest.h>

#include <string>

namespace {

enum State { idle, waiting, heldDown };

const char *stateName(State s) {
    return s == idle ? "Idle" : s == waiting ? "Waiting" : "Held";
}

enum Notification {
    press,         // a fresh press, no modifier
    pressModified, // a press with Shift, Control, Option or Command down
    pressRepeat,   // an auto-repeat press
    release,
    releaseModified,
    pollDown,
    pollUp,
    otherPress, // another input's press and release
    otherRelease,
};

void resetTracker() {
    selection = nullptr;
    capture = held = waitForRelease = assigned = false;
    setCounting(false);
    downs = ups = 0;
}

void enter(State s) {
    held = s == heldDown;
    waitForRelease = s == waiting;
}

State current() {
    EXPECT_FALSE(held && waitForRelease) << "held and waitForRelease both set";
    return held ? heldDown : waitForRelease ? waiting : idle;
}

void deliver(const char *name, const char *other, Notification n) {
    switch (n) {
    case press:
        return controlInput(name, true, false, false, false);
    case pressModified:
        return controlInput(name, true, false, true, false);
    case pressRepeat:
        return controlInput(name, true, false, false, true);
    case release:
        return controlInput(name, false, true, false, false);
    case releaseModified:
        return controlInput(name, false, true, true, false);
    case pollDown:
        return releaseIfMissing(true);
    case pollUp:
        return releaseIfMissing(false);
    case otherPress:
        return controlInput(other, true, false, false, false);
    case otherRelease:
        return controlInput(other, false, true, false, false);
    }
}

// What the host reads after one notification in one state.
std::string lineAfter(const char *name, const char *other, State from, Notification n,
                      State *next) {
    resetTracker();
    selection = name;
    enter(from);
    testing::internal::CaptureStdout();
    deliver(name, other, n);
    std::string out = testing::internal::GetCapturedStdout();
    *next = current();
    return out;
}

struct Transition {
    State from;
    Notification notification;
    bool mouse; // the selection is a mouse button rather than a key
    State to;
    const char *line;
};

const Transition transitions[] = {
    {waiting, press, false, waiting, ""},
    {waiting, pressModified, false, waiting, ""},
    {waiting, pressRepeat, false, waiting, ""},
    {waiting, press, true, waiting, ""},
    {waiting, pressModified, true, waiting, ""},
    {waiting, release, false, idle, ""},
    {waiting, releaseModified, true, idle, ""},
    {waiting, pollUp, false, idle, ""},
    {waiting, pollDown, false, waiting, ""},
    {waiting, otherPress, false, waiting, ""},
    {waiting, otherRelease, false, waiting, ""},
    {idle, press, false, heldDown, "down\n"},
    {idle, press, true, heldDown, "down\n"},
    {idle, pressModified, true, heldDown, "down\n"},
    {idle, pressModified, false, idle, ""},
    {idle, pressRepeat, false, idle, ""},
    {idle, pressRepeat, true, idle, ""},
    {idle, release, false, idle, ""},
    {idle, releaseModified, false, idle, ""},
    {idle, pollUp, false, idle, ""},
    {idle, pollDown, false, idle, ""},
    {idle, otherPress, false, idle, ""},
    {idle, otherRelease, true, idle, ""},
    {heldDown, press, false, heldDown, ""},
    {heldDown, pressModified, true, heldDown, ""},
    {heldDown, pressRepeat, false, heldDown, ""},
    {heldDown, release, false, idle, "up\n"},
    {heldDown, releaseModified, false, idle, "up\n"},
    {heldDown, releaseModified, true, idle, "up\n"},
    {heldDown, pollUp, false, idle, "up\n"},
    {heldDown, pollUp, true, idle, "up\n"},
    {heldDown, pollDown, false, heldDown, ""},
    {heldDown, otherPress, false, heldDown, ""},
    {heldDown, otherRelease, true, heldDown, ""},
};

TEST(Tracker, StateTable) {
    for (const Transition &t : transitions) {
        const char *name = t.mouse ? "MouseBack" : "KeyA";
        const char *other = t.mouse ? "MouseForward" : "KeyS";
        State next;
        std::string line = lineAfter(name, other, t.from, t.notification, &next);
        SCOPED_TRACE(std::string(stateName(t.from)) + " " + name + " notification " +
                     std::to_string(t.notification));
        EXPECT_EQ(next, t.to) << "now " << stateName(next);
        EXPECT_EQ(line, t.line);
    }
}

// Drives a whole script of notifications and returns everything written.
std::string script(const char *name, std::initializer_list<Notification> notifications) {
    testing::internal::CaptureStdout();
    for (Notification n : notifications)
        deliver(name, "KeyS", n);
    return testing::internal::GetCapturedStdout();
}

TEST(Tracker, ListenScripts) {
    resetTracker();
    selection = "KeyA";
    // Each modifier refuses A; a plain A holds, and its release counts even with Shift down.
    EXPECT_EQ(script("KeyA", {pressModified, release, press, pressRepeat, pressRepeat,
                              releaseModified, release}),
              "down\nup\n");
    // Shift+A refused; the repeats after Shift went up are refused too; the next fresh press holds.
    EXPECT_EQ(script("KeyA", {pressModified, pressRepeat, pressRepeat, release, press, release}),
              "down\nup\n");
    resetTracker();
    selection = "MouseBack";
    EXPECT_EQ(script("MouseBack", {pressModified, release}), "down\nup\n");
}

TEST(Tracker, UnnamedInputIsIgnoredInEveryMode) {
    for (bool inCapture : {false, true}) {
        resetTracker();
        capture = inCapture;
        selection = inCapture ? nullptr : "KeyA";
        testing::internal::CaptureStdout();
        controlInput(nullptr, true, false, false, false);
        controlInput(nullptr, false, true, false, false);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_FALSE(held || assigned);
    }
}

TEST(Tracker, CaptureAssignsTheFirstPlainPressOnly) {
    struct Step {
        const char *name;
        bool pressed, released, modified, repeat;
        const char *line;
    };
    const Step steps[] = {
        {"KeyA", true, false, true, false, ""},          // Shift+A is not assigned
        {"MouseBack", true, false, true, false, ""},     // nor a button with Command down
        {"KeyA", false, true, false, false, ""},         // releases never are
        {nullptr, true, false, false, false, ""},        // nor an unnamed key (F1, button 5)
        {"F9", true, false, false, true, "assign F9\n"}, // a plain repeat press is
        {"KeyB", true, false, false, false, ""},         // and nothing afterwards
        {"MouseMiddle", true, false, false, false, ""},
    };
    resetTracker();
    capture = true;
    for (const Step &s : steps) {
        testing::internal::CaptureStdout();
        controlInput(s.name, s.pressed, s.released, s.modified, s.repeat);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), s.line) << (s.name ? s.name : "none");
        EXPECT_FALSE(held);
    }
    EXPECT_TRUE(assigned);
}

TEST(Tracker, CaptureNeverReportsDownOrUp) {
    resetTracker();
    capture = true;
    held = false;
    testing::internal::CaptureStdout();
    controlInput("MouseForward", true, false, false, false);
    controlInput("MouseForward", false, true, false, false);
    releaseIfMissing(false);
    releaseIfMissing(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "assign MouseForward\n");
    EXPECT_FALSE(held);
}

TEST(Tracker, PollWithoutSelectionChangesNothing) {
    resetTracker();
    held = true;
    releaseIfMissing(false);
    EXPECT_TRUE(held);
    resetTracker();
    waitForRelease = true;
    releaseIfMissing(false);
    EXPECT_TRUE(waitForRelease);
}

TEST(Tracker, TestingCountsInsteadOfWriting) {
    resetTracker();
    setCounting(true);
    selection = "KeyA";
    testing::internal::CaptureStdout();
    controlInput("KeyA", true, false, false, false);
    controlInput("KeyA", false, true, false, false);
    controlInput("KeyA", true, false, false, false);
    releaseIfMissing(false);
    report("ready");
    report("downs");
    report("up ");
    capture = true;
    controlInput("KeyA", true, false, false, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(downs, 2u);
    EXPECT_EQ(ups, 2u);
    EXPECT_TRUE(assigned);

    setCounting(false);
    testing::internal::CaptureStdout();
    report("self-test ok");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "self-test ok\n");
    EXPECT_EQ(downs, 2u);
}

} // namespace
