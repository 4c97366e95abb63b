// Hooks for tests of the program's failure paths and of what it leaves behind.
#pragma once

#include <cstdint>

extern "C" {

// Objects made by Create calls and not yet freed (the run loop itself is not counted).
long compatLiveObjects(void);

// Makes every later call of the named Create function fail (return NULL) until cleared with
// nullptr. Names as the platform spells them, for example "CFRunLoopTimerCreate".
void compatFailCreation(const char *function);

// While set, the session tap swallows events of this type instead of delivering them, as if the
// tap had missed them; 0 delivers everything again.
void compatDropEventType(uint32_t type);

} // extern "C"
