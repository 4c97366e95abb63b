// The session tap's input from the X server named by DISPLAY: XInput 2 raw key and button events,
// which reach a client whichever window has the focus and whatever grabs are active, and the
// server's own state of keys and buttons.
#include "sessiontap.h"

#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double setupTime = 1.0;      // to connect when a tap is made or access is asked
constexpr double reconnectTime = 0.25; // to connect again from within the run loop
constexpr double retryInterval = 1.0;  // between attempts while the server is away
constexpr double queryTime = 0.02;     // for the state of a key or button
constexpr int keycodeOffset = 8;       // X keycodes are the kernel's codes plus 8

enum class Reach {
    answered,
    refused,   // no server, no XInput 2.2, or the connection broke
    unanswered // the server is there but did not answer in time
};

struct Connection {
    xcb_connection_t *xcb = nullptr;
    xcb_window_t root = XCB_NONE;
    uint8_t inputOpcode = 0;
    xcb_input_device_id_t pointer = 0; // the master pointer whose buttons are asked
    bool awaiting = false;             // a state query that the server has not answered yet
    unsigned awaited = 0;
};

struct XTap : CompatSessionTap {
    CFMachPortRef port = nullptr;
    Connection connection;    // xcb is nullptr while the server cannot be reached
    double nextAttempt = 0;   // to connect again, while enabled and away
    std::bitset<256> buttons; // X buttons down, as `held` keeps the keys
    // Events taken from XCB and not yet handled, oldest first: to answer `pending`, and to answer
    // a state query without a round trip. Fixed, so that reading ahead allocates nothing.
    std::array<xcb_generic_event_t *, 64> unread{};
    size_t firstUnread = 0, unreadCount = 0;
    // False once the tap has taken all XCB had; a query over the connection, or a read-ahead that
    // did not fit, may leave events in XCB's queue, where the descriptor no longer shows them.
    bool xcbMayQueue = false;
};

// Every live tap, so that state queries can use a connection that is already open.
std::vector<XTap *> taps;

XTap *tapOf(CFMachPortRef port) {
    return static_cast<XTap *>(static_cast<CompatSessionTap *>(port->backend));
}

void closeConnection(Connection &connection) {
    if (connection.xcb != nullptr)
        xcb_disconnect(connection.xcb);
    connection = Connection{};
}

// Reads what the server sends until the reply (or error) for this request is in, the deadline
// passes or the connection breaks. Events read on the way stay in XCB's queue.
Reach awaitReply(xcb_connection_t *xcb, unsigned sequence, double deadline, void **reply) {
    *reply = nullptr;
    xcb_flush(xcb);
    for (;;) {
        xcb_generic_error_t *error = nullptr;
        if (xcb_poll_for_reply(xcb, sequence, reply, &error) != 0) {
            free(error);
            return xcb_connection_has_error(xcb) ? Reach::refused : Reach::answered;
        }
        if (xcb_connection_has_error(xcb))
            return Reach::refused;
        double left = deadline - compatMonotonicNow();
        if (left <= 0)
            return Reach::unanswered;
        pollfd ready{xcb_get_file_descriptor(xcb), POLLIN, 0};
        poll(&ready, 1, static_cast<int>(compatRoundUp(left * 1000)));
    }
}

// Once the server has answered a request sent after all the others, every earlier reply is in
// XCB's hands and the ordinary reply calls return without waiting.
Reach syncWithin(xcb_connection_t *xcb, double deadline) {
    void *reply = nullptr;
    Reach reach = awaitReply(xcb, xcb_get_input_focus(xcb).sequence, deadline, &reply);
    if (reach == Reach::answered && reply == nullptr)
        reach = Reach::refused;
    free(reply);
    return reach;
}

int connectLocal(int display) {
    // Linux servers listen on an abstract socket as well as on the file.
    for (bool abstract : {true, false}) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        char *path = address.sun_path + (abstract ? 1 : 0);
        int length = snprintf(path, sizeof address.sun_path - 1, "/tmp/.X11-unix/X%d", display);
        auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + (abstract ? 1 : 0) +
                                           length + (abstract ? 0 : 1));
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return -1;
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), size) == 0)
            return fd;
        int failure = errno;
        close(fd);
        if (failure == EAGAIN)
            return -2; // a full backlog: the server is not accepting
    }
    return -1;
}

// A stopped server still accepts connections but never answers them, and xcb_connect would
// wait for it for ever. So ask for a connection set-up by hand first, with a deadline: any
// answer, even a refusal, shows that the server is running. Remote displays are not probed.
Reach probeServer(double deadline) {
    char *host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, nullptr) == 0)
        return Reach::refused;
    bool local = host[0] == '\0' || strcmp(host, "unix") == 0;
    free(host);
    if (!local)
        return Reach::answered;
    int fd = connectLocal(display);
    if (fd == -2)
        return Reach::unanswered;
    if (fd < 0)
        return Reach::refused;
    // Little-endian, protocol 11.0, no authorisation.
    const uint8_t setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Reach reach = Reach::unanswered;
    if (send(fd, setup, sizeof setup, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof setup))
        reach = Reach::refused;
    while (reach == Reach::unanswered) {
        double left = deadline - compatMonotonicNow();
        if (left <= 0)
            break;
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(compatRoundUp(left * 1000))) <= 0)
            continue;
        uint8_t status = 0;
        ssize_t count = recv(fd, &status, 1, 0);
        if (count > 0)
            reach = Reach::answered;
        else if (count == 0 || errno != EAGAIN)
            reach = Reach::refused;
    }
    close(fd);
    return reach;
}

xcb_window_t rootOf(xcb_connection_t *xcb, int screen) {
    xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(xcb));
    for (int skipped = 0; skipped < screen && roots.rem > 0; ++skipped)
        xcb_screen_next(&roots);
    return roots.rem > 0 ? roots.data->root : XCB_NONE;
}

// The pointer the server gives this client, as core requests would use it. Until something
// makes the server choose, it has none, and then chooses the first master pointer.
xcb_input_device_id_t pointerOf(const xcb_input_xi_get_client_pointer_reply_t *client,
                                const xcb_input_xi_query_device_reply_t *masters) {
    if (client != nullptr && client->set != 0 && client->deviceid != 0)
        return client->deviceid;
    if (masters == nullptr)
        return 0;
    for (auto devices = xcb_input_xi_query_device_infos_iterator(masters); devices.rem > 0;
         xcb_input_xi_device_info_next(&devices)) {
        if (devices.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER)
            return devices.data->deviceid;
    }
    return 0;
}

// Connects and makes sure of XInput 2.2, within the deadline.
Reach openConnection(Connection &connection, double deadline) {
    Reach reach = probeServer(deadline);
    if (reach != Reach::answered)
        return reach;
    int screen = 0;
    connection.xcb = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(connection.xcb)) {
        closeConnection(connection);
        return Reach::refused;
    }
    connection.root = rootOf(connection.xcb, screen);

    xcb_prefetch_extension_data(connection.xcb, &xcb_input_id);
    reach = syncWithin(connection.xcb, deadline);
    const xcb_query_extension_reply_t *extension =
        reach == Reach::answered ? xcb_get_extension_data(connection.xcb, &xcb_input_id) : nullptr;
    if (reach == Reach::answered && (extension == nullptr || !extension->present))
        reach = Reach::refused;
    if (reach != Reach::answered) {
        closeConnection(connection);
        return reach;
    }
    connection.inputOpcode = extension->major_opcode;

    auto version = xcb_input_xi_query_version(connection.xcb, 2, 2);
    auto client = xcb_input_xi_get_client_pointer(connection.xcb, XCB_NONE);
    auto masters = xcb_input_xi_query_device(connection.xcb, XCB_INPUT_DEVICE_ALL_MASTER);
    reach = syncWithin(connection.xcb, deadline);
    xcb_input_xi_query_version_reply_t *versionReply = nullptr;
    xcb_input_xi_get_client_pointer_reply_t *clientReply = nullptr;
    xcb_input_xi_query_device_reply_t *mastersReply = nullptr;
    if (reach == Reach::answered) {
        versionReply = xcb_input_xi_query_version_reply(connection.xcb, version, nullptr);
        clientReply = xcb_input_xi_get_client_pointer_reply(connection.xcb, client, nullptr);
        mastersReply = xcb_input_xi_query_device_reply(connection.xcb, masters, nullptr);
        bool recent = versionReply != nullptr &&
                      (versionReply->major_version > 2 ||
                       (versionReply->major_version == 2 && versionReply->minor_version >= 2));
        connection.pointer = pointerOf(clientReply, mastersReply);
        if (!recent || connection.pointer == 0)
            reach = Reach::refused;
    }
    free(versionReply);
    free(clientReply);
    free(mastersReply);
    if (reach != Reach::answered)
        closeConnection(connection);
    return reach;
}

bool bitSet(const uint8_t *bits, size_t bytes, unsigned index) {
    return index / 8 < bytes && (bits[index / 8] & (1u << (index % 8))) != 0;
}

// Connects the tap: what is held now, then raw events from every master device on the root
// window. Both go in one batch, so no event falls between the snapshot and the selection.
Reach attachTap(XTap *tap, double deadline) {
    Connection connection;
    Reach reach = openConnection(connection, deadline);
    if (reach != Reach::answered)
        return reach;
    xcb_connection_t *xcb = connection.xcb;
    auto keymap = xcb_query_keymap(xcb);
    auto pointer = xcb_input_xi_query_pointer(xcb, connection.root, connection.pointer);
    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
                XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE |
                    XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS |
                    XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE};
    auto select = xcb_input_xi_select_events_checked(xcb, connection.root, 1, &selection.head);
    reach = syncWithin(xcb, deadline);
    if (reach != Reach::answered) {
        closeConnection(connection);
        return reach;
    }
    xcb_generic_error_t *error = xcb_request_check(xcb, select);
    xcb_query_keymap_reply_t *keys = xcb_query_keymap_reply(xcb, keymap, nullptr);
    xcb_input_xi_query_pointer_reply_t *modifiers =
        xcb_input_xi_query_pointer_reply(xcb, pointer, nullptr);
    if (error == nullptr && keys != nullptr && modifiers != nullptr) {
        tap->held.reset();
        for (unsigned keycode = keycodeOffset; keycode < 256; ++keycode) {
            if (bitSet(keys->keys, sizeof keys->keys, keycode))
                tap->held[keycode - keycodeOffset] = true;
        }
        tap->capsLocked = (modifiers->mods.locked & XCB_MOD_MASK_LOCK) != 0;
        auto *buttons =
            reinterpret_cast<const uint8_t *>(xcb_input_xi_query_pointer_buttons(modifiers));
        auto bytes = static_cast<size_t>(xcb_input_xi_query_pointer_buttons_length(modifiers)) *
                     sizeof(uint32_t);
        tap->buttons.reset();
        for (unsigned button = 1; button < tap->buttons.size(); ++button)
            tap->buttons[button] = bitSet(buttons, bytes, button);
        tap->connection = connection;
        tap->xcbMayQueue = true; // events may have come in ahead of the replies
    } else {
        closeConnection(connection);
        reach = Reach::refused;
    }
    free(error);
    free(keys);
    free(modifiers);
    return reach;
}

void attachOrWait(XTap *tap, double time) {
    if (attachTap(tap, compatMonotonicNow() + time) != Reach::answered)
        tap->nextAttempt = compatMonotonicNow() + retryInterval;
}

// The unread event `index` places after the oldest.
xcb_generic_event_t *&unreadAt(XTap *tap, size_t index) {
    return tap->unread[(tap->firstUnread + index) % tap->unread.size()];
}

xcb_generic_event_t *takeUnread(XTap *tap) {
    if (tap->unreadCount == 0)
        return nullptr;
    xcb_generic_event_t *event = unreadAt(tap, 0);
    tap->firstUnread = (tap->firstUnread + 1) % tap->unread.size();
    --tap->unreadCount;
    return event;
}

// Moves what XCB has, queued or readable without waiting, behind the tap's unread events; true
// when all of it fit. Reads the socket only when `fromSocket`.
bool readAhead(XTap *tap, bool fromSocket) {
    xcb_connection_t *xcb = tap->connection.xcb;
    while (tap->unreadCount < tap->unread.size()) {
        xcb_generic_event_t *event =
            fromSocket ? xcb_poll_for_event(xcb) : xcb_poll_for_queued_event(xcb);
        if (event == nullptr) {
            tap->xcbMayQueue = false;
            return true;
        }
        unreadAt(tap, tap->unreadCount++) = event;
    }
    tap->xcbMayQueue = true;
    return false;
}

void detachTap(XTap *tap) {
    while (tap->unreadCount > 0)
        free(takeUnread(tap));
    closeConnection(tap->connection);
}

// X buttons 1 and 3 are the left and right buttons and 4 to 7 the wheel: none of them is one of
// the platform's other buttons. 8 and 9 are back and forward, the platform's 3 and 4.
int64_t platformButton(uint32_t button) {
    if (button == 2)
        return 2;
    if (button >= 8)
        return button - 5;
    return -1;
}

// A raw key or button event from the tap's selection: its X keycode or button, and whether it
// went down.
bool readRaw(const XTap *tap, const xcb_generic_event_t *event, bool *key, unsigned *code,
             bool *pressed) {
    if ((event->response_type & 0x7F) != XCB_GE_GENERIC)
        return false;
    auto *generic = reinterpret_cast<const xcb_ge_generic_event_t *>(event);
    if (generic->extension != tap->connection.inputOpcode)
        return false;
    // Raw key and button events share one layout.
    auto *raw = reinterpret_cast<const xcb_input_raw_key_press_event_t *>(event);
    switch (generic->event_type) {
    case XCB_INPUT_RAW_KEY_PRESS:
    case XCB_INPUT_RAW_KEY_RELEASE:
        *key = true;
        break;
    case XCB_INPUT_RAW_BUTTON_PRESS:
    case XCB_INPUT_RAW_BUTTON_RELEASE:
        *key = false;
        break;
    default:
        return false;
    }
    *code = raw->detail;
    *pressed = generic->event_type == XCB_INPUT_RAW_KEY_PRESS ||
               generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS;
    return true;
}

void handleEvent(XTap *tap, const xcb_generic_event_t *event) {
    bool key = false, pressed = false;
    unsigned code = 0;
    if (!readRaw(tap, event, &key, &code, &pressed))
        return;
    if (key) {
        compatReportKey(tap, static_cast<int>(code) - keycodeOffset, pressed);
        return;
    }
    if (code < tap->buttons.size())
        tap->buttons[code] = pressed;
    int64_t button = platformButton(code);
    if (button >= 0)
        compatReportButton(tap, button, pressed);
}

// Everything XCB has, or can read without waiting.
void drainEvents(XTap *tap) {
    for (;;) {
        xcb_generic_event_t *event = takeUnread(tap);
        if (event == nullptr)
            event = xcb_poll_for_event(tap->connection.xcb);
        if (event == nullptr) {
            tap->xcbMayQueue = false;
            return;
        }
        handleEvent(tap, event);
        free(event);
    }
}

int tapDescriptor(CFMachPortRef port) {
    XTap *tap = tapOf(port);
    return tap->connection.xcb != nullptr ? xcb_get_file_descriptor(tap->connection.xcb) : -1;
}

// A state query may have read events into XCB's queue or the tap's, where the descriptor no longer
// shows them.
bool tapPending(CFMachPortRef port) {
    XTap *tap = tapOf(port);
    xcb_connection_t *xcb = tap->connection.xcb;
    if (xcb == nullptr)
        return false;
    if (xcb_connection_has_error(xcb))
        return true;
    if (tap->unreadCount == 0 && tap->xcbMayQueue)
        readAhead(tap, false);
    return tap->unreadCount > 0;
}

double tapWakeAt(CFMachPortRef port) {
    XTap *tap = tapOf(port);
    if (tap->connection.xcb != nullptr || !tap->enabled)
        return 0;
    return std::max(tap->nextAttempt, 1e-9);
}

void serveTap(CFMachPortRef port) {
    XTap *tap = tapOf(port);
    xcb_connection_t *xcb = tap->connection.xcb;
    if (xcb == nullptr) {
        if (tap->enabled && compatMonotonicNow() >= tap->nextAttempt)
            attachOrWait(tap, reconnectTime);
        return;
    }
    // Flushed first, since a flush that has to wait reads events, which the drain then takes.
    xcb_flush(xcb);
    drainEvents(tap);
    if (xcb_connection_has_error(xcb)) {
        detachTap(tap);
        tap->nextAttempt = 0;
        compatReportLostInput(tap); // its callback may enable the tap, and so connect, again
    }
}

void closeTap(CFMachPortRef port) {
    XTap *tap = tapOf(port);
    detachTap(tap);
    taps.erase(std::remove(taps.begin(), taps.end(), tap), taps.end());
    delete tap;
}

const CompatPortOps tapOps = {tapDescriptor, tapPending, tapWakeAt, serveTap, closeTap};

// Disabling drops whatever the tap has not delivered yet; enabling delivers only what the
// server sends after it, so it first reads (without delivering) all that was sent before. In
// between the tap keeps reading, and so keeps track of what is held. While the server is away,
// enabling tries it at once.
void enableTap(CompatSessionTap *session, bool enable) {
    auto *tap = static_cast<XTap *>(session);
    xcb_connection_t *xcb = tap->connection.xcb;
    if (xcb != nullptr && enable != tap->enabled) {
        tap->enabled = false;
        if (enable)
            syncWithin(xcb, compatMonotonicNow() + queryTime);
        drainEvents(tap);
    }
    tap->enabled = enable;
    if (enable && tap->connection.xcb == nullptr)
        attachOrWait(tap, reconnectTime);
}

// A connection of a tap when there is one, so that the answer comes after every event the tap
// has read; otherwise one of its own for this question.
Connection *stateConnection(Connection &own, Reach *reach) {
    for (XTap *tap : taps) {
        if (tap->connection.xcb != nullptr && !xcb_connection_has_error(tap->connection.xcb)) {
            tap->xcbMayQueue = true;
            *reach = Reach::answered;
            return &tap->connection;
        }
    }
    *reach = openConnection(own, compatMonotonicNow() + queryTime);
    return &own;
}

// What the tap has handled, and then the events it has read but not yet handled, are the
// server's state as far as the server has told it: the answer needs no round trip, allocates
// nothing and cannot be held up by a stalled server, whose unsent release leaves the key down here
// too. Only when more is unread than the tap can hold does the server have to answer.
bool askTap(bool key, unsigned code, bool *down) {
    XTap *tap = nullptr;
    for (XTap *candidate : taps) {
        if (candidate->connection.xcb != nullptr &&
            !xcb_connection_has_error(candidate->connection.xcb)) {
            tap = candidate;
            break;
        }
    }
    if (tap == nullptr || !readAhead(tap, true) || xcb_connection_has_error(tap->connection.xcb))
        return false;
    bool state = false;
    if (key)
        state = code >= keycodeOffset && tap->held[code - keycodeOffset];
    else
        state = code < tap->buttons.size() && tap->buttons[code];
    for (size_t index = 0; index < tap->unreadCount; ++index) {
        const xcb_generic_event_t *event = unreadAt(tap, index);
        bool isKey = false, pressed = false;
        unsigned changed = 0;
        if (readRaw(tap, event, &isKey, &changed, &pressed) && isKey == key && changed == code)
            state = pressed;
    }
    *down = state;
    return true;
}

// True while the key (X keycode) or button (X number) is down. Unless the tap can answer, the
// server gets queryTime to; silence counts as down, so that a stalled server invents no release.
// While an earlier question is still unanswered, none is added.
bool askDown(bool key, unsigned code) {
    bool known = false;
    if (askTap(key, code, &known))
        return known;
    Connection own;
    Reach reach = Reach::refused;
    Connection *connection = stateConnection(own, &reach);
    if (reach != Reach::answered)
        return reach == Reach::unanswered;
    xcb_connection_t *xcb = connection->xcb;
    bool down = true;
    if (connection->awaiting) {
        void *late = nullptr;
        xcb_generic_error_t *error = nullptr;
        if (xcb_poll_for_reply(xcb, connection->awaited, &late, &error) == 0)
            return true;
        free(late);
        free(error);
        connection->awaiting = false;
    }
    unsigned sequence =
        key ? xcb_query_keymap(xcb).sequence
            : xcb_input_xi_query_pointer(xcb, connection->root, connection->pointer).sequence;
    void *reply = nullptr;
    reach = awaitReply(xcb, sequence, compatMonotonicNow() + queryTime, &reply);
    if (reach == Reach::unanswered) {
        connection->awaiting = true;
        connection->awaited = sequence;
    } else if (reply == nullptr) {
        down = false;
    } else if (key) {
        auto *keys = static_cast<xcb_query_keymap_reply_t *>(reply);
        down = bitSet(keys->keys, sizeof keys->keys, code);
    } else {
        auto *buttons = static_cast<xcb_input_xi_query_pointer_reply_t *>(reply);
        auto length = static_cast<size_t>(xcb_input_xi_query_pointer_buttons_length(buttons));
        down =
            bitSet(reinterpret_cast<const uint8_t *>(xcb_input_xi_query_pointer_buttons(buttons)),
                   length * sizeof(uint32_t), code);
    }
    free(reply);
    if (connection == &own)
        closeConnection(own);
    return down;
}

} // namespace

bool compatXListenAccess() {
    Connection connection;
    Reach reach = openConnection(connection, compatMonotonicNow() + setupTime);
    closeConnection(connection);
    return reach == Reach::answered;
}

CFMachPortRef compatCreateXTap(CGEventMask mask, CGEventTapCallBack callback, void *userInfo) {
    auto *tap = new XTap;
    compatInitSessionTap(tap, mask, callback, userInfo);
    tap->enable = enableTap;
    if (attachTap(tap, compatMonotonicNow() + setupTime) != Reach::answered) {
        delete tap;
        return nullptr;
    }
    tap->port = compatCreateMachPort(&tapOps, static_cast<CompatSessionTap *>(tap));
    taps.push_back(tap);
    return tap->port;
}

bool compatXKeyDown(int inputCode) {
    int keycode = inputCode + keycodeOffset;
    return keycode < 256 && askDown(true, static_cast<unsigned>(keycode));
}

// The reverse of platformButton; the platform's 0 and 1 are the left and right buttons.
bool compatXButtonDown(uint32_t button) {
    static constexpr unsigned first[] = {1, 3, 2, 8, 9};
    unsigned xButton = button < 5 ? first[button] : button + 5;
    return button < 1000 && askDown(false, xButton);
}
