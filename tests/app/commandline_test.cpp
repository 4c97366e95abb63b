// The command line as the host meets it: the built program run as a process.
#include "process.h"

#include <gtest/gtest.h>

namespace {

// No display to reach, so an accepted listener form stops at the permission check.
const std::vector<std::string> noDisplay = {"DISPLAY=:999", "WAYLAND_DISPLAY"};

Outcome run(std::vector<std::string> arguments, const std::string &program = HOLD_LISTENER) {
    arguments.insert(arguments.begin(), program);
    return runToEnd(arguments, "", noDisplay, 5000, HOLD_LISTENER);
}

std::string shown(const std::vector<std::string> &arguments) {
    std::string text;
    for (const std::string &a : arguments)
        text += "[" + a + "]";
    return text;
}

TEST(CommandLine, SelfTestWritesOnlyItsLine) {
    Outcome outcome = run({"--self-test"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, "self-test ok\n");
    EXPECT_EQ(outcome.errors, "");
}

TEST(CommandLine, RejectedFormsExit64WithNoOutput) {
    const std::vector<std::vector<std::string>> rejected = {
        {},
        {""},
        {"--listen"},
        {"--listen", "keya"},
        {"--listen", "KEYA"},
        {"--listen", "MouseLeft"},
        {"--listen", "CapsLock"},
        {"--listen", "F1"},
        {"--listen", "F5"},
        {"--listen", ""},
        {"--listen", "KeyA "},
        {"--listen", "KeyA", "KeyB"},
        {"--listen=KeyA"},
        {"--LISTEN", "KeyA"},
        {"-listen", "KeyA"},
        {"KeyA", "--listen"},
        {"--capture", "KeyA"},
        {"--capture", "--capture"},
        {"--capture "},
        {"--self-test", "x"},
        {"--self-test", "--self-test"},
        {"--self-test="},
        {"--request-permission", "x"},
        {"--help"},
        {"-h"},
        {"--version"},
        {"--listen", "KeyA", "--self-test"},
        {"a", "b", "c", "d"},
    };
    for (const auto &arguments : rejected) {
        Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, 64) << shown(arguments);
        EXPECT_EQ(outcome.output, "") << shown(arguments);
        EXPECT_EQ(outcome.errors, "") << shown(arguments);
    }
}

TEST(CommandLine, AcceptedListenerFormsReachThePermissionCheck) {
    const std::vector<std::vector<std::string>> accepted = {
        {"--listen", "KeyA"},        {"--listen", "MouseBack"},
        {"--listen", "Backquote"},   {"--listen", "F12"},
        {"--listen", "MouseMiddle"}, {"--listen", "MouseForward"},
        {"--listen", "Digit0"},      {"--capture"},
    };
    for (const auto &arguments : accepted) {
        Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, 77) << shown(arguments);
        EXPECT_EQ(outcome.output, "permission\n") << shown(arguments);
        EXPECT_EQ(outcome.errors, "") << shown(arguments);
    }
}

TEST(CommandLine, ProgramNameIsNeverLookedAt) {
    EXPECT_EQ(run({"--self-test"}, "--listen").output, "self-test ok\n");
    Outcome outcome = run({}, "--self-test");
    EXPECT_EQ(outcome.status, 64);
    EXPECT_EQ(outcome.output, "");
    outcome = run({"KeyA"}, "--listen");
    EXPECT_EQ(outcome.status, 64);
    EXPECT_EQ(outcome.output, "");
}

} // namespace
