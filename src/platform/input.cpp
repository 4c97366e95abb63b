#include "input.h"

#include "../core/keys.h"
#include "../core/tracker.h"

#include <cstring>

CFMachPortRef tap = nullptr;

namespace {

constexpr CGEventFlags modifierMask = kCGEventFlagMaskShift | kCGEventFlagMaskControl |
                                      kCGEventFlagMaskAlternate | kCGEventFlagMaskCommand;

const char *nameForButton(int64_t button) {
    switch (button) {
    case 2:
        return "MouseMiddle";
    case 3:
        return "MouseBack";
    case 4:
        return "MouseForward";
    default:
        return nullptr;
    }
}

} // namespace

CGEventRef input(CGEventTapProxy, CGEventType type, CGEventRef event, void *) {
    uint32_t kind = type;
    if (kind >= kCGEventTapDisabledByTimeout) {
        // Whatever was held may have been released unseen: close the hold, then listen again.
        if (held) {
            held = false;
            report("up");
        }
        CGEventTapEnable(tap, true);
        return event;
    }
    bool pressed = kind == kCGEventKeyDown || kind == kCGEventOtherMouseDown;
    bool released = kind == kCGEventKeyUp || kind == kCGEventOtherMouseUp;
    if (!pressed && !released)
        return event;
    const char *name;
    bool repeat = false;
    if (kind == kCGEventKeyDown || kind == kCGEventKeyUp) {
        auto code = static_cast<uint16_t>(
            CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode) & 0xFFFF);
        name = nameForCode(code);
        if (pressed)
            repeat = CGEventGetIntegerValueField(event, kCGKeyboardEventAutorepeat) != 0;
    } else {
        name = nameForButton(CGEventGetIntegerValueField(event, kCGMouseEventButtonNumber));
    }
    bool modified = (CGEventGetFlags(event) & modifierMask) != 0;
    controlInput(name, pressed, released, modified, repeat);
    return event;
}

bool initiallyHeld(const char *name) {
    const Key *key = keyNamed(name);
    if (key != nullptr)
        return CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, key->code);
    CGMouseButton button = static_cast<CGMouseButton>(4);
    if (strcmp(name, "MouseMiddle") == 0)
        button = kCGMouseButtonCenter;
    else if (strcmp(name, "MouseBack") == 0)
        button = static_cast<CGMouseButton>(3);
    return CGEventSourceButtonState(kCGEventSourceStateCombinedSessionState, button);
}
