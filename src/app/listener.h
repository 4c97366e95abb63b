// The listener behind --listen and --capture: tap, standard-input watch and release poll on the
// main thread's run loop.
#pragma once

#include "../platform/services.h"

// The main thread's run loop; watchParent stops it.
extern CFRunLoopRef runLoop;

// Runs until standard input ends or fails; `capture` and `selection` are already set. Returns
// the exit status; "ready", "permission" and the closing "up" are written here.
int runListener();

// Standard input is readable: consume a little of it, and stop at its end or on an error.
void watchParent(CFFileDescriptorRef descriptor, CFOptionFlags callBackTypes, void *info);

// The release poll: catches a release that the tap never delivered.
void checkRelease(CFRunLoopTimerRef timer, void *info);
