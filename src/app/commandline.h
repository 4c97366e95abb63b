// Matching the command line against its four forms.
#pragma once

enum Mode {
    modeUsage,
    modeSelfTest,
    modeRequestPermission,
    modeListen, // listen or capture, as `capture` says
};

// Sets `capture` and `selection` for the listener; the program name is never looked at.
Mode matchCommandLine(int argc, const char *const *argv);
