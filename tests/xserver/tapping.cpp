#include "tapping.h"

#include "xserver.h"

#include <cstdlib>

std::vector<Seen> seen;

namespace {

// Every test binary of this folder gets its private server.
const auto *const xserver = ::testing::AddGlobalTestEnvironment(new XServerEnvironment);

CFMachPortRef tap = nullptr;
CFRunLoopSourceRef tapSource = nullptr;
size_t awaited = SIZE_MAX;

CGEventRef record(CGEventTapProxy, CGEventType type, CGEventRef event, void *) {
    Seen entry{type, 0, 0, 0, 0, event};
    if (type == kCGEventKeyDown || type == kCGEventKeyUp || type == kCGEventFlagsChanged) {
        entry.code = CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode);
        entry.repeat = CGEventGetIntegerValueField(event, kCGKeyboardEventAutorepeat);
    }
    if (type == kCGEventOtherMouseDown || type == kCGEventOtherMouseUp)
        entry.button = CGEventGetIntegerValueField(event, kCGMouseEventButtonNumber);
    if (type < kCGEventTapDisabledByTimeout)
        entry.flags = CGEventGetFlags(event);
    seen.push_back(entry);
    if (type >= kCGEventTapDisabledByTimeout)
        CGEventTapEnable(tap, true);
    if (seen.size() >= awaited)
        CFRunLoopStop(CFRunLoopGetCurrent());
    return event;
}

void stopLoop(CFRunLoopTimerRef, void *) {
    CFRunLoopStop(CFRunLoopGetCurrent());
}

} // namespace

CFMachPortRef openTap(CGEventMask mask) {
    closeTap();
    seen.clear();
    tap = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionListenOnly,
                           mask, record, nullptr);
    if (tap == nullptr)
        return nullptr;
    tapSource = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), tapSource, kCFRunLoopCommonModes);
    CGEventTapEnable(tap, true);
    return tap;
}

void closeTap() {
    if (tap == nullptr)
        return;
    CGEventTapEnable(tap, false);
    CFMachPortInvalidate(tap);
    CFRelease(tapSource);
    CFRelease(tap);
    tap = nullptr;
    tapSource = nullptr;
}

CFMachPortRef currentTap() {
    return tap;
}

bool awaitEvents(size_t count, double seconds) {
    if (seen.size() < count) {
        awaited = count;
        runLoopFor(seconds);
        awaited = SIZE_MAX;
    }
    return seen.size() >= count;
}

void runLoopFor(double seconds) {
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + seconds, 0, 0, 0, stopLoop, nullptr);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
    CFRunLoopRun();
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);
}

void tapKey(int inputCode) {
    pressKey(inputCode);
    releaseKey(inputCode);
}

void clickButton(int xButton) {
    pressButton(xButton);
    releaseButton(xButton);
}

std::vector<Seen> seenOfType(CGEventType type) {
    std::vector<Seen> found;
    for (const Seen &entry : seen) {
        if (entry.type == type)
            found.push_back(entry);
    }
    return found;
}
