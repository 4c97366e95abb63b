// The built-in scenario that exercises the hold rules without the platform.
#pragma once

// Returns statusOk after writing "self-test ok", or statusFailed, with no output, at the first
// failed expectation.
int runSelfTest();
