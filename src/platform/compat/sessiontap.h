// A session event tap, whatever feeds it. A backend reads the session's input (from an X server,
// or from the kernel's event devices) and reports each key and button here; this part keeps what is
// held and fills the one event the program's callback sees.
#pragma once

#include "internal.h"
#include "keymap.h"

#include <bitset>

struct CompatSessionTap {
    CGEventTapCallBack callback = nullptr;
    void *userInfo = nullptr;
    CGEventMask mask = 0;
    bool enabled = true;
    void (*enable)(CompatSessionTap *tap, bool enable) = nullptr; // CGEventTapEnable's work
    std::bitset<compatInputCodeLimit> held;                       // keys down, by kernel code
    bool capsLocked = false;
    CompatEvent event{}; // handed to every callback, so that delivering allocates nothing
};

void compatInitSessionTap(CompatSessionTap *tap, CGEventMask mask, CGEventTapCallBack callback,
                          void *userInfo);

// A key went down or up. Keeps what is held and, when the tap is enabled and the mask wants the
// event's type, calls the callback.
void compatReportKey(CompatSessionTap *tap, int inputCode, bool pressed);

// The same for a backend that keeps `held` and `capsLocked` itself: both already say how things
// are after the change, and `repeat` marks a key-down that only repeats.
void compatDeliverKey(CompatSessionTap *tap, int inputCode, bool pressed, bool repeat);

// A mouse button, numbered as the platform numbers them (2 the middle button).
void compatReportButton(CompatSessionTap *tap, int64_t button, bool pressed);

// The tap can no longer see input: it is disabled, and the callback hears so once.
void compatReportLostInput(CompatSessionTap *tap);

// True when the session's input is to be read from the kernel's event devices rather than from
// the X server: under Wayland, or with no X display at all.
bool compatSessionOnDevices();

// The backends. Each answers false, or NULL, when its input cannot be had.
bool compatXListenAccess();
CFMachPortRef compatCreateXTap(CGEventMask mask, CGEventTapCallBack callback, void *userInfo);
bool compatXKeyDown(int inputCode);
bool compatXButtonDown(uint32_t button);

bool compatDeviceListenAccess();
CFMachPortRef compatCreateDeviceTap(CGEventMask mask, CGEventTapCallBack callback, void *userInfo);
bool compatDeviceKeyDown(int inputCode);
bool compatDeviceButtonDown(uint32_t button);
