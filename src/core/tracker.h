// The hold tracker: turns notifications about named inputs into the lines the host reads.
#pragma once

#include <cstdint>

// Process-wide, touched only from the main thread's run loop or the self-test.
extern const char *selection; // the input listened for; nullptr in capture mode
extern bool capture;
extern bool held;           // "down" reported, no "up" since
extern bool waitForRelease; // the selection was down at start: ignore it until seen up
extern bool assigned;       // capture mode has written its one assign line
extern uint32_t downs;      // "down" reports counted while testing (see selftesting.h)
extern uint32_t ups;

// Writes one protocol line and flushes it, or counts it while testing.
void report(const char *text);

// One notification about one input; name is nullptr for an input without a name.
void controlInput(const char *name, bool pressed, bool released, bool modified, bool repeat);

// The release poll's answer: whether the selection is down right now.
void releaseIfMissing(bool pressedNow);
