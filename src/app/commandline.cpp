#include "commandline.h"

#include "../core/keys.h"
#include "../core/tracker.h"

#include <cstring>

Mode matchCommandLine(int argc, const char *const *argv) {
    if (argc == 2) {
        const char *option = argv[1];
        if (strcmp(option, "--self-test") == 0)
            return modeSelfTest;
        if (strcmp(option, "--request-permission") == 0)
            return modeRequestPermission;
        capture = strcmp(option, "--capture") == 0;
        if (!capture)
            return modeUsage;
        selection = nullptr;
        return modeListen;
    }
    capture = false;
    if (argc != 3 || strcmp(argv[1], "--listen") != 0 || !supported(argv[2]))
        return modeUsage;
    // The argument's own text, which lives as long as the process.
    selection = argv[2];
    return modeListen;
}
