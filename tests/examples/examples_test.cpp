// The host examples, run as a host developer runs them: each starts the real program as its child
// on a private X server, XTest presses real keys, and what the example prints is checked line by
// line.
#include "core/keys.h"
#include "process.h"
#include "xserver.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

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

// How the example is told which helper and which input to use.
struct Invocation {
    const char *name;
    bool byEnvironment; // HOLD_LISTENER and HOLD_INPUT instead of arguments
    const char *input;  // a key name
};

const Invocation invocations[] = {
    {"Arguments", false, "Space"},
    {"Environment", true, "KeyA"},
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

// Every case needs its interpreter and a private X server of its own.
template <typename Case>
class HostTest : public testing::TestWithParam<std::tuple<Host, Case>> {
  protected:
    void SetUp() override {
        const Host &host = std::get<0>(this->GetParam());
        ASSERT_TRUE(found(host.interpreter)) << host.name << "'s interpreter is missing";
        ASSERT_TRUE(startXServer());
    }
    void TearDown() override { stopXServer(); }
};

using HostExample = HostTest<Invocation>;

// The whole life of an integration: ready, two holds, and the host ending the helper by closing
// its standard input while the input is held, which still yields the closing "muted".
TEST_P(HostExample, ActsWhileTheInputIsHeldAndStopsTheHelper) {
    const auto &[host, invocation] = GetParam();
    uint16_t key = keyNamed(invocation.input)->code;

    Child example = startHost(host, HOLD_LISTENER, invocation.input, invocation.byEnvironment, {});
    EXPECT_EQ(readLine(example, lineTimeoutMs),
              std::string("ready: hold ") + invocation.input + " to talk");
    pressMacKey(key);
    EXPECT_EQ(readLine(example, lineTimeoutMs), "talking…");
    releaseMacKey(key);
    EXPECT_EQ(readLine(example, lineTimeoutMs), "muted");
    pressMacKey(key);
    EXPECT_EQ(readLine(example, lineTimeoutMs), "talking…");

    closeInput(example);
    EXPECT_EQ(readLine(example, lineTimeoutMs), "muted");
    EXPECT_EQ(readLine(example, lineTimeoutMs), "stopped");
    EXPECT_EQ(readLine(example, lineTimeoutMs), "<eof>");
    EXPECT_EQ(waitChild(example, lineTimeoutMs), 0);
    releaseMacKey(key);
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

using HostRefusal = HostTest<Refusal>;

TEST_P(HostRefusal, ExplainsAndExitsWithTheHelpersStatus) {
    const auto &[host, refusal] = GetParam();
    // Without a display the helper cannot listen: on this platform that is the missing permission.
    std::vector<std::string> env;
    if (!refusal.withDisplay)
        env.push_back("DISPLAY");
    Child example = startHost(host, refusal.helper, refusal.input, false, env);

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
