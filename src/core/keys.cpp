#include "keys.h"

#include <cstring>

// Codes are key positions of the US layout, whatever layout is active; they do not follow the
// order of the names.
const Key keys[keyCount] = {
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

const Key *keyNamed(const char *name) {
    if (name == nullptr)
        return nullptr;
    for (const Key &key : keys) {
        if (strcmp(key.name, name) == 0)
            return &key;
    }
    return nullptr;
}

bool supported(const char *name) {
    if (name == nullptr)
        return false;
    if (keyNamed(name) != nullptr)
        return true;
    return strcmp(name, "MouseMiddle") == 0 || strcmp(name, "MouseBack") == 0 ||
           strcmp(name, "MouseForward") == 0;
}

const char *nameForCode(uint16_t code) {
    for (const Key &key : keys) {
        if (key.code == code)
            return key.name;
    }
    return nullptr;
}
