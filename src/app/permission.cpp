#include "permission.h"

#include "../core/tracker.h"
#include "../platform/services.h"
#include "status.h"

int requestPermission() {
    // Only a missing permission is asked for, and the request's own answer is checked once more,
    // since the system may grant access while the request still reports a refusal.
    bool granted = CGPreflightListenEventAccess() ||
                   IOHIDRequestAccess(kIOHIDRequestTypeListenEvent) ||
                   CGPreflightListenEventAccess();
    if (!granted) {
        report("permission");
        return statusNoPermission;
    }
    report("ready");
    return statusOk;
}
