// The floor: the least a listener can do over XCB. It selects XInput 2 raw key events of every
// master device on the root window and prints "down" and "up" for one X keycode, a line at a time.
//   hold-floor KEYCODE
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace {

void say(const char *line, size_t length) {
    if (write(STDOUT_FILENO, line, length) != static_cast<ssize_t>(length))
        exit(1);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2)
        return 2;
    auto keycode = static_cast<uint32_t>(atoi(argv[1]));
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection))
        return 1;
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;

    xcb_input_xi_query_version_reply_t *version = xcb_input_xi_query_version_reply(
        connection, xcb_input_xi_query_version(connection, 2, 2), nullptr);
    if (version == nullptr)
        return 1;
    free(version);

    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
           XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE};
    xcb_generic_error_t *error = xcb_request_check(
        connection, xcb_input_xi_select_events_checked(connection, root, 1, &mask.head));
    if (error != nullptr)
        return 1;
    say("ready\n", 6);

    // Like the listener, it ends when its standard input closes.
    pollfd watched[2] = {{xcb_get_file_descriptor(connection), POLLIN, 0},
                         {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            if ((event->response_type & 0x7F) == XCB_GE_GENERIC) {
                auto *raw = reinterpret_cast<xcb_input_raw_key_press_event_t *>(event);
                if (raw->detail == keycode) {
                    if (raw->event_type == XCB_INPUT_RAW_KEY_PRESS)
                        say("down\n", 5);
                    else if (raw->event_type == XCB_INPUT_RAW_KEY_RELEASE)
                        say("up\n", 3);
                }
            }
            free(event);
        }
        if (xcb_connection_has_error(connection))
            return 1;
        if (poll(watched, 2, -1) < 0)
            continue;
        if (watched[1].revents != 0) {
            char discarded[16];
            if (read(STDIN_FILENO, discarded, sizeof discarded) <= 0)
                return 0;
        }
    }
    return 0;
}
