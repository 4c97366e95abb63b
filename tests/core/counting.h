// The self-test's counting switch, for test code that cannot see the global `testing` flag.
#pragma once

void setCounting(bool on);
