// The table of key positions that every source of key events shares.
#include "compat/keymap.h"
#include "core/keys.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <set>

namespace {

TEST(Keymap, EveryProgramKeyHasAPositionThatMapsBack) {
    for (const Key &key : keys) {
        SCOPED_TRACE(key.name);
        int inputCode = compatInputKeyCode(key.code);
        ASSERT_GE(inputCode, 0);
        EXPECT_EQ(compatMacKeyCode(inputCode), key.code);
    }
}

TEST(Keymap, EveryVirtualCodeWithAPositionMapsBackToItself) {
    int positions = 0;
    for (int code = 0; code < 0x10000; ++code) {
        int inputCode = compatInputKeyCode(static_cast<uint16_t>(code));
        if (inputCode < 0)
            continue;
        ++positions;
        EXPECT_EQ(compatMacKeyCode(inputCode), code) << code;
    }
    EXPECT_GT(positions, 100);
}

// Keys the program has no name for still carry their own codes, and no two positions of a
// standard keyboard share one.
TEST(Keymap, AStandardKeyboardHasDistinctCodes) {
    const int standard[] = {
        KEY_ESC,        KEY_F1,        KEY_F2,         KEY_F3,         KEY_F4,
        KEY_F5,         KEY_F6,        KEY_F7,         KEY_F8,         KEY_F9,
        KEY_F10,        KEY_F11,       KEY_F12,        KEY_F13,        KEY_F14,
        KEY_F15,        KEY_F16,       KEY_F17,        KEY_F18,        KEY_F19,
        KEY_F20,        KEY_GRAVE,     KEY_1,          KEY_2,          KEY_3,
        KEY_4,          KEY_5,         KEY_6,          KEY_7,          KEY_8,
        KEY_9,          KEY_0,         KEY_MINUS,      KEY_EQUAL,      KEY_BACKSPACE,
        KEY_TAB,        KEY_Q,         KEY_W,          KEY_E,          KEY_R,
        KEY_T,          KEY_Y,         KEY_U,          KEY_I,          KEY_O,
        KEY_P,          KEY_LEFTBRACE, KEY_RIGHTBRACE, KEY_BACKSLASH,  KEY_CAPSLOCK,
        KEY_A,          KEY_S,         KEY_D,          KEY_F,          KEY_G,
        KEY_H,          KEY_J,         KEY_K,          KEY_L,          KEY_SEMICOLON,
        KEY_APOSTROPHE, KEY_ENTER,     KEY_LEFTSHIFT,  KEY_Z,          KEY_X,
        KEY_C,          KEY_V,         KEY_B,          KEY_N,          KEY_M,
        KEY_COMMA,      KEY_DOT,       KEY_SLASH,      KEY_RIGHTSHIFT, KEY_LEFTCTRL,
        KEY_LEFTMETA,   KEY_LEFTALT,   KEY_SPACE,      KEY_RIGHTALT,   KEY_RIGHTMETA,
        KEY_COMPOSE,    KEY_RIGHTCTRL, KEY_INSERT,     KEY_HOME,       KEY_PAGEUP,
        KEY_DELETE,     KEY_END,       KEY_PAGEDOWN,   KEY_UP,         KEY_LEFT,
        KEY_DOWN,       KEY_RIGHT,     KEY_NUMLOCK,    KEY_KPSLASH,    KEY_KPASTERISK,
        KEY_KPMINUS,    KEY_KP7,       KEY_KP8,        KEY_KP9,        KEY_KPPLUS,
        KEY_KP4,        KEY_KP5,       KEY_KP6,        KEY_KP1,        KEY_KP2,
        KEY_KP3,        KEY_KPENTER,   KEY_KP0,        KEY_KPDOT,      KEY_KPEQUAL,
        KEY_102ND,
    };
    std::set<uint16_t> codes;
    for (int inputCode : standard) {
        uint16_t code = compatMacKeyCode(inputCode);
        EXPECT_NE(code, compatUnknownKeyCode) << inputCode;
        EXPECT_TRUE(codes.insert(code).second) << inputCode << " shares code " << code;
    }
}

TEST(Keymap, KeysWithoutAVirtualCodeGetOneThatNoKeyHas) {
    for (int inputCode : {KEY_POWER, KEY_PLAYPAUSE, KEY_MACRO, KEY_RESERVED, -1, 0x300, 0x7FFF}) {
        SCOPED_TRACE(inputCode);
        EXPECT_EQ(compatMacKeyCode(inputCode), compatUnknownKeyCode);
    }
    EXPECT_EQ(nameForCode(compatUnknownKeyCode), nullptr);
    EXPECT_EQ(compatInputKeyCode(compatUnknownKeyCode), -1);
}

TEST(Keymap, WellKnownPositions) {
    const struct {
        int inputCode;
        uint16_t code;
    } cases[] = {
        {KEY_A, 0x00},        {KEY_S, 0x01},         {KEY_GRAVE, 0x32},     {KEY_ESC, 0x35},
        {KEY_F1, 0x7A},       {KEY_F6, 0x61},        {KEY_F7, 0x62},        {KEY_F8, 0x64},
        {KEY_F9, 0x65},       {KEY_F10, 0x6D},       {KEY_F11, 0x67},       {KEY_F12, 0x6F},
        {KEY_SPACE, 0x31},    {KEY_ENTER, 0x24},     {KEY_BACKSPACE, 0x33}, {KEY_DELETE, 0x75},
        {KEY_LEFTMETA, 0x37}, {KEY_RIGHTMETA, 0x36}, {KEY_CAPSLOCK, 0x39},  {KEY_KPENTER, 0x4C},
    };
    for (const auto &position : cases)
        EXPECT_EQ(compatMacKeyCode(position.inputCode), position.code) << position.inputCode;
}

} // namespace
