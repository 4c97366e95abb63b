// The host examples, run as a host developer runs them: each starts the real program as its child
// on a private X server, XTest presses real keys, and what the example prints is checked line by
// line.
#include "process.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace {

constexpr int lineTimeoutMs = 10000;

struct Host {
    const char *name;
    const char *interpreter;
    const char *script;
};

const Host hosts[] = {
    {"Node", HOLD_NODE, HOLD_EXAMPLES "/node/push-to-talk.mjs"},
    {"Python", HOLD_PYTHON3, HOLD_EXAMPLES "/python/push_to_talk.py"},
};

void PrintTo(const Host &host, std::ostream *out) {
    *out << host.name;
}

bool found(const char *program) {
    return std::string(program).find("NOTFOUND") == std::string::npos && *program != '\0';
}

// A private Xvfb, and a connection to it for XTest. Stopped by its pid.
struct Display {
    Child server;
    std::string name;
    xcb_connection_t *connection = nullptr;
};

bool startDisplay(Display &display) {
    if (!found(HOLD_XVFB))
        return false;
    // With -displayfd 1 the server writes the display number it chose on our pipe once it is
    // accepting connections.
    display.server = spawnChild({HOLD_XVFB, "-displayfd", "1", "-noreset", "-nolisten", "tcp"});
    std::string number = readLine(display.server, lineTimeoutMs);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    display.name = ":" + number;
    display.connection = xcb_connect(display.name.c_str(), nullptr);
    return xcb_connection_has_error(display.connection) == 0;
}

void stopDisplay(Display &display) {
    if (display.connection != nullptr)
        xcb_disconnect(display.connection);
    if (display.server.pid > 0) {
        kill(display.server.pid, SIGTERM);
        waitChild(display.server, lineTimeoutMs);
    }
}

// The key code that the server's keyboard map gives to a key symbol, or 0.
xcb_keycode_t keycodeFor(xcb_connection_t *connection, xcb_keysym_t symbol) {
    const xcb_setup_t *setup = xcb_get_setup(connection);
    uint8_t count = setup->max_keycode - setup->min_keycode + 1;
    xcb_get_keyboard_mapping_reply_t *map = xcb_get_keyboard_mapping_reply(
        connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, count), nullptr);
    if (map == nullptr)
        return 0;
    const xcb_keysym_t *symbols = xcb_get_keyboard_mapping_keysyms(map);
    xcb_keycode_t keycode = 0;
    for (int i = 0; i < count && keycode == 0; i++) {
        if (symbols[i * map->keysyms_per_keycode] == symbol)
            keycode = static_cast<xcb_keycode_t>(setup->min_keycode + i);
    }
    free(map);
    return keycode;
}

// Presses or releases a key through XTest and waits until the server has handled it.
void fakeKey(xcb_connection_t *connection, xcb_keycode_t keycode, bool press) {
    xcb_test_fake_input(connection, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode,
                        XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

// How the example is told which helper and which input to use.
struct Invocation {
    const char *name;
    bool byEnvironment; // HOLD_LISTENER and HOLD_INPUT instead of arguments
    const char *input;
    xcb_keysym_t symbol;
};

const Invocation invocations[] = {
    {"Arguments", false, "Space", 0x0020},
    {"Environment", true, "KeyA", 0x0061},
};

void PrintTo(const Invocation &invocation, std::ostream *out) {
    *out << invocation.name;
}

Child startHost(const Host &host, const std::string &helper, const std::string &input,
                bool byEnvironment, const std::vector<std::string> &env) {
    std::vector<std::string> argv = {host.interpreter, host.script};
    // Buffering as a host meets it: an example must flush its own lines.
    std::vector<std::string> environment = env;
    environment.push_back("PYTHONUNBUFFERED");
    if (byEnvironment) {
        environment.push_back("HOLD_LISTENER=" + helper);
        environment.push_back("HOLD_INPUT=" + input);
    } else {
        argv.push_back(helper);
        argv.push_back(input);
        environment.push_back("HOLD_LISTENER");
        environment.push_back("HOLD_INPUT");
    }
    return spawnChild(argv, environment);
}

class HostExample : public testing::TestWithParam<std::tuple<Host, Invocation>> {
  protected:
    void SetUp() override {
        const Host &host = std::get<0>(GetParam());
        ASSERT_TRUE(found(host.interpreter)) << host.name << "'s interpreter is missing";
        ASSERT_TRUE(startDisplay(display)) << "Xvfb did not start (" << HOLD_XVFB << ")";
    }
    void TearDown() override { stopDisplay(display); }

    Display display;
};

// The whole life of an integration: ready, two holds, and the host ending the helper by closing
// its standard input while the input is held, which still yields the closing "muted".
TEST_P(HostExample, ActsWhileTheInputIsHeldAndStopsTheHelper) {
    const auto &[host, invocation] = GetParam();
    xcb_keycode_t key = keycodeFor(display.connection, invocation.symbol);
    ASSERT_NE(key, 0);

    Child example = startHost(host, HOLD_LISTENER, invocation.input, invocation.byEnvironment,
                              {"DISPLAY=" + display.name});
    EXPECT_EQ(readLine(example, lineTimeoutMs),
              std::string("ready: hold ") + invocation.input + " to talk");
    fakeKey(display.connection, key, true);
    EXPECT_EQ(readLine(example, lineTimeoutMs), "talking…");
    fakeKey(display.connection, key, false);
    EXPECT_EQ(readLine(example, lineTimeoutMs), "muted");
    fakeKey(display.connection, key, true);
    EXPECT_EQ(readLine(example, lineTimeoutMs), "talking…");

    closeInput(example);
    EXPECT_EQ(readLine(example, lineTimeoutMs), "muted");
    EXPECT_EQ(readLine(example, lineTimeoutMs), "stopped");
    EXPECT_EQ(readLine(example, lineTimeoutMs), "<eof>");
    EXPECT_EQ(waitChild(example, lineTimeoutMs), 0);
    fakeKey(display.connection, key, false);
}

// What the host tells its user when the helper refuses to run, and the status it passes on.
struct Refusal {
    const char *name;
    const char *helper;
    const char *input;
    bool withDisplay;
    const char *line; // the whole line, or its beginning when it ends in "*"
    int status;
};

const Refusal refusals[] = {
    {"UnknownInputName", HOLD_LISTENER, "CapsLock", true,
     "the helper does not know the input name \"CapsLock\"", 64},
    {"NoDisplay", HOLD_LISTENER, "Space", false,
     "not allowed to listen to input: grant Input Monitoring to this application, or run the "
     "helper with --request-permission",
     77},
    {"NoHelper", "/nonexistent/hold-listener", "Space", true,
     "could not start /nonexistent/hold-listener: *", 1},
};

void PrintTo(const Refusal &refusal, std::ostream *out) {
    *out << refusal.name;
}

class HostRefusal : public testing::TestWithParam<std::tuple<Host, Refusal>> {
  protected:
    void SetUp() override {
        const Host &host = std::get<0>(GetParam());
        ASSERT_TRUE(found(host.interpreter)) << host.name << "'s interpreter is missing";
        ASSERT_TRUE(startDisplay(display)) << "Xvfb did not start (" << HOLD_XVFB << ")";
    }
    void TearDown() override { stopDisplay(display); }

    Display display;
};

TEST_P(HostRefusal, ExplainsAndExitsWithTheHelpersStatus) {
    const auto &[host, refusal] = GetParam();
    // Without a display the helper cannot listen: on this platform that is the missing permission.
    std::string displayEntry = refusal.withDisplay ? "DISPLAY=" + display.name : "DISPLAY";
    Child example = startHost(host, refusal.helper, refusal.input, false, {displayEntry});

    std::string line = readLine(example, lineTimeoutMs);
    std::string expected = refusal.line;
    if (expected.ends_with('*')) {
        expected.pop_back();
        EXPECT_TRUE(line.starts_with(expected)) << line;
    } else {
        EXPECT_EQ(line, expected);
    }
    EXPECT_EQ(readLine(example, lineTimeoutMs), "<eof>");
    EXPECT_EQ(waitChild(example, lineTimeoutMs), refusal.status);
}

template <typename Case>
std::string caseName(const testing::TestParamInfo<std::tuple<Host, Case>> &info) {
    return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Examples, HostExample,
                         testing::Combine(testing::ValuesIn(hosts), testing::ValuesIn(invocations)),
                         caseName<Invocation>);
INSTANTIATE_TEST_SUITE_P(Examples, HostRefusal,
                         testing::Combine(testing::ValuesIn(hosts), testing::ValuesIn(refusals)),
                         caseName<Refusal>);

} // namespace
