#include "xserver.h"

#include "compat/keymap.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int startTimeoutMs = 20000; // a loaded machine may take its time to start a server
constexpr int stopTimeoutMs = 10000;
constexpr int displayAttempts = 20;

pid_t serverPid = -1;
int serverDisplay = -1;
bool serverPaused = false;
xcb_connection_t *injector = nullptr;

void dropInjector() {
    if (injector != nullptr)
        xcb_disconnect(injector);
    injector = nullptr;
}

std::string findXvfb() {
    const char *path = getenv("PATH");
    std::string directories = std::string(path != nullptr ? path : "") + ":/usr/bin:/bin";
    size_t start = 0;
    while (start <= directories.size()) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos)
            end = directories.size();
        std::string candidate = directories.substr(start, end - start) + "/Xvfb";
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(count));
    return text;
}

// Waits for the child to exit, up to the time; true when it did.
bool reap(pid_t pid, int timeoutMs, int *status) {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD))
            return true;
        usleep(10000);
    }
    return false;
}

// One attempt at starting Xvfb on this display. It writes the display number to the descriptor
// of -displayfd once it accepts connections, which is the signal that it is ready.
bool launch(const std::string &xvfb, int display, std::string *problem) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        *problem = std::string("pipe: ") + strerror(errno);
        return false;
    }
    char logName[] = "/tmp/hold-xvfb-XXXXXX";
    int log = mkostemp(logName, O_CLOEXEC);
    if (log >= 0)
        unlink(logName);
    std::string name = ":" + std::to_string(display);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // The server goes with this process, even when a test crashes.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        int quiet = open("/dev/null", O_RDWR);
        dup2(quiet, STDIN_FILENO);
        dup2(log >= 0 ? log : quiet, STDOUT_FILENO);
        dup2(log >= 0 ? log : quiet, STDERR_FILENO);
        if (ready[1] == 3)
            fcntl(3, F_SETFD, 0);
        else
            dup2(ready[1], 3);
        execl(xvfb.c_str(), "Xvfb", name.c_str(), "-displayfd", "3", "-noreset", "-nolisten", "tcp",
              "-screen", "0", "640x480x24", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    if (pid < 0) {
        *problem = std::string("fork: ") + strerror(errno);
        close(ready[0]);
        if (log >= 0)
            close(log);
        return false;
    }
    std::string answer;
    pollfd readable{ready[0], POLLIN, 0};
    while (answer.find('\n') == std::string::npos && poll(&readable, 1, startTimeoutMs) > 0) {
        char buffer[32];
        ssize_t count = read(ready[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(count));
    }
    close(ready[0]);
    if (answer.find('\n') != std::string::npos) {
        if (log >= 0)
            close(log);
        serverPid = pid;
        serverDisplay = display;
        serverPaused = false;
        setenv("DISPLAY", name.c_str(), 1);
        // Under Wayland the session tap would read the event devices instead.
        unsetenv("WAYLAND_DISPLAY");
        return true;
    }
    kill(pid, SIGKILL);
    int status = 0;
    reap(pid, stopTimeoutMs, &status);
    *problem = "Xvfb on :" + std::to_string(display) + " did not start";
    if (WIFEXITED(status))
        *problem += " (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    if (log >= 0) {
        *problem += "; it said:\n" + readAll(log);
        close(log);
    }
    return false;
}

::testing::AssertionResult startOn(int first, int attempts) {
    std::string xvfb = findXvfb();
    if (xvfb.empty()) {
        return ::testing::AssertionFailure()
               << "Xvfb is not installed, and these tests need a private X server "
                  "(scripts/install-deps installs the xvfb package)";
    }
    std::string problem;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (launch(xvfb, first + attempt, &problem))
            return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << problem;
}

xcb_connection_t *inputConnection() {
    if (injector != nullptr && xcb_connection_has_error(injector))
        dropInjector();
    if (injector == nullptr) {
        injector = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(injector)) {
            dropInjector();
            ADD_FAILURE() << "cannot connect to the X server on DISPLAY="
                          << (getenv("DISPLAY") != nullptr ? getenv("DISPLAY") : "(unset)");
        }
    }
    return injector;
}

// xcb_request_check makes a round trip, so the server has processed the input when it returns.
void fakeInput(uint8_t type, int detail) {
    if (detail < 0 || detail > 255) {
        ADD_FAILURE() << "no X keycode or button " << detail;
        return;
    }
    xcb_connection_t *xcb = inputConnection();
    if (xcb == nullptr)
        return;
    auto cookie = xcb_test_fake_input_checked(xcb, type, static_cast<uint8_t>(detail),
                                              XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_generic_error_t *error = xcb_request_check(xcb, cookie);
    if (error != nullptr) {
        ADD_FAILURE() << "XTest refused input type " << int(type) << " detail " << detail
                      << " with error " << int(error->error_code);
        free(error);
    }
}

int keycodeForMac(uint16_t virtualKey) {
    int inputCode = compatInputKeyCode(virtualKey);
    if (inputCode < 0) {
        ADD_FAILURE() << "no key has virtual key code " << virtualKey;
        return -1;
    }
    return inputCode + 8;
}

} // namespace

::testing::AssertionResult startXServer() {
    if (serverPid > 0)
        stopXServer();
    // A display number of this process's own, away from the low numbers that desktops and other
    // test binaries take, so that a killed server's display stays free for its successor.
    return startOn(100 + static_cast<int>(getpid() % 4000) * 2, displayAttempts);
}

::testing::AssertionResult restartXServer() {
    if (serverDisplay < 0)
        return ::testing::AssertionFailure() << "no server was started before";
    if (serverPid > 0)
        stopXServer();
    return startOn(serverDisplay, 1);
}

void stopXServer() {
    dropInjector();
    if (serverPid <= 0)
        return;
    kill(serverPid, SIGCONT); // a stopped server cannot act on SIGTERM
    kill(serverPid, SIGTERM);
    serverPaused = false;
    int status = 0;
    if (!reap(serverPid, stopTimeoutMs, &status)) {
        kill(serverPid, SIGKILL);
        reap(serverPid, stopTimeoutMs, &status);
    }
    serverPid = -1;
}

void killXServer() {
    dropInjector();
    if (serverPid <= 0)
        return;
    kill(serverPid, SIGKILL);
    int status = 0;
    waitpid(serverPid, &status, 0);
    serverPid = -1;
    serverPaused = false;
}

void pauseXServer() {
    if (serverPid <= 0 || serverPaused)
        return;
    kill(serverPid, SIGSTOP);
    int status = 0;
    waitpid(serverPid, &status, WUNTRACED);
    serverPaused = true;
}

void resumeXServer() {
    if (serverPid <= 0 || !serverPaused)
        return;
    kill(serverPid, SIGCONT);
    int status = 0;
    waitpid(serverPid, &status, WCONTINUED);
    serverPaused = false;
}

pid_t xServerPid() {
    return serverPid;
}

int xServerDisplay() {
    return serverDisplay;
}

void pressKey(int inputCode) {
    fakeInput(XCB_KEY_PRESS, inputCode + 8);
}

void releaseKey(int inputCode) {
    fakeInput(XCB_KEY_RELEASE, inputCode + 8);
}

void pressMacKey(uint16_t virtualKey) {
    int keycode = keycodeForMac(virtualKey);
    if (keycode >= 0)
        fakeInput(XCB_KEY_PRESS, keycode);
}

void releaseMacKey(uint16_t virtualKey) {
    int keycode = keycodeForMac(virtualKey);
    if (keycode >= 0)
        fakeInput(XCB_KEY_RELEASE, keycode);
}

void pressButton(int xButton) {
    fakeInput(XCB_BUTTON_PRESS, xButton);
}

void releaseButton(int xButton) {
    fakeInput(XCB_BUTTON_RELEASE, xButton);
}

void syncXServer() {
    xcb_connection_t *xcb = inputConnection();
    if (xcb == nullptr)
        return;
    free(xcb_get_input_focus_reply(xcb, xcb_get_input_focus(xcb), nullptr));
}

void XServerEnvironment::SetUp() {
    ASSERT_TRUE(startXServer());
}

void XServerEnvironment::TearDown() {
    stopXServer();
}
