// Nothing about any other input leaves the listener: every key of the server's keymap and every
// button of its pointer, pressed while listeners wait for one input each, yield only the lines of
// that input; a capture session with a modifier held assigns nothing. Under strace the listener
// opens no file for writing, writes nothing to standard error, grabs no device and talks to no
// one but the X server; through xtrace it is seen to send the server no grab, and no other client
// finds a grab of it in the way.
#include "robust.h"
#include "xserver.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int keycodeOffset = 8;

struct Server {
    xcb_connection_t *xcb = nullptr;
    xcb_window_t root = XCB_NONE;
    int firstKeycode = 0, lastKeycode = 0;
    int buttons = 0;
};

Server connectToServer() {
    Server server;
    server.xcb = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(server.xcb)) {
        ADD_FAILURE() << "cannot connect to the X server";
        return server;
    }
    const xcb_setup_t *setup = xcb_get_setup(server.xcb);
    server.root = xcb_setup_roots_iterator(setup).data->root;
    server.firstKeycode = setup->min_keycode;
    server.lastKeycode = setup->max_keycode;
    auto *mapping =
        xcb_get_pointer_mapping_reply(server.xcb, xcb_get_pointer_mapping(server.xcb), nullptr);
    if (mapping != nullptr)
        server.buttons = mapping->map_len;
    free(mapping);
    return server;
}

void fake(Server &server, uint8_t type, int detail) {
    xcb_test_fake_input(server.xcb, type, static_cast<uint8_t>(detail), XCB_CURRENT_TIME, XCB_NONE,
                        0, 0, 0);
}

// Everything sent so far has been processed, or has failed.
void sync(Server &server) {
    free(xcb_get_input_focus_reply(server.xcb, xcb_get_input_focus(server.xcb), nullptr));
    for (xcb_generic_event_t *event; (event = xcb_poll_for_event(server.xcb)) != nullptr;) {
        EXPECT_NE(event->response_type, 0) << "XTest refused an input";
        free(event);
    }
}

// Presses and releases every keycode of the keymap, then every button of the pointer, except
// the kernel key codes given.
void pressEverything(Server &server, const std::set<int> &skippedKeys = {}) {
    for (int keycode = server.firstKeycode; keycode <= server.lastKeycode; ++keycode) {
        if (skippedKeys.count(keycode - keycodeOffset) != 0)
            continue;
        fake(server, XCB_KEY_PRESS, keycode);
        fake(server, XCB_KEY_RELEASE, keycode);
    }
    for (int button = 1; button <= server.buttons; ++button) {
        fake(server, XCB_BUTTON_PRESS, button);
        fake(server, XCB_BUTTON_RELEASE, button);
    }
    sync(server);
}

// Caps Lock and Num Lock are locked by every other press; leave them as they were.
void unlock(Server &server) {
    for (int key : {KEY_CAPSLOCK, KEY_NUMLOCK}) {
        auto *pointer = xcb_query_pointer_reply(
            server.xcb, xcb_query_pointer(server.xcb, server.root), nullptr);
        uint16_t mask = pointer != nullptr ? pointer->mask : 0;
        free(pointer);
        bool locked = (mask & (key == KEY_CAPSLOCK ? XCB_MOD_MASK_LOCK : XCB_MOD_MASK_2)) != 0;
        if (locked) {
            fake(server, XCB_KEY_PRESS, key + keycodeOffset);
            fake(server, XCB_KEY_RELEASE, key + keycodeOffset);
            sync(server);
        }
    }
}

// The X keycode or button of a listener's selection, pressed again after everything else: its
// lines show that the listener has handled every event before it.
void pressAgain(Server &server, const char *name) {
    std::string text = name;
    bool button = text.rfind("Mouse", 0) == 0;
    int detail = text == "MouseMiddle"    ? 2
                 : text == "MouseBack"    ? 8
                 : text == "MouseForward" ? 9
                                          : 0;
    if (!button) {
        const struct {
            const char *name;
            int key;
        } keys[] = {
            {"KeyA", KEY_A}, {"Space", KEY_SPACE}, {"F12", KEY_F12}, {"Backquote", KEY_GRAVE}};
        for (const auto &key : keys) {
            if (text == key.name)
                detail = key.key + keycodeOffset;
        }
    }
    ASSERT_NE(detail, 0) << name;
    fake(server, button ? XCB_BUTTON_PRESS : XCB_KEY_PRESS, detail);
    fake(server, button ? XCB_BUTTON_RELEASE : XCB_KEY_RELEASE, detail);
    sync(server);
}

// Everything the child writes until it ends, once its standard input is closed. A proxy between
// it and the server says on standard error whom it connects; nothing else may be there.
std::string finishAndCollect(Child &child, const std::string &proxyNotice = "") {
    closeInput(child);
    std::string output;
    for (;;) {
        std::string line = readLine(child, 5000);
        if (line == "<eof>" || line == "<timeout>")
            break;
        output += line + "\n";
    }
    EXPECT_EQ(waitChild(child), 0);
    std::string errors = drainErrors(child);
    if (!proxyNotice.empty())
        errors = std::regex_replace(errors, std::regex(proxyNotice), "");
    EXPECT_EQ(errors, "");
    return output;
}

std::string readFile(const std::string &path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string temporaryPath(const char *name) {
    return "/tmp/hold-" + std::string(name) + "-" + std::to_string(getpid());
}

// The sanitizer's leak check stops the process's threads with ptrace, which a traced process
// cannot do; leaks are checked by every run without a tracer.
std::vector<std::string> traceableEnvironment() {
    const char *sanitizer = getenv("ASAN_OPTIONS");
    return {"ASAN_OPTIONS=" + std::string(sanitizer != nullptr ? sanitizer : "") +
            ":detect_leaks=0"};
}

class Privacy : public ::testing::Test {
  protected:
    void SetUp() override {
        server = connectToServer();
        ASSERT_NE(server.xcb, nullptr);
        ASSERT_GE(server.buttons, 9) << "the pointer needs the back and forward buttons";
        ASSERT_GT(server.lastKeycode, server.firstKeycode);
    }
    void TearDown() override {
        unlock(server);
        xcb_disconnect(server.xcb);
    }
    Server server;
};

TEST_F(Privacy, EveryKeyAndButtonTellsEachListenerOnlyAboutItsOwnInput) {
    const char *names[] = {"KeyA",        "Space",     "F12",         "Backquote",
                           "MouseMiddle", "MouseBack", "MouseForward"};
    std::vector<Child> children;
    for (const char *name : names) {
        children.push_back(startListener({"--listen", name}));
        ASSERT_EQ(readLine(children.back()), "ready") << name;
    }
    pressEverything(server);
    printf("privacy: pressed keycodes %d to %d and buttons 1 to %d\n", server.firstKeycode,
           server.lastKeycode, server.buttons);
    for (const char *name : names)
        pressAgain(server, name);
    for (size_t i = 0; i < children.size(); ++i) {
        std::string lines;
        for (int line = 0; line < 4; ++line)
            lines += readLine(children[i]) + "\n";
        EXPECT_EQ(lines, "down\nup\ndown\nup\n") << names[i];
        EXPECT_EQ(finishAndCollect(children[i]), "") << names[i];
    }
}

TEST_F(Privacy, CaptureWithAModifierHeldAssignsNothingAndAfterItsOneLineNothingMore) {
    Child child = startListener({"--capture"});
    ASSERT_EQ(readLine(child), "ready");
    for (int modifier : {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL, KEY_LEFTALT,
                         KEY_RIGHTALT, KEY_LEFTMETA, KEY_RIGHTMETA}) {
        SCOPED_TRACE("modifier " + std::to_string(modifier));
        fake(server, XCB_KEY_PRESS, modifier + keycodeOffset);
        pressEverything(server, {modifier});
        fake(server, XCB_KEY_RELEASE, modifier + keycodeOffset);
        sync(server);
    }
    // Events come in order, so this line shows that none of the others was assigned.
    pressMacKey(0x0C); // KeyQ
    releaseMacKey(0x0C);
    EXPECT_EQ(readLine(child), "assign KeyQ");
    pressEverything(server);
    EXPECT_TRUE(quietFor(child, 300));
    EXPECT_EQ(finishAndCollect(child), "");
}

TEST_F(Privacy, UnderStraceNoFileIsWrittenNothingGoesToStandardErrorOrAnyoneButTheServer) {
    std::string strace = findProgram("strace");
    ASSERT_NE(strace, "") << "strace is not installed (scripts/install-deps installs it)";
    std::string log = temporaryPath("strace");
    Child child = startListener({"--listen", "KeyA"},
                                {strace, "-f", "-qq", "-o", log, "-e",
                                 "trace=open,openat,creat,write,writev,pwrite64,pwritev,pwritev2,"
                                 "sendto,sendmsg,connect,mkdir,mkdirat,unlink,unlinkat,rename,"
                                 "renameat,renameat2,truncate,ftruncate,symlink,link,ioctl"},
                                traceableEnvironment());
    ASSERT_EQ(readLine(child, 10000), "ready");
    pressEverything(server);
    pressAgain(server, "KeyA");
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(readLine(child), "down");
        EXPECT_EQ(readLine(child), "up");
    }
    EXPECT_EQ(finishAndCollect(child), "");

    std::string trace = readFile(log);
    unlink(log.c_str());
    ASSERT_NE(trace.find("connect("), std::string::npos) << "strace saw nothing:\n" << trace;
    std::string display = std::to_string(xServerDisplay());
    const std::regex serverSocket("\"/tmp/\\.X11-unix/X" + display + "\"");
    const std::regex writingOpen("O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_APPEND");
    const std::regex toStandardOutput("^\\d+ +(write|writev)\\(1, \"(ready|down|up)\\\\n\"");
    int opens = 0, connects = 0, lines = 0;
    std::istringstream calls(trace);
    for (std::string call; std::getline(calls, call);) {
        std::smatch found;
        std::regex_search(call, found, std::regex("^\\d+ +([a-z0-9_]+)\\("));
        std::string name = found.empty() ? "" : found[1].str();
        if (name == "open" || name == "openat") {
            ++opens;
            EXPECT_FALSE(std::regex_search(call, writingOpen)) << "opened for writing: " << call;
        } else if (name == "connect") {
            ++connects;
            EXPECT_TRUE(std::regex_search(call, serverSocket)) << "connected elsewhere: " << call;
        } else if (name == "write" || name == "writev" || name == "sendmsg" || name == "sendto") {
            // Requests go to the server's socket; only the protocol's lines to standard output.
            std::smatch fd;
            ASSERT_TRUE(std::regex_search(call, fd, std::regex("^\\d+ +[a-z0-9_]+\\((\\d+),")))
                << call;
            int descriptor = std::stoi(fd[1].str());
            EXPECT_NE(descriptor, 2) << "wrote to standard error: " << call;
            if (descriptor == 1) {
                EXPECT_TRUE(std::regex_search(call, toStandardOutput)) << call;
                ++lines;
            }
        } else if (name == "ioctl") {
            EXPECT_EQ(call.find("GRAB"), std::string::npos) << "grabbed a device: " << call;
        } else if (!name.empty()) {
            ADD_FAILURE() << "changed the file system: " << call;
        }
    }
    EXPECT_EQ(lines, 5) << "ready, then down and up twice";
    printf("privacy: strace saw %d opens (none for writing), %d connects (all to the server), "
           "%d lines on standard output, nothing on standard error\n",
           opens, connects, lines);
}

TEST_F(Privacy, NoGrabIsAskedForAndNoneStandsInAnotherClientsWay) {
    std::string xtrace = findProgram("xtrace");
    ASSERT_NE(xtrace, "") << "xtrace is not installed (scripts/install-deps installs it)";
    std::string log = temporaryPath("xtrace");
    // A display of the proxy's own next to the server's (the harness takes even numbers).
    std::string proxy = ":" + std::to_string(xServerDisplay() + 1);
    Child child = startListener(
        {"--listen", "KeyA"},
        {xtrace, "-n", "-d", ":" + std::to_string(xServerDisplay()), "-D", proxy, "-o", log});
    ASSERT_EQ(readLine(child, 10000), "ready");

    // Grabs that would fail if the listener held any, actively or passively.
    auto keyboard =
        xcb_grab_keyboard_reply(server.xcb,
                                xcb_grab_keyboard(server.xcb, 0, server.root, XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr);
    ASSERT_NE(keyboard, nullptr);
    EXPECT_EQ(keyboard->status, XCB_GRAB_STATUS_SUCCESS);
    free(keyboard);
    auto pointer = xcb_grab_pointer_reply(server.xcb,
                                          xcb_grab_pointer(server.xcb, 0, server.root, 0,
                                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                                           XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                                          nullptr);
    ASSERT_NE(pointer, nullptr);
    EXPECT_EQ(pointer->status, XCB_GRAB_STATUS_SUCCESS);
    free(pointer);
    xcb_ungrab_keyboard(server.xcb, XCB_CURRENT_TIME);
    xcb_ungrab_pointer(server.xcb, XCB_CURRENT_TIME);
    xcb_generic_error_t *keyError = xcb_request_check(
        server.xcb, xcb_grab_key_checked(server.xcb, 0, server.root, XCB_MOD_MASK_ANY, XCB_GRAB_ANY,
                                         XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    EXPECT_EQ(keyError, nullptr) << "another client holds a passive key grab";
    free(keyError);
    xcb_generic_error_t *buttonError = xcb_request_check(
        server.xcb, xcb_grab_button_checked(server.xcb, 0, server.root, XCB_EVENT_MASK_BUTTON_PRESS,
                                            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE,
                                            XCB_NONE, XCB_BUTTON_INDEX_ANY, XCB_MOD_MASK_ANY));
    EXPECT_EQ(buttonError, nullptr) << "another client holds a passive button grab";
    free(buttonError);
    xcb_ungrab_key(server.xcb, XCB_GRAB_ANY, server.root, XCB_MOD_MASK_ANY);
    xcb_ungrab_button(server.xcb, XCB_BUTTON_INDEX_ANY, server.root, XCB_MOD_MASK_ANY);
    sync(server);

    pressEverything(server);
    pressAgain(server, "KeyA");
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(readLine(child), "down");
        EXPECT_EQ(readLine(child), "up");
    }
    EXPECT_EQ(finishAndCollect(child, "Got connection from [^\n]*\n"), "");

    // Every request the listener sent, by name: questions, and the choice of events to hear.
    std::string trace = readFile(log);
    unlink(log.c_str());
    const std::set<std::string> allowed = {"QueryExtension", "GetInputFocus",      "QueryKeymap",
                                           "XIQueryVersion", "XIGetClientPointer", "XIQueryDevice",
                                           "XIQueryPointer", "XISelectEvents"};
    const std::regex request("Request\\([0-9,]+\\): ([A-Za-z0-9]+)");
    std::set<std::string> seen;
    for (auto match = std::sregex_iterator(trace.begin(), trace.end(), request);
         match != std::sregex_iterator(); ++match) {
        std::string name = (*match)[1].str();
        seen.insert(name);
        EXPECT_EQ(name.find("Grab"), std::string::npos) << "asked for a grab: " << name;
        EXPECT_EQ(allowed.count(name), 1u) << "sent the server " << name;
    }
    EXPECT_EQ(seen.count("XISelectEvents"), 1u) << "xtrace saw no listener:\n" << trace;
    std::string names;
    for (const std::string &name : seen)
        names += " " + name;
    printf("privacy: the listener's requests:%s\n", names.c_str());
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
    return RUN_ALL_TESTS();
}
