// The session tap's input from the kernel's event devices under /dev/input, for sessions where
// no X server shows the whole session's input (Wayland, the console). Every keyboard and mouse
// is read as it is, alongside the compositor or console that also reads it: a device is never
// grabbed, so nothing is taken away from anyone. Devices plugged in later are found through
// inotify on the directory; one epoll descriptor stands for them all in the run loop.
#include "sessiontap.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char inputDirectory[] = "/dev/input";
constexpr int eventsPerRead = 64;     // one read takes this many events at most
constexpr int readyPerWait = 64;      // descriptors read per pass; the rest wait for the next
constexpr int eventsPerServe = 1024;  // events handled per pass; the rest wait for the next
constexpr int keyBytes = KEY_CNT / 8; // EVIOCGKEY's answer
constexpr int ledBytes = (LED_CNT + 7) / 8;

static_assert(compatInputCodeLimit == KEY_CNT, "the held keys cover every kernel key code");

using KeyBits = std::bitset<compatInputCodeLimit>;

struct Device {
    int fd;         // the tap's reader
    int query;      // a second reader, for state questions, that is never read (see askDown)
    dev_t number;   // the node's device number, so that no device is opened twice
    KeyBits down;   // as its events have told
    bool capsLight; // its Caps Lock light is on
    bool dropping;  // the kernel's buffer overflowed: skip to the next report, then ask anew
    bool full;      // the last read filled the queue: the kernel may hold more
    int queued;     // events read into the queue
    int next;       // the first of them not yet handled
    input_event queue[eventsPerRead];
};

struct DeviceTap : CompatSessionTap {
    CFMachPortRef port = nullptr;
    int poller = -1;         // epoll over the devices and the directory watch
    int watch = -1;          // inotify on the directory, or -1 when it could not be had
    int64_t deliverFrom = 0; // microseconds: events stamped earlier are kept track of only
    std::vector<Device> devices;
};

// Every live tap, so that state queries can ask devices that are open already.
std::vector<DeviceTap *> taps;

DeviceTap *tapOf(CFMachPortRef port) {
    return static_cast<DeviceTap *>(static_cast<CompatSessionTap *>(port->backend));
}

bool bitSet(const uint8_t *bits, int bytes, int index) {
    return index >= 0 && index / 8 < bytes && (bits[index / 8] & (1u << (index % 8))) != 0;
}

bool isNodeName(const char *name) {
    return strncmp(name, "event", 5) == 0;
}

// Keyboards report a key below the first button code; mice, one of the mouse buttons. Joysticks,
// tablets and touch screens have neither and are left alone.
bool isKeyboardOrMouse(int fd) {
    uint8_t types[(EV_CNT + 7) / 8] = {};
    uint8_t keys[keyBytes] = {};
    if (ioctl(fd, EVIOCGBIT(0, sizeof types), types) < 0 || !bitSet(types, sizeof types, EV_KEY))
        return false;
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0)
        return false;
    for (int code = KEY_ESC; code < BTN_MISC; ++code) {
        if (bitSet(keys, keyBytes, code))
            return true;
    }
    for (int code = BTN_LEFT; code <= BTN_TASK; ++code) {
        if (bitSet(keys, keyBytes, code))
            return true;
    }
    return false;
}

int openNode(const char *name) {
    char path[sizeof inputDirectory + NAME_MAX + 1];
    snprintf(path, sizeof path, "%s/%s", inputDirectory, name);
    return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// A keyboard or mouse under the directory, opened for reading, or -1.
int openDevice(const char *name) {
    int fd = openNode(name);
    if (fd < 0)
        return -1;
    // Stamps comparable across devices and with the enabling. Asked for at once, since the
    // kernel throws away what was queued before.
    int clock = CLOCK_MONOTONIC;
    ioctl(fd, EVIOCSCLOCKID, &clock);
    if (!isKeyboardOrMouse(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Calls visit with the name of each keyboard or mouse that can be opened now and its descriptor,
// which it owns from then on; visit returns false to stop.
template <typename Visit>
void forEachOpenable(Visit visit) {
    DIR *directory = opendir(inputDirectory);
    if (directory == nullptr)
        return;
    while (const dirent *entry = readdir(directory)) {
        if (!isNodeName(entry->d_name))
            continue;
        int fd = openDevice(entry->d_name);
        if (fd >= 0 && !visit(entry->d_name, fd))
            break;
    }
    closedir(directory);
}

// The platform's numbers of the other mouse buttons, the same that the X tap gives for an X
// server's numbers of them (2, and 8 to 12). The left and right buttons (0 and 1) are never
// delivered: the platform reports them as events of other types, which the layer does not make.
int64_t platformButton(int code) {
    switch (code) {
    case BTN_MIDDLE:
        return 2;
    case BTN_SIDE:
        return 3;
    case BTN_EXTRA:
        return 4;
    case BTN_FORWARD:
        return 5;
    case BTN_BACK:
        return 6;
    case BTN_TASK:
        return 7;
    default:
        return -1;
    }
}

// The reverse, with the left and right buttons, for state queries.
int buttonCode(uint32_t button) {
    static constexpr int codes[] = {BTN_LEFT,  BTN_RIGHT,   BTN_MIDDLE, BTN_SIDE,
                                    BTN_EXTRA, BTN_FORWARD, BTN_BACK,   BTN_TASK};
    return button < std::size(codes) ? codes[button] : -1;
}

// Codes in the button ranges are buttons of some device, not keys.
bool isKey(int code) {
    return code > KEY_RESERVED && (code < BTN_MISC || (code >= KEY_OK && code < BTN_DPAD_UP) ||
                                   (code > BTN_DPAD_RIGHT && code < BTN_TRIGGER_HAPPY));
}

Device *deviceOf(DeviceTap *tap, int fd) {
    for (Device &device : tap->devices) {
        if (device.fd == fd)
            return &device;
    }
    return nullptr;
}

bool downAnywhere(const DeviceTap *tap, int code) {
    return std::any_of(tap->devices.begin(), tap->devices.end(),
                       [code](const Device &device) { return device.down[code]; });
}

// The session's view is the union of the devices: a modifier down on one keyboard modifies a key
// on another, and a Caps Lock light on any keyboard means locked.
void gatherState(DeviceTap *tap) {
    tap->held.reset();
    tap->capsLocked = false;
    for (const Device &device : tap->devices) {
        tap->held |= device.down;
        tap->capsLocked = tap->capsLocked || device.capsLight;
    }
}

void readKeys(int fd, KeyBits &down) {
    uint8_t keys[keyBytes] = {};
    if (ioctl(fd, EVIOCGKEY(sizeof keys), keys) < 0)
        return; // gone: its read says so soon
    down.reset();
    for (int code = 0; code < compatInputCodeLimit; ++code) {
        if (bitSet(keys, keyBytes, code))
            down[code] = true;
    }
}

bool readCapsLight(int fd) {
    uint8_t leds[ledBytes] = {};
    return ioctl(fd, EVIOCGLED(sizeof leds), leds) >= 0 && bitSet(leds, ledBytes, LED_CAPSL);
}

// The kernel stamps each event on the monotonic clock (asked for when a device is opened).
int64_t microseconds(const input_event &event) {
    return static_cast<int64_t>(event.input_event_sec) * 1000000 + event.input_event_usec;
}

int64_t monotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void deliverChange(DeviceTap *tap, int code, bool pressed, bool repeat) {
    if (isKey(code)) {
        compatDeliverKey(tap, code, pressed, repeat);
        return;
    }
    int64_t button = platformButton(code);
    if (button >= 0 && !repeat)
        compatReportButton(tap, button, pressed);
}

void changeKey(DeviceTap *tap, Device &device, int code, bool pressed, bool delivered) {
    device.down[code] = pressed;
    tap->held[code] = downAnywhere(tap, code);
    if (delivered)
        deliverChange(tap, code, pressed, false);
}

// After an overflow the kernel's state is the truth: what changed meanwhile is delivered as if
// it had been read. The device is looked up again after each callback.
void resynchronise(DeviceTap *tap, int fd, bool delivered) {
    Device *device = deviceOf(tap, fd);
    // The answer covers what is queued here too; asking throws away the kernel's queued keys.
    device->next = device->queued;
    KeyBits now = device->down;
    readKeys(fd, now);
    device->capsLight = readCapsLight(fd);
    gatherState(tap);
    for (int code = 0; code < compatInputCodeLimit && device != nullptr; ++code) {
        if (now[code] != device->down[code]) {
            changeKey(tap, *device, code, now[code], delivered);
            device = deviceOf(tap, fd);
        }
    }
}

void handleEvent(DeviceTap *tap, int fd, const input_event &event) {
    Device *device = deviceOf(tap, fd);
    bool delivered = microseconds(event) >= tap->deliverFrom;
    if (device->dropping) {
        if (event.type == EV_SYN && event.code == SYN_REPORT) {
            device->dropping = false;
            resynchronise(tap, fd, delivered);
        }
        return;
    }
    switch (event.type) {
    case EV_SYN:
        device->dropping = event.code == SYN_DROPPED;
        break;
    case EV_KEY:
        if (event.code >= compatInputCodeLimit)
            break;
        // An auto-repeat changes no state; the kernel passes it on whether the key is down or not.
        if (event.value == 2 && delivered)
            deliverChange(tap, event.code, true, true);
        else if (event.value != 2 && (event.value != 0) != device->down[event.code])
            changeKey(tap, *device, event.code, event.value != 0, delivered);
        break;
    case EV_LED:
        if (event.code == LED_CAPSL) {
            device->capsLight = event.value != 0;
            gatherState(tap);
        }
        break;
    default:
        break;
    }
}

void removeDevice(DeviceTap *tap, int fd) {
    auto at = std::find_if(tap->devices.begin(), tap->devices.end(),
                           [fd](const Device &device) { return device.fd == fd; });
    if (at == tap->devices.end())
        return;
    epoll_ctl(tap->poller, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    close(at->query);
    tap->devices.erase(at);
    gatherState(tap); // what it held is held no longer
}

// Reads the next batch into the device's queue, which has been handled. A device that has gone
// (ENODEV) is closed.
void fillQueue(DeviceTap *tap, Device &device) {
    ssize_t count = read(device.fd, device.queue, sizeof device.queue);
    device.next = 0;
    device.queued =
        count > 0 ? static_cast<int>(static_cast<size_t>(count) / sizeof(input_event)) : 0;
    device.full = device.queued == eventsPerRead;
    if (count < 0 && errno != EAGAIN && errno != EINTR)
        removeDevice(tap, device.fd);
}

bool hasQueued(const Device &device) {
    return device.next < device.queued;
}

// The queued events of all the devices, oldest first: a modifier released on one keyboard is
// released before a key pressed after it on another. A queue that a full read left is refilled
// as soon as it is handled, since the kernel's next events may be older than others queued here.
void handleQueued(DeviceTap *tap) {
    for (int handled = 0; handled < eventsPerServe; ++handled) {
        Device *oldest = nullptr;
        for (Device &device : tap->devices) {
            if (hasQueued(device) &&
                (oldest == nullptr || microseconds(device.queue[device.next]) <
                                          microseconds(oldest->queue[oldest->next])))
                oldest = &device;
        }
        if (oldest == nullptr)
            return;
        int fd = oldest->fd;
        input_event event = oldest->queue[oldest->next++];
        bool more = !hasQueued(*oldest) && oldest->full;
        handleEvent(tap, fd, event);
        Device *device = deviceOf(tap, fd);
        if (more && device != nullptr && !hasQueued(*device))
            fillQueue(tap, *device);
    }
}

// The same device once more, as a reader that the kernel gives no events (where it can filter
// them), or -1.
int openQuery(const char *name, dev_t number) {
    int query = openNode(name);
    struct stat node {};
    if (query >= 0 && (fstat(query, &node) != 0 || node.st_rdev != number)) {
        close(query);
        return -1;
    }
    uint8_t noTypes[(EV_CNT + 7) / 8] = {};
    input_mask mask{0, sizeof noTypes, reinterpret_cast<uintptr_t>(noTypes)};
    if (query >= 0)
        ioctl(query, EVIOCSMASK, &mask);
    return query;
}

// A new device starts with what it has down now; nothing is delivered for it.
void addDevice(DeviceTap *tap, const char *name, int fd) {
    struct stat node {};
    if (fstat(fd, &node) != 0) {
        close(fd);
        return;
    }
    auto same =
        std::find_if(tap->devices.begin(), tap->devices.end(),
                     [&node](const Device &device) { return device.number == node.st_rdev; });
    if (same != tap->devices.end()) {
        // The same device again, or a new one under the number of one that has just gone.
        int version = 0;
        if (ioctl(same->fd, EVIOCGVERSION, &version) >= 0) {
            close(fd);
            return;
        }
        removeDevice(tap, same->fd);
    }
    int query = openQuery(name, node.st_rdev);
    if (query < 0) {
        close(fd);
        return;
    }
    tap->devices.push_back(Device{fd, query, node.st_rdev, {}, false, false, false, 0, 0, {}});
    Device &device = tap->devices.back();
    readKeys(fd, device.down);
    device.capsLight = readCapsLight(fd);
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.fd = fd;
    if (epoll_ctl(tap->poller, EPOLL_CTL_ADD, fd, &interest) != 0) {
        tap->devices.pop_back();
        close(fd);
        close(query);
        return;
    }
    gatherState(tap);
}

void addAllDevices(DeviceTap *tap) {
    forEachOpenable([tap](const char *name, int fd) {
        addDevice(tap, name, fd);
        return true;
    });
}

// New nodes, and nodes whose permissions changed (a device manager grants access only after
// the node is made), are tried; nodes that go are noticed by their reads.
void readWatch(DeviceTap *tap) {
    alignas(inotify_event) char buffer[4096];
    ssize_t count = read(tap->watch, buffer, sizeof buffer);
    for (ssize_t at = 0; count > 0 && at < count;) {
        const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
        at += static_cast<ssize_t>(sizeof *event + event->len);
        if ((event->mask & IN_Q_OVERFLOW) != 0) {
            addAllDevices(tap);
        } else if (event->len > 0 && isNodeName(event->name)) {
            int fd = openDevice(event->name);
            if (fd >= 0)
                addDevice(tap, event->name, fd);
        }
    }
}

int tapDescriptor(CFMachPortRef port) {
    return tapOf(port)->poller;
}

// Events read and not yet handled: a pass stops after eventsPerServe, so that the loop's other
// sources get their turn.
bool tapPending(CFMachPortRef port) {
    const std::vector<Device> &devices = tapOf(port)->devices;
    return std::any_of(devices.begin(), devices.end(), hasQueued);
}

void serveTap(CFMachPortRef port) {
    DeviceTap *tap = tapOf(port);
    epoll_event ready[readyPerWait];
    int count = epoll_wait(tap->poller, ready, readyPerWait, 0);
    bool watched = false;
    for (int i = 0; i < count; ++i) {
        Device *device = deviceOf(tap, ready[i].data.fd);
        if (ready[i].data.fd == tap->watch)
            watched = true;
        else if (device != nullptr && !hasQueued(*device))
            fillQueue(tap, *device);
    }
    handleQueued(tap);
    // New nodes after the reads, which close a device that has gone before a new one may take
    // its number.
    if (watched)
        readWatch(tap);
}

void freeTap(DeviceTap *tap) {
    for (const Device &device : tap->devices) {
        close(device.fd);
        close(device.query);
    }
    if (tap->watch >= 0)
        close(tap->watch);
    if (tap->poller >= 0)
        close(tap->poller);
    delete tap;
}

void closeTap(CFMachPortRef port) {
    DeviceTap *tap = tapOf(port);
    taps.erase(std::remove(taps.begin(), taps.end(), tap), taps.end());
    freeTap(tap);
}

const CompatPortOps tapOps = {tapDescriptor, tapPending, nullptr, serveTap, closeTap};

// Enabling delivers only what happens after it. While disabled the tap reads on, and keeps
// track of what is held, without delivering.
void enableTap(CompatSessionTap *session, bool enable) {
    auto *tap = static_cast<DeviceTap *>(session);
    if (enable && !tap->enabled)
        tap->deliverFrom = monotonicMicroseconds();
    tap->enabled = enable;
}

// Down on any of the open keyboards and mice: those of a tap when there is one, otherwise each
// that can be opened now, for this question only. A device that has gone answers up. The tap's
// devices are asked through their second readers: the kernel answers EVIOCGKEY by throwing away
// the key events queued for the reader that asks, which the tap has yet to read.
bool askDown(int code) {
    uint8_t keys[keyBytes];
    auto downOn = [&keys, code](int fd) {
        memset(keys, 0, sizeof keys);
        return ioctl(fd, EVIOCGKEY(sizeof keys), keys) >= 0 && bitSet(keys, keyBytes, code);
    };
    if (!taps.empty()) {
        const std::vector<Device> &devices = taps.front()->devices;
        return std::any_of(devices.begin(), devices.end(),
                           [&downOn](const Device &device) { return downOn(device.query); });
    }
    bool down = false;
    forEachOpenable([&down, &downOn](const char *, int fd) {
        down = downOn(fd);
        close(fd);
        return !down;
    });
    return down;
}

} // namespace

bool compatDeviceListenAccess() {
    bool readable = false;
    forEachOpenable([&readable](const char *, int fd) {
        close(fd);
        readable = true;
        return false;
    });
    return readable;
}

CFMachPortRef compatCreateDeviceTap(CGEventMask mask, CGEventTapCallBack callback, void *userInfo) {
    auto *tap = new DeviceTap;
    compatInitSessionTap(tap, mask, callback, userInfo);
    tap->enable = enableTap;
    tap->poller = epoll_create1(EPOLL_CLOEXEC);
    if (tap->poller < 0) {
        freeTap(tap);
        return nullptr;
    }
    // Watched before the first look, so that a device plugged in meanwhile is not missed. Without
    // a watch (the user's inotify limits are used up) the devices there now are still read.
    tap->watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (tap->watch >= 0 &&
        inotify_add_watch(tap->watch, inputDirectory, IN_CREATE | IN_ATTRIB | IN_MOVED_TO) >= 0) {
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.fd = tap->watch;
        epoll_ctl(tap->poller, EPOLL_CTL_ADD, tap->watch, &interest);
    } else if (tap->watch >= 0) {
        close(tap->watch);
        tap->watch = -1;
    }
    addAllDevices(tap);
    if (tap->devices.empty()) {
        freeTap(tap);
        return nullptr;
    }
    tap->port = compatCreateMachPort(&tapOps, static_cast<CompatSessionTap *>(tap));
    taps.push_back(tap);
    return tap->port;
}

bool compatDeviceKeyDown(int inputCode) {
    return inputCode > KEY_RESERVED && inputCode < compatInputCodeLimit && askDown(inputCode);
}

bool compatDeviceButtonDown(uint32_t button) {
    int code = buttonCode(button);
    return code >= 0 && askDown(code);
}
