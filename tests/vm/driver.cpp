// Runs inside the virtual machine, as its only program: makes keyboards and mice through
// /dev/uinput, presses their keys and buttons, and checks what the built hold-listener writes
// and what the session tap delivers in this process. Results go to the serial console.
#include "compat/CoreFoundation.h"
#include "compat/CoreGraphics.h"
#include "compat/IOKit.h"
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *listener = GUEST_LISTENER;
constexpr uid_t user = 1000;      // a user with no access to the devices
constexpr gid_t inputGroup = 101; // the group a device manager gives the nodes
constexpr int lineMs = 5000;      // for a line that must come, on an emulated machine
constexpr int quietMs = 300;      // for a line that must not come to have come

// Virtual key codes.
constexpr uint16_t macA = 0x00, macSpace = 0x31;

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A device made through uinput; unplugged when it goes out of scope.
struct VirtualDevice {
    int fd = -1;
    std::string node; // /dev/input/eventN

    VirtualDevice() = default;
    VirtualDevice(const VirtualDevice &) = delete;
    VirtualDevice &operator=(const VirtualDevice &) = delete;
    ~VirtualDevice() { unplug(); }

    void unplug() {
        if (fd < 0)
            return;
        ioctl(fd, UI_DEV_DESTROY);
        close(fd);
        fd = -1;
    }

    void send(int type, int code, int value) const {
        input_event events[2] = {};
        events[0].type = static_cast<uint16_t>(type);
        events[0].code = static_cast<uint16_t>(code);
        events[0].value = value;
        events[1].type = EV_SYN;
        events[1].code = SYN_REPORT;
        ASSERT_EQ(write(fd, events, sizeof events), static_cast<ssize_t>(sizeof events));
    }
    void press(int code) const { send(EV_KEY, code, 1); }
    void release(int code) const { send(EV_KEY, code, 0); }
    void repeat(int code) const { send(EV_KEY, code, 2); }
    void tap(int code) const {
        press(code);
        release(code);
    }
};

enum class Kind { keyboard, mouse };

// A keyboard has every key below the buttons and the three lights; a mouse has the eight
// buttons and moves.
void plugIn(VirtualDevice &device, Kind kind, const char *name) {
    int fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "/dev/uinput: " << strerror(errno);
    device.fd = fd;
    ioctl(fd, UI_SET_EVBIT, EV_KEY);
    if (kind == Kind::keyboard) {
        for (int code = KEY_ESC; code < BTN_MISC; ++code)
            ioctl(fd, UI_SET_KEYBIT, code);
        ioctl(fd, UI_SET_EVBIT, EV_LED);
        for (int led : {LED_NUML, LED_CAPSL, LED_SCROLLL})
            ioctl(fd, UI_SET_LEDBIT, led);
    } else {
        for (int code = BTN_LEFT; code <= BTN_TASK; ++code)
            ioctl(fd, UI_SET_KEYBIT, code);
        ioctl(fd, UI_SET_EVBIT, EV_REL);
        ioctl(fd, UI_SET_RELBIT, REL_X);
        ioctl(fd, UI_SET_RELBIT, REL_Y);
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x1209;
    setup.id.product = kind == Kind::keyboard ? 1 : 2;
    snprintf(setup.name, sizeof setup.name, "%s", name);
    ASSERT_EQ(ioctl(fd, UI_DEV_SETUP, &setup), 0) << strerror(errno);
    ASSERT_EQ(ioctl(fd, UI_DEV_CREATE), 0) << strerror(errno);
    char sysname[64] = {};
    ASSERT_GE(ioctl(fd, UI_GET_SYSNAME(sizeof sysname), sysname), 0) << strerror(errno);
    // The node exists once the device is created: devtmpfs makes it on the way.
    std::string directory = std::string("/sys/devices/virtual/input/") + sysname;
    DIR *entries = opendir(directory.c_str());
    ASSERT_NE(entries, nullptr) << directory;
    while (const dirent *entry = readdir(entries)) {
        if (strncmp(entry->d_name, "event", 5) == 0)
            device.node = std::string("/dev/input/") + entry->d_name;
    }
    closedir(entries);
    ASSERT_FALSE(device.node.empty()) << "no event node under " << directory;
}

// Every event node, given to this owner and mode, as a device manager would.
void setNodeAccess(gid_t group, mode_t mode) {
    DIR *entries = opendir("/dev/input");
    ASSERT_NE(entries, nullptr);
    while (const dirent *entry = readdir(entries)) {
        if (strncmp(entry->d_name, "event", 5) != 0)
            continue;
        std::string node = std::string("/dev/input/") + entry->d_name;
        EXPECT_EQ(chown(node.c_str(), 0, group), 0);
        EXPECT_EQ(chmod(node.c_str(), mode), 0);
    }
    closedir(entries);
}

// The descriptors by which the process holds the node open.
std::vector<int> descriptorsOf(pid_t pid, const std::string &node) {
    std::string directory = "/proc/" + std::to_string(pid) + "/fd";
    std::vector<int> found;
    DIR *entries = opendir(directory.c_str());
    if (entries == nullptr)
        return found;
    while (const dirent *entry = readdir(entries)) {
        char target[256] = {};
        std::string link = directory + "/" + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && node == target)
            found.push_back(atoi(entry->d_name));
    }
    closedir(entries);
    return found;
}

// True when one of the process's epoll descriptors watches this descriptor of its own.
bool watches(pid_t pid, int fd) {
    std::string directory = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR *entries = opendir(directory.c_str());
    if (entries == nullptr)
        return false;
    bool found = false;
    while (const dirent *entry = readdir(entries)) {
        FILE *info = fopen((directory + "/" + entry->d_name).c_str(), "r");
        if (info == nullptr)
            continue;
        char line[256];
        int watched = -1;
        while (fgets(line, sizeof line, info) != nullptr) {
            if (sscanf(line, "tfd: %d", &watched) == 1 && watched == fd)
                found = true;
        }
        fclose(info);
    }
    closedir(entries);
    return found;
}

// Nothing tells another process that the listener has taken a new device in, so its descriptors
// are looked at until its epoll descriptor watches the node: the device's state has been read by
// then, and every later event reaches it.
::testing::AssertionResult awaitWatchedBy(const Child &child, const std::string &node) {
    long long deadline = nowMs() + lineMs;
    for (;;) {
        for (int fd : descriptorsOf(child.pid, node)) {
            if (watches(child.pid, fd))
                return ::testing::AssertionSuccess();
        }
        if (nowMs() > deadline)
            return ::testing::AssertionFailure() << "the listener did not take " << node << " in";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The listener as a host starts it, with no X display: it reads the event devices.
Child start(const std::vector<std::string> &arguments, const std::vector<std::string> &env = {}) {
    std::vector<std::string> argv = {listener};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return spawnChild(argv, env);
}

// The same as another user, by this program starting it after giving up root.
Child startAs(uid_t uid, const std::vector<gid_t> &groups,
              const std::vector<std::string> &arguments) {
    std::vector<std::string> argv = {"vm-driver", "--as", std::to_string(uid)};
    for (gid_t group : groups)
        argv.push_back(std::to_string(group));
    argv.push_back("--");
    argv.push_back(listener);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return spawnChild(argv, {}, "/proc/self/exe");
}

Child listenFor(const char *name) {
    return start({"--listen", name});
}

// Closes the host's end; the last lines, then the end, status 0 and nothing on standard error.
void finish(Child &child, const std::vector<std::string> &lastLines = {}) {
    closeInput(child);
    for (const std::string &line : lastLines)
        EXPECT_EQ(readLine(child, lineMs), line);
    EXPECT_EQ(readLine(child, lineMs), "<eof>");
    EXPECT_EQ(waitChild(child, lineMs), 0);
    EXPECT_EQ(drainErrors(child), "");
    close(child.output);
    close(child.errors);
}

// Runs to its end with standard input closed: one line and a status, nothing on standard error.
void expectOutcome(Child child, const std::string &line, int status) {
    closeInput(child);
    EXPECT_EQ(readLine(child, lineMs), line);
    EXPECT_EQ(readLine(child, lineMs), "<eof>");
    EXPECT_EQ(waitChild(child, lineMs), status);
    EXPECT_EQ(drainErrors(child), "");
    close(child.output);
    close(child.errors);
}

// The in-process tap: a callback that records every event, on this thread's run loop.
struct Seen {
    CGEventType type;
    int64_t code;
    int64_t repeat;
    int64_t button;
    CGEventFlags flags;
};

std::vector<Seen> seen;
size_t awaited = SIZE_MAX;
CFMachPortRef tap = nullptr;
CFRunLoopSourceRef tapSource = nullptr;

CGEventRef record(CGEventTapProxy, CGEventType type, CGEventRef event, void *) {
    seen.push_back({type, CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode),
                    CGEventGetIntegerValueField(event, kCGKeyboardEventAutorepeat),
                    CGEventGetIntegerValueField(event, kCGMouseEventButtonNumber),
                    CGEventGetFlags(event)});
    if (seen.size() >= awaited)
        CFRunLoopStop(CFRunLoopGetCurrent());
    return event;
}

void stopLoop(CFRunLoopTimerRef, void *) {
    CFRunLoopStop(CFRunLoopGetCurrent());
}

void runLoopFor(double seconds) {
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + seconds, 0, 0, 0, stopLoop, nullptr);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
    CFRunLoopRun();
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);
}

bool awaitEvents(size_t count) {
    if (seen.size() < count) {
        awaited = count;
        runLoopFor(lineMs / 1000.0);
        awaited = SIZE_MAX;
    }
    return seen.size() >= count;
}

constexpr CGEventMask everyEvent = ~CGEventMask{0};

void closeTap() {
    if (tap == nullptr)
        return;
    CGEventTapEnable(tap, false);
    CFMachPortInvalidate(tap);
    CFRelease(tapSource);
    CFRelease(tap);
    tap = nullptr;
    tapSource = nullptr;
}

CFMachPortRef openTap(CGEventMask mask = everyEvent) {
    closeTap();
    seen.clear();
    tap = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionListenOnly,
                           mask, record, nullptr);
    if (tap == nullptr)
        return nullptr;
    tapSource = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), tapSource, kCFRunLoopCommonModes);
    CGEventTapEnable(tap, true);
    return tap;
}

// Every test leaves the session as it found it: no tap, root-only nodes, no X variables.
class Guest : public ::testing::Test {
  protected:
    void TearDown() override {
        closeTap();
        setNodeAccess(0, 0600);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
    }
};

using Listen = Guest;

TEST_F(Listen, EachNamedKeyAndButtonGoesDownAndUpForItsListenerOnly) {
    const struct {
        const char *name;
        Kind kind;
        int code;
    } cases[] = {
        {"KeyA", Kind::keyboard, KEY_A},      {"Space", Kind::keyboard, KEY_SPACE},
        {"Digit5", Kind::keyboard, KEY_5},    {"Backquote", Kind::keyboard, KEY_GRAVE},
        {"F12", Kind::keyboard, KEY_F12},     {"MouseMiddle", Kind::mouse, BTN_MIDDLE},
        {"MouseBack", Kind::mouse, BTN_SIDE}, {"MouseForward", Kind::mouse, BTN_EXTRA},
    };
    VirtualDevice keyboard, mouse;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    ASSERT_NO_FATAL_FAILURE(plugIn(mouse, Kind::mouse, "vm mouse"));
    std::vector<Child> children;
    for (const auto &test : cases)
        children.push_back(listenFor(test.name));
    for (Child &child : children)
        ASSERT_EQ(readLine(child, lineMs), "ready");
    // The left and right buttons and unnamed keys reach nobody.
    mouse.tap(BTN_LEFT);
    mouse.tap(BTN_RIGHT);
    keyboard.tap(KEY_ESC);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const VirtualDevice &device = cases[i].kind == Kind::keyboard ? keyboard : mouse;
        device.press(cases[i].code);
        EXPECT_EQ(readLine(children[i], lineMs), "down");
        device.release(cases[i].code);
        EXPECT_EQ(readLine(children[i], lineMs), "up");
    }
    // Each heard its own input only: nothing more before the end.
    for (Child &child : children)
        finish(child);
}

TEST_F(Listen, AModifierOnAnotherKeyboardRefusesAKeyButNotAButton) {
    const int modifiers[] = {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL,
                             KEY_LEFTALT,   KEY_RIGHTALT,   KEY_LEFTMETA, KEY_RIGHTMETA};
    VirtualDevice typing, modifying, mouse;
    ASSERT_NO_FATAL_FAILURE(plugIn(typing, Kind::keyboard, "vm typing keyboard"));
    ASSERT_NO_FATAL_FAILURE(plugIn(modifying, Kind::keyboard, "vm modifier keyboard"));
    ASSERT_NO_FATAL_FAILURE(plugIn(mouse, Kind::mouse, "vm mouse"));
    Child key = listenFor("KeyA");
    Child button = listenFor("MouseBack");
    ASSERT_EQ(readLine(key, lineMs), "ready");
    ASSERT_EQ(readLine(button, lineMs), "ready");
    for (int modifier : modifiers) {
        SCOPED_TRACE("modifier " + std::to_string(modifier));
        modifying.press(modifier);
        typing.tap(KEY_A); // refused: the next line must come from the press below
        mouse.press(BTN_SIDE);
        EXPECT_EQ(readLine(button, lineMs), "down");
        mouse.release(BTN_SIDE);
        EXPECT_EQ(readLine(button, lineMs), "up");
        modifying.release(modifier);
        typing.press(KEY_A);
        EXPECT_EQ(readLine(key, lineMs), "down");
        typing.release(KEY_A);
        EXPECT_EQ(readLine(key, lineMs), "up");
    }
    // A release counts with a modifier down.
    typing.press(KEY_A);
    EXPECT_EQ(readLine(key, lineMs), "down");
    modifying.press(KEY_LEFTCTRL);
    typing.release(KEY_A);
    EXPECT_EQ(readLine(key, lineMs), "up");
    modifying.release(KEY_LEFTCTRL);
    finish(key);
    finish(button);
}

TEST_F(Listen, AutoRepeatIsNoNewPress) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    Child child = listenFor("Space");
    ASSERT_EQ(readLine(child, lineMs), "ready");
    keyboard.press(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "down");
    for (int i = 0; i < 5; ++i)
        keyboard.repeat(KEY_SPACE);
    keyboard.release(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "up");
    // A repeat alone is no press either.
    keyboard.repeat(KEY_SPACE);
    EXPECT_TRUE(quietFor(child, quietMs));
    keyboard.release(KEY_SPACE);
    keyboard.press(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "down");
    keyboard.release(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "up");
    finish(child);
}

TEST_F(Listen, CapsLockIsNoModifier) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    Child child = listenFor("KeyA");
    ASSERT_EQ(readLine(child, lineMs), "ready");
    keyboard.tap(KEY_CAPSLOCK);
    keyboard.send(EV_LED, LED_CAPSL, 1); // as the console or a compositor lights it
    keyboard.press(KEY_A);
    EXPECT_EQ(readLine(child, lineMs), "down");
    keyboard.release(KEY_A);
    EXPECT_EQ(readLine(child, lineMs), "up");
    keyboard.tap(KEY_CAPSLOCK);
    keyboard.send(EV_LED, LED_CAPSL, 0);
    finish(child);
}

TEST_F(Listen, AKeyHeldAtStartCountsOnlyOnceReleased) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    keyboard.press(KEY_A);
    Child child = listenFor("KeyA");
    ASSERT_EQ(readLine(child, lineMs), "ready");
    keyboard.repeat(KEY_A);
    keyboard.release(KEY_A); // ends the wait, and says nothing
    keyboard.press(KEY_A);
    EXPECT_EQ(readLine(child, lineMs), "down");
    keyboard.release(KEY_A);
    EXPECT_EQ(readLine(child, lineMs), "up");
    finish(child);
}

TEST_F(Listen, AKeyHeldAtStartOnAKeyboardThatGoesIsOverAtThePoll) {
    VirtualDevice going, staying;
    ASSERT_NO_FATAL_FAILURE(plugIn(going, Kind::keyboard, "vm keyboard that goes"));
    ASSERT_NO_FATAL_FAILURE(plugIn(staying, Kind::keyboard, "vm keyboard that stays"));
    going.press(KEY_SPACE);
    Child child = listenFor("Space");
    ASSERT_EQ(readLine(child, lineMs), "ready");
    going.unplug();
    EXPECT_FALSE(CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, macSpace));
    // The end of the wait shows in nothing but the next press, so give the 50 ms poll some
    // turns; one press must then count.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    staying.press(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "down");
    staying.release(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "up");
    finish(child);
}

TEST_F(Listen, AKeyboardPluggedInAfterReadyIsHeard) {
    Child child = listenFor("KeyA");
    ASSERT_EQ(readLine(child, lineMs), "ready");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("keyboard " + std::to_string(round));
        VirtualDevice keyboard;
        ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm late keyboard"));
        ASSERT_TRUE(awaitWatchedBy(child, keyboard.node));
        keyboard.press(KEY_A);
        EXPECT_EQ(readLine(child, lineMs), "down");
        keyboard.release(KEY_A);
        EXPECT_EQ(readLine(child, lineMs), "up");
    }
    finish(child);
}

TEST_F(Listen, AKeyboardRemovedWhileItsKeyIsHeldReadsUp) {
    VirtualDevice spare;
    ASSERT_NO_FATAL_FAILURE(plugIn(spare, Kind::keyboard, "vm spare keyboard"));
    Child child = listenFor("KeyA");
    ASSERT_EQ(readLine(child, lineMs), "ready");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        VirtualDevice keyboard;
        ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard that goes"));
        ASSERT_TRUE(awaitWatchedBy(child, keyboard.node));
        keyboard.press(KEY_A);
        EXPECT_EQ(readLine(child, lineMs), "down");
        long long unplugging = nowMs();
        keyboard.unplug();
        long long unplugged = nowMs();
        EXPECT_EQ(readLine(child, lineMs), "up");
        long long late = nowMs() - unplugged;
        printf("vm: the keyboard took %lld ms to go; \"up\" %lld ms after it had gone\n",
               unplugged - unplugging, late);
        EXPECT_LT(late, 1000) << "far more than the 50 ms poll";
    }
    // The others are still heard.
    spare.press(KEY_A);
    EXPECT_EQ(readLine(child, lineMs), "down");
    spare.release(KEY_A);
    EXPECT_EQ(readLine(child, lineMs), "up");
    finish(child);
}

TEST_F(Listen, ClosingStandardInputWhileHeldWritesUp) {
    VirtualDevice mouse;
    ASSERT_NO_FATAL_FAILURE(plugIn(mouse, Kind::mouse, "vm mouse"));
    Child child = listenFor("MouseForward");
    ASSERT_EQ(readLine(child, lineMs), "ready");
    mouse.press(BTN_EXTRA);
    EXPECT_EQ(readLine(child, lineMs), "down");
    finish(child, {"up"});
    mouse.release(BTN_EXTRA);
}

TEST_F(Listen, TheDevicesAreNeverGrabbed) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    Child child = listenFor("KeyA");
    ASSERT_EQ(readLine(child, lineMs), "ready");
    int reader = open(keyboard.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    // A grab succeeds only where nobody holds one.
    EXPECT_EQ(ioctl(reader, EVIOCGRAB, 1), 0) << "the listener grabbed the keyboard";
    EXPECT_EQ(ioctl(reader, EVIOCGRAB, 0), 0);
    const int codes[] = {KEY_A, KEY_B, KEY_SPACE, KEY_A, KEY_ESC};
    for (int code : codes)
        keyboard.tap(code);
    EXPECT_EQ(readLine(child, lineMs), "down");
    EXPECT_EQ(readLine(child, lineMs), "up");
    EXPECT_EQ(readLine(child, lineMs), "down");
    EXPECT_EQ(readLine(child, lineMs), "up");
    std::vector<std::pair<int, int>> heard;
    input_event events[64];
    for (;;) {
        ssize_t count = read(reader, events, sizeof events);
        if (count <= 0)
            break;
        for (size_t i = 0; i < static_cast<size_t>(count) / sizeof events[0]; ++i) {
            if (events[i].type == EV_KEY)
                heard.emplace_back(events[i].code, events[i].value);
        }
    }
    close(reader);
    std::vector<std::pair<int, int>> sent;
    for (int code : codes) {
        sent.emplace_back(code, 1);
        sent.emplace_back(code, 0);
    }
    EXPECT_EQ(heard, sent);
    finish(child);
}

using Capture = Guest;

TEST_F(Capture, AssignsTheFirstPlainPressOnly) {
    VirtualDevice keyboard, modifiers, mouse;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    ASSERT_NO_FATAL_FAILURE(plugIn(modifiers, Kind::keyboard, "vm modifier keyboard"));
    ASSERT_NO_FATAL_FAILURE(plugIn(mouse, Kind::mouse, "vm mouse"));
    Child child = start({"--capture"});
    ASSERT_EQ(readLine(child, lineMs), "ready");
    mouse.tap(BTN_LEFT);
    mouse.tap(BTN_RIGHT);
    keyboard.tap(KEY_ESC); // no name
    modifiers.press(KEY_LEFTSHIFT);
    keyboard.tap(KEY_A);
    mouse.tap(BTN_MIDDLE); // a modifier blocks a button here too
    modifiers.release(KEY_LEFTSHIFT);
    keyboard.press(KEY_F6);
    EXPECT_EQ(readLine(child, lineMs), "assign F6");
    keyboard.repeat(KEY_F6);
    keyboard.release(KEY_F6);
    keyboard.tap(KEY_A);
    finish(child);

    Child button = start({"--capture"});
    ASSERT_EQ(readLine(button, lineMs), "ready");
    mouse.tap(BTN_EXTRA);
    EXPECT_EQ(readLine(button, lineMs), "assign MouseForward");
    finish(button);
}

using Permission = Guest;

TEST_F(Permission, WithoutAReadableDeviceEveryModeSaysSo) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    setNodeAccess(0, 0600);
    const std::vector<std::string> modes[] = {
        {"--listen", "KeyA"}, {"--capture"}, {"--request-permission"}};
    for (const auto &arguments : modes) {
        SCOPED_TRACE(arguments[0]);
        expectOutcome(startAs(user, {}, arguments), "permission", 77);
    }
    expectOutcome(start({"--request-permission"}), "ready", 0);
}

TEST_F(Permission, MembershipOfTheNodesGroupGrantsIt) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    setNodeAccess(inputGroup, 0640);
    expectOutcome(startAs(user, {inputGroup}, {"--request-permission"}), "ready", 0);
    expectOutcome(startAs(user, {inputGroup + 1}, {"--request-permission"}), "permission", 77);

    Child child = startAs(user, {inputGroup}, {"--listen", "Space"});
    ASSERT_EQ(readLine(child, lineMs), "ready");
    keyboard.press(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "down");
    keyboard.release(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "up");
    // A new node is root's alone until the device manager hands it to the group.
    VirtualDevice late;
    ASSERT_NO_FATAL_FAILURE(plugIn(late, Kind::keyboard, "vm late keyboard"));
    ASSERT_EQ(chown(late.node.c_str(), 0, inputGroup), 0);
    ASSERT_EQ(chmod(late.node.c_str(), 0640), 0);
    ASSERT_TRUE(awaitWatchedBy(child, late.node));
    late.press(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "down");
    late.release(KEY_SPACE);
    EXPECT_EQ(readLine(child, lineMs), "up");
    finish(child);
}

using Backend = Guest;

TEST_F(Backend, IsChosenByTheSessionsVariables) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    const struct {
        const char *display; // nullptr: unset
        const char *wayland; // nullptr: unset
        bool devices;        // there is no X server here: only the devices give access
    } cases[] = {
        {nullptr, nullptr, true},  {"", nullptr, true}, {":0", nullptr, false},
        {":0", "wayland-0", true}, {":0", "", false},   {nullptr, "wayland-0", true},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(std::string("DISPLAY=") + (test.display ? test.display : "(unset)") +
                     " WAYLAND_DISPLAY=" + (test.wayland ? test.wayland : "(unset)"));
        std::vector<std::string> env;
        for (auto [name, value] :
             {std::pair{"DISPLAY", test.display}, std::pair{"WAYLAND_DISPLAY", test.wayland}}) {
            if (value == nullptr)
                unsetenv(name);
            else
                setenv(name, value, 1);
            env.push_back(value == nullptr ? std::string(name) : std::string(name) + "=" + value);
        }
        EXPECT_EQ(CGPreflightListenEventAccess(), test.devices);
        EXPECT_EQ(IOHIDRequestAccess(kIOHIDRequestTypeListenEvent), test.devices);
        expectOutcome(start({"--listen", "KeyA"}, env), test.devices ? "ready" : "permission",
                      test.devices ? 0 : 77);
    }
}

using Tap = Guest;

TEST_F(Tap, ButtonsAreNumberedAsTheXServerDoesAndLeftAndRightNeverCome) {
    VirtualDevice mouse;
    ASSERT_NO_FATAL_FAILURE(plugIn(mouse, Kind::mouse, "vm mouse"));
    ASSERT_NE(openTap(), nullptr);
    for (int code = BTN_LEFT; code <= BTN_TASK; ++code)
        mouse.tap(code);
    ASSERT_TRUE(awaitEvents(12));
    runLoopFor(0.1);
    ASSERT_EQ(seen.size(), 12u);
    for (int64_t button = 2; button <= 7; ++button) {
        SCOPED_TRACE("button " + std::to_string(button));
        const Seen &down = seen[2 * (button - 2)];
        const Seen &up = seen[2 * (button - 2) + 1];
        EXPECT_EQ(down.type, kCGEventOtherMouseDown);
        EXPECT_EQ(down.button, button);
        EXPECT_EQ(up.type, kCGEventOtherMouseUp);
        EXPECT_EQ(up.button, button);
    }
}

TEST_F(Tap, KeysCarryTheirCodesRepeatsAndTheWholeSessionsModifiers) {
    VirtualDevice typing, modifying;
    ASSERT_NO_FATAL_FAILURE(plugIn(typing, Kind::keyboard, "vm typing keyboard"));
    ASSERT_NO_FATAL_FAILURE(plugIn(modifying, Kind::keyboard, "vm modifier keyboard"));
    modifying.press(KEY_RIGHTCTRL); // down before the tap: seeded from the kernel's state
    modifying.send(EV_LED, LED_CAPSL, 1);
    ASSERT_NE(openTap(), nullptr);
    typing.press(KEY_A);
    typing.repeat(KEY_A);
    typing.release(KEY_A);
    modifying.release(KEY_RIGHTCTRL);
    modifying.send(EV_LED, LED_CAPSL, 0);
    modifying.press(KEY_LEFTSHIFT);
    modifying.repeat(KEY_LEFTSHIFT); // no event: a modifier that stays down changes nothing
    typing.tap(KEY_SPACE);
    modifying.release(KEY_LEFTSHIFT);
    ASSERT_TRUE(awaitEvents(8));
    runLoopFor(0.1);
    const struct {
        CGEventType type;
        int64_t code;
        int64_t repeat;
        CGEventFlags flags;
    } expected[] = {
        {kCGEventKeyDown, macA, 0, kCGEventFlagMaskControl | kCGEventFlagMaskAlphaShift},
        {kCGEventKeyDown, macA, 1, kCGEventFlagMaskControl | kCGEventFlagMaskAlphaShift},
        {kCGEventKeyUp, macA, 0, kCGEventFlagMaskControl | kCGEventFlagMaskAlphaShift},
        {kCGEventFlagsChanged, 0x3E, 0, kCGEventFlagMaskAlphaShift},
        {kCGEventFlagsChanged, 0x38, 0, kCGEventFlagMaskShift},
        {kCGEventKeyDown, macSpace, 0, kCGEventFlagMaskShift},
        {kCGEventKeyUp, macSpace, 0, kCGEventFlagMaskShift},
        {kCGEventFlagsChanged, 0x38, 0, 0},
    };
    ASSERT_EQ(seen.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(seen[i].type, expected[i].type);
        EXPECT_EQ(seen[i].code, expected[i].code);
        EXPECT_EQ(seen[i].repeat, expected[i].repeat);
        EXPECT_EQ(seen[i].flags, expected[i].flags);
    }
}

TEST_F(Tap, WhileDisabledNothingComesAndEnablingDeliversOnlyWhatFollows) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    ASSERT_NE(openTap(), nullptr);
    CGEventTapEnable(tap, false);
    keyboard.tap(KEY_B);
    keyboard.press(KEY_LEFTSHIFT);
    runLoopFor(0.1);
    EXPECT_TRUE(seen.empty());
    keyboard.tap(KEY_C); // read at the enabling, not delivered
    CGEventTapEnable(tap, true);
    keyboard.tap(KEY_A);
    ASSERT_TRUE(awaitEvents(2));
    runLoopFor(0.1);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].code, macA);
    EXPECT_EQ(seen[0].flags, kCGEventFlagMaskShift); // kept track of while disabled
    keyboard.release(KEY_LEFTSHIFT);
}

TEST_F(Tap, AnOverflowedDeviceIsCaughtUpFromTheKernelsState) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    ASSERT_NE(openTap(CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp)), nullptr);
    // Far more than the kernel keeps for a reader that is not reading: the run loop is not run.
    for (int i = 0; i < 400; ++i)
        keyboard.tap(KEY_B);
    keyboard.press(KEY_A);
    ASSERT_TRUE(awaitEvents(1));
    runLoopFor(0.5);
    EXPECT_LT(seen.size(), 800u) << "nothing was dropped: the test overflowed nothing";
    auto count = [](CGEventType type, int64_t code) {
        return std::count_if(seen.begin(), seen.end(), [&](const Seen &entry) {
            return entry.type == type && entry.code == code;
        });
    };
    EXPECT_EQ(count(kCGEventKeyDown, macA), 1);
    EXPECT_EQ(count(kCGEventKeyUp, macA), 0);
    // Every B that went down came up.
    EXPECT_EQ(count(kCGEventKeyDown, 0x0B), count(kCGEventKeyUp, 0x0B));
    size_t before = seen.size();
    keyboard.release(KEY_A);
    ASSERT_TRUE(awaitEvents(before + 1));
    EXPECT_EQ(seen.back().type, kCGEventKeyUp);
    EXPECT_EQ(seen.back().code, macA);
}

TEST_F(Tap, AskingTheStateTakesNoEventFromIt) {
    VirtualDevice keyboard;
    ASSERT_NO_FATAL_FAILURE(plugIn(keyboard, Kind::keyboard, "vm keyboard"));
    ASSERT_NE(openTap(), nullptr);
    // Asked while the tap has not read the events yet.
    keyboard.press(KEY_A);
    EXPECT_TRUE(CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, macA));
    keyboard.release(KEY_A);
    EXPECT_FALSE(CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, macA));
    ASSERT_TRUE(awaitEvents(2));
    EXPECT_EQ(seen[0].type, kCGEventKeyDown);
    EXPECT_EQ(seen[1].type, kCGEventKeyUp);
}

using State = Guest;

TEST_F(State, IsDownWhileAnyDeviceHoldsItWithOrWithoutATap) {
    VirtualDevice first, second, mouse;
    ASSERT_NO_FATAL_FAILURE(plugIn(first, Kind::keyboard, "vm first keyboard"));
    ASSERT_NO_FATAL_FAILURE(plugIn(second, Kind::keyboard, "vm second keyboard"));
    ASSERT_NO_FATAL_FAILURE(plugIn(mouse, Kind::mouse, "vm mouse"));
    auto keyDown = [] {
        return CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, macA);
    };
    auto buttonDown = [](uint32_t button) {
        return CGEventSourceButtonState(kCGEventSourceStateCombinedSessionState,
                                        static_cast<CGMouseButton>(button));
    };
    for (bool tapped : {false, true}) {
        SCOPED_TRACE(tapped ? "with a tap" : "with no tap");
        if (tapped) {
            ASSERT_NE(openTap(), nullptr);
        }
        EXPECT_FALSE(keyDown());
        first.press(KEY_A);
        EXPECT_TRUE(keyDown());
        second.press(KEY_A);
        first.release(KEY_A);
        EXPECT_TRUE(keyDown());
        second.release(KEY_A);
        EXPECT_FALSE(keyDown());
        const int codes[] = {BTN_LEFT,  BTN_RIGHT,   BTN_MIDDLE, BTN_SIDE,
                             BTN_EXTRA, BTN_FORWARD, BTN_BACK,   BTN_TASK};
        for (uint32_t button = 0; button < std::size(codes); ++button) {
            SCOPED_TRACE("button " + std::to_string(button));
            EXPECT_FALSE(buttonDown(button));
            mouse.press(codes[button]);
            EXPECT_TRUE(buttonDown(button));
            mouse.release(codes[button]);
            EXPECT_FALSE(buttonDown(button));
        }
        EXPECT_FALSE(buttonDown(8));
        closeTap();
    }
    // A device that goes with its key down reads up.
    VirtualDevice going;
    ASSERT_NO_FATAL_FAILURE(plugIn(going, Kind::keyboard, "vm keyboard that goes"));
    ASSERT_NE(openTap(), nullptr);
    going.press(KEY_A);
    EXPECT_TRUE(keyDown());
    going.unplug();
    EXPECT_FALSE(keyDown());
    closeTap();
    // Without access nothing is down, as without devices.
    first.press(KEY_A);
    EXPECT_TRUE(keyDown());
    Child child = forkChild([] {
        setgroups(0, nullptr);
        if (setgid(user) != 0 || setuid(user) != 0)
            return 2;
        return CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, macA) ? 1 : 0;
    });
    EXPECT_EQ(waitChild(child, lineMs), 0);
    first.release(KEY_A);
}

} // namespace

// "--as uid [group...] -- program arguments..." starts the program as that user, with only those
// groups; anything else runs the tests.
int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--as") == 0) {
        uid_t uid = static_cast<uid_t>(atoi(argv[2]));
        std::vector<gid_t> groups;
        int at = 3;
        for (; at < argc && strcmp(argv[at], "--") != 0; ++at)
            groups.push_back(static_cast<gid_t>(atoi(argv[at])));
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
            return 126;
        execv(argv[at + 1], argv + at + 1);
        return 127;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
