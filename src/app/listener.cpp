#include "listener.h"

#include "../core/tracker.h"
#include "../platform/input.h"
#include "status.h"

#include <unistd.h>

CFRunLoopRef runLoop = nullptr;

namespace {

constexpr CGEventMask listenedEvents =
    CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp) |
    CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp);
constexpr CFTimeInterval pollInterval = 0.05;

// Invalidating the port takes its source off the run loop, so nothing of the tap outlives us.
void releaseTap(CFRunLoopSourceRef tapSource) {
    CFMachPortInvalidate(tap);
    if (tapSource != nullptr)
        CFRelease(tapSource);
    CFRelease(tap);
    tap = nullptr;
}

void releaseWatch(CFFileDescriptorRef watch, CFRunLoopSourceRef watchSource) {
    CFFileDescriptorInvalidate(watch);
    if (watchSource != nullptr)
        CFRelease(watchSource);
    CFRelease(watch);
}

} // namespace

void watchParent(CFFileDescriptorRef descriptor, CFOptionFlags, void *) {
    char discarded[16];
    ssize_t count = read(STDIN_FILENO, discarded, sizeof discarded);
    if (count <= 0) {
        CFRunLoopStop(runLoop);
        return;
    }
    CFFileDescriptorEnableCallBacks(descriptor, kCFFileDescriptorReadCallBack);
}

void checkRelease(CFRunLoopTimerRef, void *) {
    if (capture)
        return;
    if (!held && !waitForRelease)
        return;
    releaseIfMissing(initiallyHeld(selection));
}

int runListener() {
    if (!CGPreflightListenEventAccess()) {
        report("permission");
        return statusNoPermission;
    }
    tap = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionListenOnly,
                           listenedEvents, input, nullptr);
    if (tap == nullptr) {
        report("permission");
        return statusNoPermission;
    }
    runLoop = CFRunLoopGetCurrent();
    CFRunLoopSourceRef tapSource = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap, 0);
    if (tapSource == nullptr) {
        releaseTap(nullptr);
        return statusFailed;
    }
    CFRunLoopAddSource(runLoop, tapSource, kCFRunLoopCommonModes);

    if (!capture)
        waitForRelease = initiallyHeld(selection);

    CFFileDescriptorRef watch =
        CFFileDescriptorCreate(kCFAllocatorDefault, STDIN_FILENO, false, watchParent, nullptr);
    if (watch == nullptr) {
        releaseTap(tapSource);
        return statusFailed;
    }
    CFRunLoopSourceRef watchSource =
        CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, watch, 0);
    if (watchSource == nullptr) {
        releaseWatch(watch, nullptr);
        releaseTap(tapSource);
        return statusFailed;
    }
    CFRunLoopAddSource(runLoop, watchSource, kCFRunLoopCommonModes);
    CFFileDescriptorEnableCallBacks(watch, kCFFileDescriptorReadCallBack);

    CFRunLoopTimerRef poll =
        CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + pollInterval,
                             pollInterval, 0, 0, checkRelease, nullptr);
    if (poll == nullptr) {
        releaseWatch(watch, watchSource);
        releaseTap(tapSource);
        return statusFailed;
    }
    CFRunLoopAddTimer(runLoop, poll, kCFRunLoopCommonModes);

    CGEventTapEnable(tap, true);
    report("ready");
    CFRunLoopRun();

    if (held) {
        held = false;
        report("up");
    }
    CFRunLoopTimerInvalidate(poll);
    CFRelease(poll);
    CGEventTapEnable(tap, false);
    releaseWatch(watch, watchSource);
    releaseTap(tapSource);
    return statusOk;
}
