// What the tests of the session tap share: a tap on the current run loop whose callback records
// every event, and a way to run the loop until enough have arrived.
#pragma once

#include "compat/CoreFoundation.h"
#include "compat/CoreGraphics.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct Seen {
    CGEventType type;
    int64_t code;   // key code field of key and flags-changed events
    int64_t repeat; // auto-repeat field of key-downs
    int64_t button; // button number of mouse events
    CGEventFlags flags;
    CGEventRef event;
};

// Everything the callback has been handed, in order.
extern std::vector<Seen> seen;

// The events the program listens for.
constexpr CGEventMask listenedEvents =
    CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp) |
    CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp);

// Makes a tap that records into `seen` and answers a disabled notice as the program does, by
// enabling the tap again; puts its source on the current run loop and enables it. NULL when
// CGEventTapCreate gives none.
CFMachPortRef openTap(CGEventMask mask = listenedEvents);

// Takes the tap off the run loop and releases it, in the program's order.
void closeTap();

// The tap of openTap, or NULL.
CFMachPortRef currentTap();

// Runs the run loop until `seen` holds `count` events or the time is up; true when it does.
bool awaitEvents(size_t count, double seconds = 10);

// Runs the run loop for this long, whatever arrives.
void runLoopFor(double seconds);

// A press and release, synchronised with the server.
void tapKey(int inputCode);
void clickButton(int xButton);

// The events of `seen` of these types, in order.
std::vector<Seen> seenOfType(CGEventType type);
