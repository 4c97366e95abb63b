// The process's exit statuses, shared by every mode.
#pragma once

#include <sysexits.h>

enum ExitStatus {
    statusOk = 0,
    statusFailed = 1, // a self-test expectation failed, or the listener could not set itself up
    statusUsage = EX_USAGE,
    statusNoPermission = EX_NOPERM,
};
