#include "commandline.h"
#include "listener.h"
#include "permission.h"
#include "selftest.h"
#include "status.h"

int main(int argc, char **argv) {
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
