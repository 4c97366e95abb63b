// The self-test's switch: while it is on, report() counts "down" and "up" instead of writing
// them. Apart from tracker.h because GoogleTest owns the global name `testing` in test code.
#pragma once

extern bool testing;
