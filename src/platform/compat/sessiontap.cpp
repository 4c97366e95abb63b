#include "sessiontap.h"

#include "IOKit.h"
#include "testing.h"

#include <cstdlib>
#include <linux/input-event-codes.h>

namespace {

uint32_t droppedType = 0;

// The modifier keys' virtual codes run from Right Command (0x36) to Fn (0x3F). Like the
// platform, they report a change of flags, never a key-down or key-up.
bool isModifier(uint16_t code) {
    return code >= 0x36 && code <= 0x3F;
}

// The platform marks keypad and arrow keys as numeric-pad keys, and function, navigation and
// arrow keys with Fn, whatever modifiers are down.
CGEventFlags positionFlags(uint16_t code) {
    switch (code) {
    case 0x7B: // arrows
    case 0x7C:
    case 0x7D:
    case 0x7E:
        return kCGEventFlagMaskNumericPad | kCGEventFlagMaskSecondaryFn;
    case 0x41: // keypad
    case 0x43:
    case 0x45:
    case 0x47:
    case 0x4B:
    case 0x4C:
    case 0x4E:
    case 0x51:
    case 0x52:
    case 0x53:
    case 0x54:
    case 0x55:
    case 0x56:
    case 0x57:
    case 0x58:
    case 0x59:
    case 0x5B:
    case 0x5C:
    case 0x5F:
        return kCGEventFlagMaskNumericPad;
    case 0x7A: // F1 to F20
    case 0x78:
    case 0x63:
    case 0x76:
    case 0x60:
    case 0x61:
    case 0x62:
    case 0x64:
    case 0x65:
    case 0x6D:
    case 0x67:
    case 0x6F:
    case 0x69:
    case 0x6B:
    case 0x71:
    case 0x6A:
    case 0x40:
    case 0x4F:
    case 0x50:
    case 0x5A:
    case 0x72: // Help, Home, Page Up, Forward Delete, End, Page Down
    case 0x73:
    case 0x74:
    case 0x75:
    case 0x77:
    case 0x79:
        return kCGEventFlagMaskSecondaryFn;
    default:
        return 0;
    }
}

CGEventFlags modifierFlags(const CompatSessionTap *tap) {
    const auto &held = tap->held;
    CGEventFlags flags = 0;
    if (tap->capsLocked)
        flags |= kCGEventFlagMaskAlphaShift;
    if (held[KEY_LEFTSHIFT] || held[KEY_RIGHTSHIFT])
        flags |= kCGEventFlagMaskShift;
    if (held[KEY_LEFTCTRL] || held[KEY_RIGHTCTRL])
        flags |= kCGEventFlagMaskControl;
    if (held[KEY_LEFTALT] || held[KEY_RIGHTALT])
        flags |= kCGEventFlagMaskAlternate;
    if (held[KEY_LEFTMETA] || held[KEY_RIGHTMETA])
        flags |= kCGEventFlagMaskCommand;
    if (held[KEY_FN])
        flags |= kCGEventFlagMaskSecondaryFn;
    return flags;
}

CompatEvent &refillEvent(CompatSessionTap *tap, CGEventType type, CGEventFlags flags) {
    CompatEvent &event = tap->event;
    event.type = type;
    event.flags = flags;
    for (int64_t &field : event.fields)
        field = 0;
    return event;
}

void deliver(CompatSessionTap *tap, CGEventType type) {
    if (!tap->enabled || (tap->mask & CGEventMaskBit(type)) == 0 || type == droppedType)
        return;
    tap->callback(nullptr, type, &tap->event, tap->userInfo);
}

// The event lives as long as its tap; nothing of the layer ever frees it.
void keepEvent(CompatObject *) {}

} // namespace

void compatInitSessionTap(CompatSessionTap *tap, CGEventMask mask, CGEventTapCallBack callback,
                          void *userInfo) {
    tap->callback = callback;
    tap->userInfo = userInfo;
    tap->mask = mask;
    tap->event.object.references = 1;
    tap->event.object.destroy = keepEvent;
}

void compatReportKey(CompatSessionTap *tap, int inputCode, bool pressed) {
    if (inputCode < 0 || inputCode >= compatInputCodeLimit)
        return;
    bool again = pressed && tap->held[inputCode];
    tap->held[inputCode] = pressed;
    if (inputCode == KEY_CAPSLOCK && pressed && !again)
        tap->capsLocked = !tap->capsLocked;
    compatDeliverKey(tap, inputCode, pressed, again);
}

void compatDeliverKey(CompatSessionTap *tap, int inputCode, bool pressed, bool repeat) {
    uint16_t code = compatMacKeyCode(inputCode);
    bool modifier = isModifier(code);
    if (modifier && repeat)
        return; // a modifier that stays down changes no flag
    CGEventType type = modifier ? kCGEventFlagsChanged : pressed ? kCGEventKeyDown : kCGEventKeyUp;
    CompatEvent &event = refillEvent(tap, type, modifierFlags(tap) | positionFlags(code));
    event.fields[kCGKeyboardEventKeycode] = code;
    event.fields[kCGKeyboardEventAutorepeat] = repeat ? 1 : 0;
    deliver(tap, type);
}

void compatReportButton(CompatSessionTap *tap, int64_t button, bool pressed) {
    CGEventType type = pressed ? kCGEventOtherMouseDown : kCGEventOtherMouseUp;
    CompatEvent &event = refillEvent(tap, type, modifierFlags(tap));
    event.fields[kCGMouseEventButtonNumber] = button;
    event.fields[kCGMouseEventClickState] = 1;
    deliver(tap, type);
}

void compatReportLostInput(CompatSessionTap *tap) {
    tap->held.reset();
    if (!tap->enabled)
        return;
    tap->enabled = false;
    refillEvent(tap, kCGEventTapDisabledByUserInput, 0);
    if (droppedType != kCGEventTapDisabledByUserInput)
        tap->callback(nullptr, kCGEventTapDisabledByUserInput, &tap->event, tap->userInfo);
}

// A Wayland compositor, or the console, gives an X client nothing of what other applications
// get: there the kernel's devices are the only view of the whole session's input.
bool compatSessionOnDevices() {
    const char *wayland = getenv("WAYLAND_DISPLAY");
    const char *display = getenv("DISPLAY");
    return (wayland != nullptr && wayland[0] != '\0') || display == nullptr || display[0] == '\0';
}

void compatDropEventType(uint32_t type) {
    droppedType = type;
}

bool CGPreflightListenEventAccess(void) {
    return compatSessionOnDevices() ? compatDeviceListenAccess() : compatXListenAccess();
}

// Neither backend has a permission to ask for: an X server lets any of its clients listen, and
// the event devices are readable or not (by membership of the group that owns them).
bool IOHIDRequestAccess(IOHIDRequestType requestType) {
    return requestType == kIOHIDRequestTypeListenEvent && CGPreflightListenEventAccess();
}

// Only a listen-only tap can be had: the layer never changes or holds back input.
CFMachPortRef CGEventTapCreate(CGEventTapLocation, CGEventTapPlacement, CGEventTapOptions options,
                               CGEventMask eventsOfInterest, CGEventTapCallBack callback,
                               void *userInfo) {
    if (compatCreationFails("CGEventTapCreate"))
        return nullptr;
    if (options != kCGEventTapOptionListenOnly || eventsOfInterest == 0 || callback == nullptr)
        return nullptr;
    if (compatSessionOnDevices())
        return compatCreateDeviceTap(eventsOfInterest, callback, userInfo);
    return compatCreateXTap(eventsOfInterest, callback, userInfo);
}

void CGEventTapEnable(CFMachPortRef tap, bool enable) {
    if (tap == nullptr || tap->backend == nullptr)
        return;
    auto *session = static_cast<CompatSessionTap *>(tap->backend);
    if (session->enable != nullptr)
        session->enable(session, enable);
    else
        session->enabled = enable;
}

bool CGEventSourceKeyState(CGEventSourceStateID, CGKeyCode key) {
    int inputCode = compatInputKeyCode(key);
    if (inputCode < 0)
        return false;
    return compatSessionOnDevices() ? compatDeviceKeyDown(inputCode) : compatXKeyDown(inputCode);
}

bool CGEventSourceButtonState(CGEventSourceStateID, CGMouseButton button) {
    return compatSessionOnDevices() ? compatDeviceButtonDown(button) : compatXButtonDown(button);
}
