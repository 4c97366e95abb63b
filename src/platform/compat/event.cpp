#include "internal.h"

#include <type_traits>

// CFRelease reaches the event through its leading CompatObject.
static_assert(std::is_standard_layout_v<CompatEvent>);

namespace {

void destroyEvent(CompatObject *object) {
    delete reinterpret_cast<CompatEvent *>(object);
}

CGEventRef createEvent(CGEventType type) {
    auto *event = new CompatEvent{};
    compatInitObject(&event->object, destroyEvent);
    event->type = type;
    return event;
}

bool isKnown(CGEventField field) {
    return static_cast<int64_t>(field) < compatEventFieldCount;
}

} // namespace

CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef, CGKeyCode virtualKey, bool keyDown) {
    if (compatCreationFails("CGEventCreateKeyboardEvent"))
        return nullptr;
    CGEventRef event = createEvent(keyDown ? kCGEventKeyDown : kCGEventKeyUp);
    event->fields[kCGKeyboardEventKeycode] = virtualKey;
    return event;
}

// The position is not kept: nothing in the program reads it.
CGEventRef CGEventCreateMouseEvent(CGEventSourceRef, CGEventType mouseType, CGPoint,
                                   CGMouseButton mouseButton) {
    if (compatCreationFails("CGEventCreateMouseEvent"))
        return nullptr;
    CGEventRef event = createEvent(mouseType);
    event->fields[kCGMouseEventButtonNumber] = mouseButton;
    return event;
}

CGEventType CGEventGetType(CGEventRef event) {
    return event->type;
}

void CGEventSetType(CGEventRef event, CGEventType type) {
    event->type = type;
}

int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field) {
    return isKnown(field) ? event->fields[field] : 0;
}

void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value) {
    if (isKnown(field))
        event->fields[field] = value;
}

CGEventFlags CGEventGetFlags(CGEventRef event) {
    return event->flags;
}

void CGEventSetFlags(CGEventRef event, CGEventFlags flags) {
    event->flags = flags;
}
