#include "commandline.h"
#include "listener.h"
#include "permission.h"
#include "selftest.h"
#include "status.h"

#include <cerrno>
#include <fcntl.h>

namespace {

// A standard descriptor that the host left closed would be taken by the first one the process
// opens, the window server's connection among them, and the listener would then watch that as
// its standard input or write its lines into it. Read-only /dev/null keeps the place: reading it
// is an end of file, as the host meant, and writing to it fails, as it would have.
void occupyClosedStandardDescriptors() {
    for (int descriptor = 0; descriptor <= 2; descriptor++) {
        if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDONLY);
    }
}

} // namespace

int main(int argc, char **argv) {
    occupyClosedStandardDescriptors();
    switch (matchCommandLine(argc, argv)) {
    case modeSelfTest:
        return runSelfTest();
    case modeRequestPermission:
        return requestPermission();
    case modeListen:
        return runListener();
    case modeUsage:
        break;
    }
    return statusUsage;
}
