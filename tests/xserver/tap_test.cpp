// The session tap on a private X server, fed by XTest: what arrives, with which codes, buttons
// and flags, and what never arrives.
#include "tapping.h"
#include "xserver.h"

#include "compat/testing.h"
#include "core/keys.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <cstring>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace {

constexpr CGEventFlags modifierFlags = kCGEventFlagMaskShift | kCGEventFlagMaskControl |
                                       kCGEventFlagMaskAlternate | kCGEventFlagMaskCommand;

class TapTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(openTap(), nullptr); }
    void TearDown() override {
        closeTap();
        compatDropEventType(0);
    }
};

struct KeyCase {
    const char *key;
    int inputCode;
    uint16_t code;
};

// Named and unnamed keys alike carry the virtual key code of their position.
const KeyCase keyCases[] = {
    {"A", KEY_A, 0x00},         {"S", KEY_S, 0x01},
    {"Q", KEY_Q, 0x0C},         {"M", KEY_M, 0x2E},
    {"Z", KEY_Z, 0x06},         {"0", KEY_0, 0x1D},
    {"1", KEY_1, 0x12},         {"5", KEY_5, 0x17},
    {"6", KEY_6, 0x16},         {"9", KEY_9, 0x19},
    {"Space", KEY_SPACE, 0x31}, {"Grave", KEY_GRAVE, 0x32},
    {"F6", KEY_F6, 0x61},       {"F7", KEY_F7, 0x62},
    {"F8", KEY_F8, 0x64},       {"F9", KEY_F9, 0x65},
    {"F10", KEY_F10, 0x6D},     {"F11", KEY_F11, 0x67},
    {"F12", KEY_F12, 0x6F},     {"Escape", KEY_ESC, 0x35},
    {"F1", KEY_F1, 0x7A},       {"Return", KEY_ENTER, 0x24},
    {"Tab", KEY_TAB, 0x30},     {"Left", KEY_LEFT, 0x7B},
    {"Keypad5", KEY_KP5, 0x57}, {"Backspace", KEY_BACKSPACE, 0x33},
};

TEST_F(TapTest, KeysArriveWithTheCodeOfTheirPosition) {
    for (const KeyCase &key : keyCases) {
        SCOPED_TRACE(key.key);
        seen.clear();
        tapKey(key.inputCode);
        ASSERT_TRUE(awaitEvents(2));
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].type, kCGEventKeyDown);
        EXPECT_EQ(seen[0].code, key.code);
        EXPECT_EQ(seen[0].repeat, 0);
        EXPECT_EQ(seen[1].type, kCGEventKeyUp);
        EXPECT_EQ(seen[1].code, key.code);
    }
}

// The program's names by the kernel's codes, written out here rather than taken from the layer's
// own table, so that a wrong position in it shows.
struct NamedKey {
    const char *name;
    int inputCode;
};

const NamedKey namedKeys[] = {
    {"KeyA", KEY_A},      {"KeyB", KEY_B},          {"KeyC", KEY_C},   {"KeyD", KEY_D},
    {"KeyE", KEY_E},      {"KeyF", KEY_F},          {"KeyG", KEY_G},   {"KeyH", KEY_H},
    {"KeyI", KEY_I},      {"KeyJ", KEY_J},          {"KeyK", KEY_K},   {"KeyL", KEY_L},
    {"KeyM", KEY_M},      {"KeyN", KEY_N},          {"KeyO", KEY_O},   {"KeyP", KEY_P},
    {"KeyQ", KEY_Q},      {"KeyR", KEY_R},          {"KeyS", KEY_S},   {"KeyT", KEY_T},
    {"KeyU", KEY_U},      {"KeyV", KEY_V},          {"KeyW", KEY_W},   {"KeyX", KEY_X},
    {"KeyY", KEY_Y},      {"KeyZ", KEY_Z},          {"Digit0", KEY_0}, {"Digit1", KEY_1},
    {"Digit2", KEY_2},    {"Digit3", KEY_3},        {"Digit4", KEY_4}, {"Digit5", KEY_5},
    {"Digit6", KEY_6},    {"Digit7", KEY_7},        {"Digit8", KEY_8}, {"Digit9", KEY_9},
    {"Space", KEY_SPACE}, {"Backquote", KEY_GRAVE}, {"F6", KEY_F6},    {"F7", KEY_F7},
    {"F8", KEY_F8},       {"F9", KEY_F9},           {"F10", KEY_F10},  {"F11", KEY_F11},
    {"F12", KEY_F12},
};

TEST_F(TapTest, EveryKeyNameArrivesWithItsCode) {
    ASSERT_EQ(std::size(namedKeys), keyCount);
    for (const Key &key : keys) {
        SCOPED_TRACE(key.name);
        const NamedKey *named = nullptr;
        for (const NamedKey &candidate : namedKeys) {
            if (strcmp(candidate.name, key.name) == 0)
                named = &candidate;
        }
        ASSERT_NE(named, nullptr);
        seen.clear();
        tapKey(named->inputCode);
        ASSERT_TRUE(awaitEvents(2));
        EXPECT_EQ(seen[0].type, kCGEventKeyDown);
        EXPECT_EQ(seen[0].code, key.code);
        EXPECT_STREQ(nameForCode(static_cast<uint16_t>(seen[0].code)), key.name);
        EXPECT_EQ(seen[1].type, kCGEventKeyUp);
        EXPECT_EQ(seen[1].code, key.code);
    }
}

TEST_F(TapTest, KeysPressedByVirtualCodeArriveWithThatCode) {
    for (const Key &key : keys) {
        SCOPED_TRACE(key.name);
        seen.clear();
        pressMacKey(key.code);
        releaseMacKey(key.code);
        ASSERT_TRUE(awaitEvents(2));
        EXPECT_EQ(seen[0].code, key.code);
        EXPECT_EQ(seen[1].code, key.code);
    }
}

struct ButtonCase {
    int xButton;
    int64_t button;
    const char *name; // the program's name, where it has one
};

const ButtonCase buttonCases[] = {
    {2, 2, "MouseMiddle"},
    {8, 3, "MouseBack"},
    {9, 4, "MouseForward"},
    {10, 5, nullptr},
};

TEST_F(TapTest, ButtonsArriveNumberedAsThePlatformNumbersThem) {
    for (const ButtonCase &button : buttonCases) {
        SCOPED_TRACE("X button " + std::to_string(button.xButton));
        seen.clear();
        clickButton(button.xButton);
        ASSERT_TRUE(awaitEvents(2));
        EXPECT_EQ(seen[0].type, kCGEventOtherMouseDown);
        EXPECT_EQ(seen[0].button, button.button);
        EXPECT_EQ(seen[1].type, kCGEventOtherMouseUp);
        EXPECT_EQ(seen[1].button, button.button);
    }
}

// The left and right buttons and the wheel never reach the tap. Each is followed by a middle
// click: once the click is in, anything before it would have been too.
TEST_F(TapTest, LeftRightAndWheelButtonsNeverArrive) {
    for (int xButton : {1, 3, 4, 5, 6, 7}) {
        SCOPED_TRACE("X button " + std::to_string(xButton));
        seen.clear();
        clickButton(xButton);
        clickButton(2);
        ASSERT_TRUE(awaitEvents(2));
        runLoopFor(0.05);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].button, 2);
        EXPECT_EQ(seen[1].button, 2);
    }
}

TEST_F(TapTest, ModifierKeysSendNoKeyEvents) {
    for (int modifier : {KEY_LEFTSHIFT, KEY_RIGHTCTRL, KEY_LEFTALT, KEY_RIGHTMETA, KEY_CAPSLOCK}) {
        SCOPED_TRACE(modifier);
        seen.clear();
        tapKey(modifier);
        tapKey(KEY_B);
        ASSERT_TRUE(awaitEvents(2));
        runLoopFor(0.05);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].code, 0x0B);
    }
    tapKey(KEY_CAPSLOCK); // unlock it again
}

TEST_F(TapTest, ASecondPressOfAHeldKeyIsARepeat) {
    pressKey(KEY_J);
    pressKey(KEY_J);
    pressKey(KEY_J);
    releaseKey(KEY_J);
    tapKey(KEY_J);
    ASSERT_TRUE(awaitEvents(6));
    const CGEventType types[] = {kCGEventKeyDown, kCGEventKeyDown, kCGEventKeyDown,
                                 kCGEventKeyUp,   kCGEventKeyDown, kCGEventKeyUp};
    const int64_t repeats[] = {0, 1, 1, 0, 0, 0};
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].type, types[i]);
        EXPECT_EQ(seen[i].code, 0x26);
        EXPECT_EQ(seen[i].repeat, repeats[i]);
    }
}

TEST_F(TapTest, OneEventIsHandedToEveryCallback) {
    tapKey(KEY_A);
    clickButton(8);
    ASSERT_TRUE(awaitEvents(4));
    for (const Seen &entry : seen)
        EXPECT_EQ(entry.event, seen[0].event);
}

struct ModifierCase {
    const char *name;
    int inputCode;
    CGEventFlags flag;
};

const ModifierCase modifierCases[] = {
    {"left Shift", KEY_LEFTSHIFT, kCGEventFlagMaskShift},
    {"right Shift", KEY_RIGHTSHIFT, kCGEventFlagMaskShift},
    {"left Control", KEY_LEFTCTRL, kCGEventFlagMaskControl},
    {"right Control", KEY_RIGHTCTRL, kCGEventFlagMaskControl},
    {"left Alt", KEY_LEFTALT, kCGEventFlagMaskAlternate},
    {"AltGr", KEY_RIGHTALT, kCGEventFlagMaskAlternate},
    {"left Super", KEY_LEFTMETA, kCGEventFlagMaskCommand},
    {"right Super", KEY_RIGHTMETA, kCGEventFlagMaskCommand},
};

TEST_F(TapTest, EachModifierSetsItsFlagWhileDown) {
    for (const ModifierCase &modifier : modifierCases) {
        SCOPED_TRACE(modifier.name);
        seen.clear();
        pressKey(modifier.inputCode);
        tapKey(KEY_A);
        clickButton(2);
        releaseKey(modifier.inputCode);
        tapKey(KEY_A);
        ASSERT_TRUE(awaitEvents(6));
        for (size_t i = 0; i < 4; ++i)
            EXPECT_EQ(seen[i].flags & (modifierFlags | kCGEventFlagMaskAlphaShift), modifier.flag)
                << i;
        for (size_t i = 4; i < 6; ++i)
            EXPECT_EQ(seen[i].flags & modifierFlags, 0u) << i;
    }
}

TEST_F(TapTest, CapsLockSetsAlphaShiftWhileLockedAndCountsAsNoModifier) {
    tapKey(KEY_CAPSLOCK);
    tapKey(KEY_A);
    tapKey(KEY_CAPSLOCK);
    tapKey(KEY_A);
    ASSERT_TRUE(awaitEvents(4));
    EXPECT_EQ(seen[0].flags & (modifierFlags | kCGEventFlagMaskAlphaShift),
              kCGEventFlagMaskAlphaShift);
    EXPECT_EQ(seen[1].flags & kCGEventFlagMaskAlphaShift, kCGEventFlagMaskAlphaShift);
    EXPECT_EQ(seen[2].flags & kCGEventFlagMaskAlphaShift, 0u);
    EXPECT_EQ(seen[3].flags & kCGEventFlagMaskAlphaShift, 0u);
}

// The tap asks the server what is down when it is made.
TEST(TapStart, SeesModifiersHeldAndCapsLockLockedBeforeIt) {
    pressKey(KEY_RIGHTSHIFT);
    tapKey(KEY_CAPSLOCK);
    ASSERT_NE(openTap(), nullptr);
    tapKey(KEY_A);
    releaseKey(KEY_RIGHTSHIFT);
    tapKey(KEY_CAPSLOCK);
    tapKey(KEY_A);
    EXPECT_TRUE(awaitEvents(4));
    closeTap();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].flags & (modifierFlags | kCGEventFlagMaskAlphaShift),
              kCGEventFlagMaskShift | kCGEventFlagMaskAlphaShift);
    EXPECT_EQ(seen[2].flags & (modifierFlags | kCGEventFlagMaskAlphaShift), 0u);
}

TEST(TapStart, AKeyHeldBeforeTheTapRepeatsAsARepeat) {
    pressKey(KEY_K);
    ASSERT_NE(openTap(), nullptr);
    pressKey(KEY_K);
    releaseKey(KEY_K);
    EXPECT_TRUE(awaitEvents(2));
    closeTap();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].type, kCGEventKeyDown);
    EXPECT_EQ(seen[0].repeat, 1);
    EXPECT_EQ(seen[1].type, kCGEventKeyUp);
}

// As on the platform: function keys carry Fn, keypad keys the numeric-pad bit, arrows both;
// neither is a modifier the program counts.
TEST_F(TapTest, FunctionKeypadAndArrowKeysCarryTheirPositionFlags) {
    const struct {
        int inputCode;
        CGEventFlags flags;
    } cases[] = {
        {KEY_F6, kCGEventFlagMaskSecondaryFn},
        {KEY_HOME, kCGEventFlagMaskSecondaryFn},
        {KEY_KP7, kCGEventFlagMaskNumericPad},
        {KEY_UP, kCGEventFlagMaskSecondaryFn | kCGEventFlagMaskNumericPad},
        {KEY_A, 0},
    };
    for (const auto &key : cases) {
        SCOPED_TRACE(key.inputCode);
        seen.clear();
        tapKey(key.inputCode);
        ASSERT_TRUE(awaitEvents(2));
        EXPECT_EQ(seen[0].flags, key.flags);
        EXPECT_EQ(seen[0].flags & modifierFlags, 0u);
    }
}

TEST(TapMask, ModifierKeysReportFlagsChangedWhenAsked) {
    ASSERT_NE(openTap(CGEventMaskBit(kCGEventFlagsChanged)), nullptr);
    pressKey(KEY_LEFTCTRL);
    pressKey(KEY_LEFTCTRL); // held: nothing changes
    pressKey(KEY_RIGHTALT);
    tapKey(KEY_A);
    releaseKey(KEY_RIGHTALT);
    releaseKey(KEY_LEFTCTRL);
    EXPECT_TRUE(awaitEvents(4));
    runLoopFor(0.05);
    closeTap();
    ASSERT_EQ(seen.size(), 4u);
    const int64_t codes[] = {0x3B, 0x3D, 0x3D, 0x3B};
    const CGEventFlags flags[] = {kCGEventFlagMaskControl,
                                  kCGEventFlagMaskControl | kCGEventFlagMaskAlternate,
                                  kCGEventFlagMaskControl, 0};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].type, kCGEventFlagsChanged);
        EXPECT_EQ(seen[i].code, codes[i]);
        EXPECT_EQ(seen[i].flags & modifierFlags, flags[i]);
    }
}

// Only the types in the mask arrive. The script runs twice, so that anything let through
// wrongly in the first run shows before the second run's events are in.
TEST(TapMask, OnlyTheTypesInTheMaskArrive) {
    const CGEventType script[] = {kCGEventKeyDown, kCGEventKeyUp, kCGEventOtherMouseDown,
                                  kCGEventOtherMouseUp};
    const struct {
        const char *name;
        CGEventMask mask;
    } cases[] = {
        {"key-downs", CGEventMaskBit(kCGEventKeyDown)},
        {"key-ups", CGEventMaskBit(kCGEventKeyUp)},
        {"keys", CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp)},
        {"button-downs and key-ups",
         CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventKeyUp)},
        {"buttons", CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp)},
        {"everything", kCGEventMaskForAllEvents},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<CGEventType> expected;
        for (int run = 0; run < 2; ++run) {
            for (CGEventType type : script) {
                if ((test.mask & CGEventMaskBit(type)) != 0)
                    expected.push_back(type);
            }
        }
        ASSERT_NE(openTap(test.mask), nullptr);
        for (int run = 0; run < 2; ++run) {
            tapKey(KEY_A);
            clickButton(2);
        }
        EXPECT_TRUE(awaitEvents(expected.size()));
        runLoopFor(0.05);
        closeTap();
        std::vector<CGEventType> types;
        for (const Seen &entry : seen)
            types.push_back(entry.type);
        EXPECT_EQ(types, expected);
    }
}

TEST_F(TapTest, ADisabledTapDeliversNothingButKeepsTrackOfWhatIsHeld) {
    CGEventTapEnable(currentTap(), false);
    tapKey(KEY_A);
    clickButton(2);
    pressKey(KEY_LEFTSHIFT);
    pressKey(KEY_D);
    CGEventTapEnable(currentTap(), true);
    pressKey(KEY_D);
    releaseKey(KEY_D);
    releaseKey(KEY_LEFTSHIFT);
    ASSERT_TRUE(awaitEvents(2));
    runLoopFor(0.05);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].type, kCGEventKeyDown);
    EXPECT_EQ(seen[0].code, 0x02);
    EXPECT_EQ(seen[0].repeat, 1);
    EXPECT_EQ(seen[0].flags & modifierFlags, kCGEventFlagMaskShift);
    EXPECT_EQ(seen[1].type, kCGEventKeyUp);
}

// The dropped release of A is still taken into account: the second press is no repeat. The
// press of S shows that the tap has read everything before it, while the drop was still set.
TEST_F(TapTest, ADroppedTypeIsSwallowedButStillTracked) {
    compatDropEventType(kCGEventKeyUp);
    tapKey(KEY_A);
    tapKey(KEY_A);
    pressKey(KEY_S);
    ASSERT_TRUE(awaitEvents(3));
    compatDropEventType(0);
    releaseKey(KEY_S);
    ASSERT_TRUE(awaitEvents(4));
    runLoopFor(0.05);
    ASSERT_EQ(seen.size(), 4u);
    const CGEventType types[] = {kCGEventKeyDown, kCGEventKeyDown, kCGEventKeyDown, kCGEventKeyUp};
    const int64_t codes[] = {0x00, 0x00, 0x01, 0x01};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].type, types[i]);
        EXPECT_EQ(seen[i].code, codes[i]);
        EXPECT_EQ(seen[i].repeat, 0);
    }
}

// A listen-only tap takes no grab: another client can still grab the keyboard, and the tap still
// hears every key while it does, whichever window has the focus.
TEST_F(TapTest, KeysArriveWhileAnotherClientGrabsTheKeyboard) {
    xcb_connection_t *other = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(other), 0);
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
    xcb_window_t window = xcb_generate_id(other);
    xcb_create_window(other, XCB_COPY_FROM_PARENT, window, root, 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_map_window(other, window);
    xcb_set_input_focus(other, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    xcb_grab_keyboard_reply_t *grab =
        xcb_grab_keyboard_reply(other,
                                xcb_grab_keyboard(other, 1, window, XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr);
    ASSERT_NE(grab, nullptr);
    EXPECT_EQ(grab->status, XCB_GRAB_STATUS_SUCCESS);
    free(grab);
    tapKey(KEY_G);
    EXPECT_TRUE(awaitEvents(2));
    xcb_disconnect(other);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].code, 0x05);
}

} // namespace
