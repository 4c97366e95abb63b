// Between the platform's numbers and the tracker's names.
#pragma once

#include "services.h"

// The event tap's port; set by the listener before it enables the tap, so that `input` can
// enable the tap again after the system disabled it.
extern CFMachPortRef tap;

// The tap's callback: one tracker notification per key or extra-mouse-button event. Returns the
// event unchanged.
CGEventRef input(CGEventTapProxy proxy, CGEventType type, CGEventRef event, void *userInfo);

// Whether the named input (which must be a supported name) is down right now.
bool initiallyHeld(const char *name);
