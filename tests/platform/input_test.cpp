// The tap callback over synthesized events: platform numbers in, tracker lines out.
#include "core/tracker.h"
#include "platform/input.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void resetTracker(const char *listenFor) {
    selection = listenFor;
    capture = listenFor == nullptr;
    held = waitForRelease = assigned = false;
}

CGEventRef keyEvent(bool down, int64_t code, CGEventFlags flags = 0, int64_t autorepeat = 0) {
    CGEventRef event = CGEventCreateKeyboardEvent(nullptr, 0, down);
    CGEventSetIntegerValueField(event, kCGKeyboardEventKeycode, code);
    CGEventSetIntegerValueField(event, kCGKeyboardEventAutorepeat, autorepeat);
    CGEventSetFlags(event, flags);
    return event;
}

CGEventRef buttonEvent(bool down, int64_t button, CGEventFlags flags = 0) {
    CGEventRef event =
        CGEventCreateMouseEvent(nullptr, down ? kCGEventOtherMouseDown : kCGEventOtherMouseUp,
                                CGPoint{0, 0}, kCGMouseButtonCenter);
    CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, button);
    CGEventSetFlags(event, flags);
    return event;
}

// Hands the event to the callback as the tap would, and returns what it wrote.
std::string deliver(CGEventRef event, CGEventType type) {
    testing::internal::CaptureStdout();
    CGEventRef returned = input(nullptr, type, event, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(returned, event) << "the event must be passed on unchanged";
    return out;
}

std::string deliver(CGEventRef event) {
    std::string out = deliver(event, CGEventGetType(event));
    CFRelease(event);
    return out;
}

const CGEventFlags shift = kCGEventFlagMaskShift, control = kCGEventFlagMaskControl,
                   option = kCGEventFlagMaskAlternate, command = kCGEventFlagMaskCommand;
const CGEventFlags harmless = kCGEventFlagMaskAlphaShift | kCGEventFlagMaskNumericPad |
                              kCGEventFlagMaskHelp | kCGEventFlagMaskSecondaryFn |
                              kCGEventFlagMaskNonCoalesced | 0xFF;

TEST(Input, KeyPressesInListenMode) {
    struct Case {
        const char *selection;
        int64_t code;
        CGEventFlags flags;
        int64_t autorepeat;
        const char *line;
    };
    const Case cases[] = {
        {"KeyA", 0x00, 0, 0, "down\n"},    // code zero is a real key
        {"KeyA", 0x10000, 0, 0, "down\n"}, // only the low 16 bits name the key
        {"KeyA", 0x01, 0, 0, ""},          // another key
        {"KeyS", 0x01, 0, 0, "down\n"},
        {"F9", 0x65, 0, 0, "down\n"},
        {"F11", 0x67, 0, 0, "down\n"},
        {"Space", 0x31, harmless, 0, "down\n"}, // Caps Lock, Fn and keypad bits do not count
        {"KeyA", 0x00, kCGEventFlagMaskAlphaShift, 0, "down\n"},
        {"KeyA", 0x00, shift, 0, ""},
        {"KeyA", 0x00, control, 0, ""},
        {"KeyA", 0x00, option, 0, ""},
        {"KeyA", 0x00, command, 0, ""},
        {"KeyA", 0x00, shift | kCGEventFlagMaskAlphaShift, 0, ""},
        {"KeyA", 0x00, 0, 1, ""}, // an auto-repeat press
        {"KeyA", 0x00, 0, -1, ""},
        {"Backquote", 0x32, 0, 0, "down\n"},
    };
    for (const Case &c : cases) {
        resetTracker(c.selection);
        EXPECT_EQ(deliver(keyEvent(true, c.code, c.flags, c.autorepeat)), c.line)
            << c.selection << " code " << std::hex << c.code << " flags " << c.flags;
    }
}

TEST(Input, KeyReleaseIgnoresModifiersAndTheRepeatField) {
    for (CGEventFlags flags : {CGEventFlags{0}, shift, command | option}) {
        resetTracker("KeyA");
        held = true;
        EXPECT_EQ(deliver(keyEvent(false, 0x00, flags, 1)), "up\n") << flags;
        EXPECT_FALSE(held);
    }
}

TEST(Input, MouseButtons) {
    struct Case {
        const char *selection;
        int64_t button;
        CGEventFlags flags;
        const char *line;
    };
    const Case cases[] = {
        {"MouseMiddle", 2, 0, "down\n"},
        {"MouseBack", 3, 0, "down\n"},
        {"MouseForward", 4, 0, "down\n"},
        {"MouseBack", 3, command, "down\n"}, // a modifier does not refuse a button
        {"MouseMiddle", 2, shift | control | option, "down\n"},
        {"MouseForward", 5, 0, ""},
        {"MouseMiddle", 0, 0, ""},
        {"MouseMiddle", 1, 0, ""},
        {"MouseMiddle", 2 + (int64_t{1} << 32), 0, ""}, // compared whole, not cut short
        {"MouseBack", 3 + (int64_t{1} << 16), 0, ""},
        {"MouseMiddle", -2, 0, ""},
        {"MouseMiddle", 3, 0, ""},
    };
    for (const Case &c : cases) {
        resetTracker(c.selection);
        EXPECT_EQ(deliver(buttonEvent(true, c.button, c.flags)), c.line)
            << c.selection << " button " << c.button;
    }
    resetTracker("MouseBack");
    held = true;
    EXPECT_EQ(deliver(buttonEvent(false, 3, shift)), "up\n");
}

TEST(Input, CaptureMode) {
    struct Case {
        CGEventRef event;
        const char *line;
    };
    resetTracker(nullptr);
    const Case cases[] = {
        {keyEvent(true, 0x35), ""},                         // Escape has no name
        {keyEvent(true, 0x7A), ""},                         // F1 neither
        {buttonEvent(true, 5), ""},                         // nor button 5
        {keyEvent(true, 0x00, shift), ""},                  // a modified press is refused
        {buttonEvent(true, 3, command), ""},                // a modified button too
        {keyEvent(false, 0x00), ""},                        // a release is never assigned
        {keyEvent(true, 0x32, 0, 1), "assign Backquote\n"}, // a plain repeat press is
        {keyEvent(true, 0x00), ""},                         // and nothing after the first
        {buttonEvent(true, 2), ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(deliver(c.event), c.line);
    EXPECT_TRUE(assigned);
    EXPECT_FALSE(held);
}

TEST(Input, OtherEventTypesAreIgnored) {
    resetTracker("KeyA");
    for (CGEventType type : {kCGEventNull, kCGEventLeftMouseDown, kCGEventLeftMouseUp,
                             kCGEventRightMouseDown, kCGEventFlagsChanged, kCGEventScrollWheel,
                             kCGEventOtherMouseDragged, static_cast<CGEventType>(0xFFFFFFFD)}) {
        CGEventRef event = keyEvent(true, 0x00);
        EXPECT_EQ(deliver(event, type), "") << type;
        CFRelease(event);
        EXPECT_FALSE(held);
    }
}

TEST(Input, DisabledNoticeClosesTheHoldEveryTime) {
    for (CGEventType notice : {kCGEventTapDisabledByTimeout, kCGEventTapDisabledByUserInput}) {
        resetTracker("KeyA");
        held = true;
        EXPECT_EQ(deliver(nullptr, notice), "up\n");
        EXPECT_FALSE(held);
        EXPECT_EQ(deliver(nullptr, notice), ""); // not held: nothing, but the tap is enabled again

        resetTracker("KeyA");
        waitForRelease = true;
        EXPECT_EQ(deliver(nullptr, notice), "");
        EXPECT_TRUE(waitForRelease);

        resetTracker(nullptr);
        EXPECT_EQ(deliver(nullptr, notice), "");
        EXPECT_FALSE(assigned);
    }
}

} // namespace
