// The names of the inputs that can be listened for or assigned, and the key codes behind them.
#pragma once

#include <cstddef>
#include <cstdint>

struct Key {
    const char *name;
    uint16_t code; // virtual key code of the key's position
};

constexpr size_t keyCount = 45;
extern const Key keys[keyCount];

// True for a key name of the table or one of the three mouse-button names; false for nullptr.
bool supported(const char *name);

// The name of the first key with this code, or nullptr.
const char *nameForCode(uint16_t code);

// The first key with this name, or nullptr (mouse-button names are not keys).
const Key *keyNamed(const char *name);
