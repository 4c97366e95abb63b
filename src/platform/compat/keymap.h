// Key positions in the kernel's input codes and in the platform's virtual key codes. X keycodes
// are the kernel's codes plus 8, so every source of key events meets here.
#pragma once

#include <cstdint>

// Carried by a key that has no virtual key code: no key of the platform has this code.
constexpr uint16_t compatUnknownKeyCode = 0xFFFF;

// Every kernel key code is below this.
constexpr int compatInputCodeLimit = 0x300;

// The virtual key code of the position, or compatUnknownKeyCode.
uint16_t compatMacKeyCode(int inputCode);

// The kernel code of the position with this virtual key code, or -1 when no key has it.
int compatInputKeyCode(uint16_t macCode);
