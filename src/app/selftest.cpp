#include "selftest.h"

#include "../core/keys.h"
#include "../core/selftesting.h"
#include "../core/tracker.h"
#include "status.h"

namespace {

bool pressMouseForwardDuringInitialHold() {
    testing = true;
    selection = "MouseForward";
    waitForRelease = true;
    controlInput("MouseForward", true, false, false, false);
    return !held && downs == 0;
}

bool holdMouseButton() {
    controlInput("MouseForward", false, true, false, false);
    controlInput("MouseForward", true, false, true, false);
    if (!held || downs != 1)
        return false;
    controlInput("MouseForward", true, false, false, false);
    if (downs != 1)
        return false;
    controlInput("MouseBack", false, true, false, false);
    if (!held)
        return false;
    controlInput("MouseForward", false, true, true, false);
    return !held && ups == 1;
}

bool holdKey() {
    selection = "F9";
    controlInput("F9", true, false, true, false);
    if (held)
        return false;
    controlInput("F9", true, false, false, true);
    if (held)
        return false;
    controlInput("F9", true, false, false, false);
    controlInput("F9", false, true, true, false);
    if (held || downs != 2 || ups != 2)
        return false;
    controlInput("F9", true, false, false, false);
    if (!held)
        return false;
    releaseIfMissing(false);
    return !held && ups == 3;
}

bool assignInCapture() {
    capture = true;
    controlInput("MouseBack", true, false, false, false);
    return assigned && !held;
}

} // namespace

int runSelfTest() {
    if (supported("MouseLeft") || supported("CapsLock"))
        return statusFailed;
    if (!pressMouseForwardDuringInitialHold() || !holdMouseButton() || !holdKey() ||
        !assignInCapture())
        return statusFailed;
    testing = false;
    report("self-test ok");
    return statusOk;
}
