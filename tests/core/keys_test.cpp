#include "core/keys.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct Entry {
    const char *name;
    uint16_t code;
};

// The table as the host's documentation gives it, in order.
const Entry expectedKeys[] = {
    {"KeyA", 0x00},   {"KeyB", 0x0B},   {"KeyC", 0x08},      {"KeyD", 0x02},   {"KeyE", 0x0E},
    {"KeyF", 0x03},   {"KeyG", 0x05},   {"KeyH", 0x04},      {"KeyI", 0x22},   {"KeyJ", 0x26},
    {"KeyK", 0x28},   {"KeyL", 0x25},   {"KeyM", 0x2E},      {"KeyN", 0x2D},   {"KeyO", 0x1F},
    {"KeyP", 0x23},   {"KeyQ", 0x0C},   {"KeyR", 0x0F},      {"KeyS", 0x01},   {"KeyT", 0x11},
    {"KeyU", 0x20},   {"KeyV", 0x09},   {"KeyW", 0x0D},      {"KeyX", 0x07},   {"KeyY", 0x10},
    {"KeyZ", 0x06},   {"Digit0", 0x1D}, {"Digit1", 0x12},    {"Digit2", 0x13}, {"Digit3", 0x14},
    {"Digit4", 0x15}, {"Digit5", 0x17}, {"Digit6", 0x16},    {"Digit7", 0x1A}, {"Digit8", 0x1C},
    {"Digit9", 0x19}, {"Space", 0x31},  {"Backquote", 0x32}, {"F6", 0x61},     {"F7", 0x62},
    {"F8", 0x64},     {"F9", 0x65},     {"F10", 0x6D},       {"F11", 0x67},    {"F12", 0x6F},
};

TEST(Keys, TableHoldsEveryNameAndCodeInOrder) {
    ASSERT_EQ(keyCount, std::size(expectedKeys));
    for (size_t i = 0; i < keyCount; i++) {
        EXPECT_STREQ(keys[i].name, expectedKeys[i].name) << "entry " << i;
        EXPECT_EQ(keys[i].code, expectedKeys[i].code) << keys[i].name;
    }
}

TEST(Keys, EveryCodeAndNameOccursOnce) {
    std::set<uint16_t> codes;
    std::set<std::string> names;
    for (const Key &key : keys) {
        EXPECT_TRUE(codes.insert(key.code).second) << key.name;
        EXPECT_TRUE(names.insert(key.name).second) << key.name;
        EXPECT_NE(std::string(key.name).rfind("Mouse", 0), 0u) << key.name;
    }
}

TEST(Keys, Supported) {
    struct Case {
        const char *text;
        bool expected;
    };
    const Case cases[] = {
        {"KeyA", true},      {"F12", true},          {"Backquote", true},
        {"Space", true},     {"Digit0", true},       {"MouseMiddle", true},
        {"MouseBack", true}, {"MouseForward", true}, {"keya", false},
        {"KEYA", false},     {"Keya", false},        {"", false},
        {nullptr, false},    {"MouseLeft", false},   {"MouseRight", false},
        {"CapsLock", false}, {"F1", false},          {"F2", false},
        {"F3", false},       {"F4", false},          {"F5", false},
        {"F13", false},      {"Escape", false},      {"ShiftLeft", false},
        {"KeyA ", false},    {" KeyA", false},       {"KeyAA", false},
        {"Mouse", false},    {"mouseMiddle", false}, {"MouseForwardX", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(supported(c.text), c.expected) << (c.text ? c.text : "(absent)");
}

TEST(Keys, NameForCode) {
    struct Case {
        uint16_t code;
        const char *name; // nullptr: no name
    };
    const Case cases[] = {
        {0x00, "KeyA"},    {0x01, "KeyS"},    {0x65, "F9"},    {0x67, "F11"},       {0x6F, "F12"},
        {0x17, "Digit5"},  {0x16, "Digit6"},  {0x31, "Space"}, {0x32, "Backquote"}, {0x6E, nullptr},
        {0x35, nullptr},   {0x7A, nullptr},   {0x38, nullptr}, {0x39, nullptr},     {0x24, nullptr},
        {0xFFFF, nullptr}, {0x0100, nullptr},
    };
    for (const Case &c : cases) {
        const char *name = nameForCode(c.code);
        if (c.name == nullptr)
            EXPECT_EQ(name, nullptr) << std::hex << c.code;
        else
            EXPECT_STREQ(name, c.name) << std::hex << c.code;
    }
}

TEST(Keys, KeyNamedFindsTheCodeOfEveryKeyAndNothingElse) {
    for (const Entry &entry : expectedKeys) {
        const Key *key = keyNamed(entry.name);
        ASSERT_NE(key, nullptr) << entry.name;
        EXPECT_EQ(key->code, entry.code) << entry.name;
    }
    for (const char *text : {"MouseMiddle", "MouseBack", "MouseForward", "keya", "", "F5"})
        EXPECT_EQ(keyNamed(text), nullptr) << text;
    EXPECT_EQ(keyNamed(nullptr), nullptr);
}

} // namespace
