// What the compat layer's files share among themselves; not part of the platform interface.
#pragma once

#include "CoreFoundation.h"
#include "CoreGraphics.h"

// Every object handed out by a Create call starts with this header, so that CFRelease can free
// any of them and the layer can count the live ones.
struct CompatObject {
    long references;
    void (*destroy)(CompatObject *object); // frees the object itself
};

// Counts the object as alive with one reference.
void compatInitObject(CompatObject *object, void (*destroy)(CompatObject *));
void compatRetain(CompatObject *object);
void compatReleaseObject(CompatObject *object);

// True when a test asked for this Create call (named as the platform spells it) to fail.
bool compatCreationFails(const char *function);

// Seconds on a clock that never jumps.
double compatMonotonicNow();

// A non-negative value rounded up to a whole number. Done here rather than by the maths library,
// which the program then need not load.
inline long long compatRoundUp(double value) {
    auto whole = static_cast<long long>(value);
    return static_cast<double>(whole) < value ? whole + 1 : whole;
}

// What a tap's port offers the run loop that holds its source. Every hook runs on the loop's
// thread and never blocks.
struct CompatPortOps {
    int (*descriptor)(CFMachPortRef port); // to wait on for readability, or -1 for none now
    bool (*pending)(CFMachPortRef port);   // events already read and queued: serve at once
    double (*wakeAt)(CFMachPortRef port);  // monotonic time to serve it anyway, or 0 for never
    void (*serve)(CFMachPortRef port);     // delivers what is ready to the callback
    void (*close)(CFMachPortRef port);     // frees the backend when the port goes
};

struct CompatMachPort {
    CompatObject object;
    const CompatPortOps *ops;
    void *backend;
    bool valid;                          // false once invalidated: its source never fires again
    CFRunLoopSourceRef source = nullptr; // the one run-loop source made for it, while it lives
};

// A port with one reference; the backend belongs to it from now on.
CFMachPortRef compatCreateMachPort(const CompatPortOps *ops, void *backend);

// An event as the tap hands it to its callback; fields are indexed by CGEventField.
constexpr int compatEventFieldCount = 11;

struct CompatEvent {
    CompatObject object;
    CGEventType type;
    CGEventFlags flags;
    int64_t fields[compatEventFieldCount];
};
