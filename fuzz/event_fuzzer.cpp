// The event path over arbitrary events: the input picks the mode and the selection, then a
// stream of events made with the platform's own calls (any type handed to the callback, any key
// code, auto-repeat value, button number and flags) and release polls. Every line the tap
// callback makes the tracker write is compared with the program's rules, worked out here again
// from the numbers the input chose, and the event must come back untouched.
#include "core/tracker.h"
#include "platform/input.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

struct Name {
    const char *name;
    uint16_t code;
};

// The names and their virtual key codes, written out again rather than taken from the program.
const Name keyCodes[] = {
    {"KeyA", 0x00},   {"KeyS", 0x01},   {"KeyD", 0x02},      {"KeyF", 0x03},   {"KeyH", 0x04},
    {"KeyG", 0x05},   {"KeyZ", 0x06},   {"KeyX", 0x07},      {"KeyC", 0x08},   {"KeyV", 0x09},
    {"KeyB", 0x0B},   {"KeyQ", 0x0C},   {"KeyW", 0x0D},      {"KeyE", 0x0E},   {"KeyR", 0x0F},
    {"KeyY", 0x10},   {"KeyT", 0x11},   {"Digit1", 0x12},    {"Digit2", 0x13}, {"Digit3", 0x14},
    {"Digit4", 0x15}, {"Digit6", 0x16}, {"Digit5", 0x17},    {"Digit9", 0x19}, {"Digit7", 0x1A},
    {"Digit8", 0x1C}, {"Digit0", 0x1D}, {"KeyO", 0x1F},      {"KeyU", 0x20},   {"KeyI", 0x22},
    {"KeyP", 0x23},   {"KeyL", 0x25},   {"KeyJ", 0x26},      {"KeyK", 0x28},   {"KeyN", 0x2D},
    {"KeyM", 0x2E},   {"Space", 0x31},  {"Backquote", 0x32}, {"F6", 0x61},     {"F7", 0x62},
    {"F8", 0x64},     {"F9", 0x65},     {"F11", 0x67},       {"F10", 0x6D},    {"F12", 0x6F},
};
const char *const buttonNames[] = {"MouseMiddle", "MouseBack", "MouseForward"}; // buttons 2 to 4
constexpr int keyNameCount = sizeof keyCodes / sizeof keyCodes[0];

const char *expectedKeyName(int64_t field) {
    auto code = static_cast<uint16_t>(field & 0xFFFF);
    for (const Name &key : keyCodes) {
        if (key.code == code)
            return key.name;
    }
    return nullptr;
}

const char *expectedButtonName(int64_t field) {
    return field >= 2 && field <= 4 ? buttonNames[field - 2] : nullptr;
}

[[noreturn]] void broken(const char *promise, const std::string &detail = "") {
    fprintf(stderr, "broken: %s %s\n", promise, detail.c_str());
    abort();
}

// Standard output goes into a pipe of ours, read after every call.
int caught = -1;

std::string drainOutput() {
    std::string text;
    char buffer[256];
    for (;;) {
        ssize_t count = read(caught, buffer, sizeof buffer);
        if (count > 0) {
            text.append(buffer, static_cast<size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        return text;
    }
}

// The input, read front to back; past its end every value is zero.
struct Bytes {
    const uint8_t *data;
    size_t size;
    uint8_t byte() {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }
    uint64_t raw() {
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            value = value << 8 | byte();
        return value;
    }
    // Mostly small numbers, where the codes and buttons are; small ones with any bits above
    // them, which must not pass for the small ones; -1; and any 64 bits.
    int64_t number() {
        uint8_t b = byte();
        if (b < 0x80)
            return b;
        if (b < 0xC0)
            return static_cast<int64_t>((raw() << 16) | (b & 0x3F));
        if (b == 0xC0)
            return -1;
        return static_cast<int64_t>(raw());
    }
};

const uint32_t types[] = {
    kCGEventKeyDown,
    kCGEventKeyUp,
    kCGEventOtherMouseDown,
    kCGEventOtherMouseUp,
    kCGEventFlagsChanged,
    kCGEventLeftMouseDown,
    kCGEventLeftMouseUp,
    kCGEventRightMouseDown,
    kCGEventRightMouseUp,
    kCGEventNull,
    kCGEventScrollWheel,
    kCGEventOtherMouseDragged,
    kCGEventTapDisabledByTimeout,
    kCGEventTapDisabledByUserInput,
};
constexpr unsigned typeCount = sizeof types / sizeof types[0];

const CGEventFlags flagBits[] = {
    kCGEventFlagMaskShift,       kCGEventFlagMaskControl,    kCGEventFlagMaskAlternate,
    kCGEventFlagMaskCommand,     kCGEventFlagMaskAlphaShift, kCGEventFlagMaskNumericPad,
    kCGEventFlagMaskSecondaryFn, kCGEventFlagMaskHelp,
};

// What the program must have made of the tracker so far.
struct Expected {
    bool capture;
    const char *selection;
    bool held;
    bool waitForRelease;
    bool assigned;
};

// The rules for one notification, written again from the program's description.
std::string expectNotification(Expected &e, const char *name, bool pressed, bool released,
                               bool modified, bool repeat) {
    if (name == nullptr)
        return "";
    if (e.capture) {
        if (e.assigned || !pressed || modified)
            return "";
        e.assigned = true;
        return std::string("assign ") + name + "\n";
    }
    if (strcmp(name, e.selection) != 0)
        return "";
    if (released) {
        e.waitForRelease = false;
        if (!e.held)
            return "";
        e.held = false;
        return "up\n";
    }
    if (!pressed || e.held || e.waitForRelease || repeat)
        return "";
    if (modified && strncmp(name, "Mouse", 5) != 0)
        return "";
    e.held = true;
    return "down\n";
}

struct Fields {
    uint32_t type;
    int64_t keycode, autorepeat, button;
    CGEventFlags flags;
};

Fields fieldsOf(CGEventRef event) {
    return {CGEventGetType(event), CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode),
            CGEventGetIntegerValueField(event, kCGKeyboardEventAutorepeat),
            CGEventGetIntegerValueField(event, kCGMouseEventButtonNumber), CGEventGetFlags(event)};
}

bool same(const Fields &a, const Fields &b) {
    return a.type == b.type && a.keycode == b.keycode && a.autorepeat == b.autorepeat &&
           a.button == b.button && a.flags == b.flags;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    int ends[2];
    if (pipe(ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0)
        abort();
    close(ends[1]);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    fcntl(ends[0], F_SETPIPE_SZ, 1 << 20);
    caught = ends[0];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (caught < 0)
        LLVMFuzzerInitialize(nullptr, nullptr);
    Bytes in{data, size};
    uint8_t setup = in.byte();
    static char selectionText[16];
    Expected e{};
    e.capture = (setup & 3) == 0;
    if (!e.capture) {
        unsigned index = in.byte() % (keyNameCount + 3);
        // The argument's own text, as the command line hands it over.
        snprintf(selectionText, sizeof selectionText, "%s",
                 index < keyNameCount ? keyCodes[index].name : buttonNames[index - keyNameCount]);
        e.selection = selectionText;
        e.waitForRelease = (setup & 4) != 0;
    }
    capture = e.capture;
    selection = e.selection;
    held = false;
    waitForRelease = e.waitForRelease;
    assigned = false;
    drainOutput();

    std::string written;
    int records = 0;
    while (in.size > 0 && records++ < 4096) {
        uint8_t op = in.byte();
        std::string expected;
        if ((op & 0x0F) == 0x0F) {
            // A tick of the release poll, as the listener's timer makes it.
            bool down = (op & 0x10) != 0;
            if (!e.capture && (e.held || e.waitForRelease)) {
                releaseIfMissing(down);
                if (e.held && !down) {
                    e.held = false;
                    expected = "up\n";
                } else if (!e.held && e.waitForRelease && !down) {
                    e.waitForRelease = false;
                }
            }
        } else {
            uint32_t type =
                (op & 0x0F) < typeCount ? types[op & 0x0F] : static_cast<uint32_t>(in.raw() >> 32);
            // Made as a key or as a mouse event, whatever type the callback is then told.
            Fields made{};
            CGEventRef event;
            if ((op & 0x10) != 0) {
                auto code = static_cast<CGKeyCode>(in.byte());
                event = CGEventCreateKeyboardEvent(nullptr, code, (op & 0x20) != 0);
                made.keycode = code;
            } else {
                auto button = static_cast<CGMouseButton>(in.byte() & 0x07);
                auto mouseType = static_cast<CGEventType>(types[in.byte() % typeCount]);
                event = CGEventCreateMouseEvent(nullptr, mouseType, CGPoint{0, 0}, button);
                made.button = button;
            }
            if (event == nullptr)
                broken("an event can be made");
            uint8_t set = in.byte();
            if (set & 1)
                CGEventSetIntegerValueField(event, kCGKeyboardEventKeycode,
                                            made.keycode = in.number());
            if (set & 2)
                CGEventSetIntegerValueField(event, kCGKeyboardEventAutorepeat,
                                            made.autorepeat = in.number());
            if (set & 4)
                CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber,
                                            made.button = in.number());
            if (set & 8) {
                uint8_t bits = in.byte();
                for (unsigned i = 0; i < 8; ++i) {
                    if (bits & (1u << i))
                        made.flags |= flagBits[i];
                }
                if (set & 16)
                    made.flags |= in.raw();
                CGEventSetFlags(event, made.flags);
            }

            if (type >= kCGEventTapDisabledByTimeout) {
                if (e.held) {
                    e.held = false;
                    expected = "up\n";
                }
            } else if (type == kCGEventKeyDown || type == kCGEventKeyUp ||
                       type == kCGEventOtherMouseDown || type == kCGEventOtherMouseUp) {
                bool key = type == kCGEventKeyDown || type == kCGEventKeyUp;
                bool pressed = type == kCGEventKeyDown || type == kCGEventOtherMouseDown;
                const char *name =
                    key ? expectedKeyName(made.keycode) : expectedButtonName(made.button);
                bool modified = (made.flags & 0x1E0000) != 0;
                bool repeat = type == kCGEventKeyDown && made.autorepeat != 0;
                expected = expectNotification(e, name, pressed, !pressed, modified, repeat);
            }

            Fields before = fieldsOf(event);
            CGEventRef returned = input(nullptr, static_cast<CGEventType>(type), event, nullptr);
            if (returned != event)
                broken("the callback returns the event it was given");
            if (!same(before, fieldsOf(event)))
                broken("the callback leaves the event unchanged");
            CFRelease(event);
        }

        std::string got = drainOutput();
        if (got != expected)
            broken("the lines follow the rules", "wrote \"" + got + "\", expected \"" + expected +
                                                     "\" at record " + std::to_string(records));
        if (held != e.held || waitForRelease != e.waitForRelease || assigned != e.assigned)
            broken("the tracker's state follows the rules");
        if (held && waitForRelease)
            broken("held and waitForRelease are never both true");
        written += got;
    }

    // What the host saw, whatever the rules above say.
    if (e.capture) {
        if (!written.empty() &&
            (written.rfind("assign ", 0) != 0 || written.find('\n') != written.size() - 1))
            broken("capture writes at most one assign line", written);
    } else {
        bool down = false;
        for (size_t at = 0; at < written.size();) {
            const char *want = down ? "up\n" : "down\n";
            size_t length = strlen(want);
            if (written.compare(at, length, want) != 0)
                broken("listen writes \"down\" and \"up\" by turns, \"down\" first", written);
            at += length;
            down = !down;
        }
    }
    held = waitForRelease = assigned = false;
    return 0;
}
