// The program as a host runs it: a child process listening on a private X server while XTest
// presses keys and buttons.
#include "process.h"
#include "xserver.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <csignal>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Virtual key codes of the keys used here.
constexpr uint16_t macA = 0x00, macS = 0x01, macSpace = 0x31, macF9 = 0x65;
constexpr int quietMs = 300; // long enough for a line that should not come to have come

Child listen(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv = {HOLD_LISTENER};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return spawnChild(argv, {"WAYLAND_DISPLAY"});
}

Child listenFor(const char *name) {
    return listen({"--listen", name});
}

// Closes the host's end and checks the orderly end: the given last lines, status 0, no errors.
void finish(Child &child, const std::vector<std::string> &lastLines = {}) {
    closeInput(child);
    for (const std::string &line : lastLines)
        EXPECT_EQ(readLine(child), line);
    EXPECT_EQ(readLine(child), "<eof>");
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(drainErrors(child), "");
}

void tapMacKey(uint16_t key) {
    pressMacKey(key);
    releaseMacKey(key);
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string field;
    long value = -1;
    while (status >> field) {
        if (field == "VmRSS:") {
            status >> value;
            break;
        }
    }
    return value;
}

TEST(Listen, ReadyThenDownAndUpForAPlainPress) {
    Child child = listenFor("Space");
    ASSERT_EQ(readLine(child), "ready");
    for (int round = 0; round < 3; round++) {
        pressMacKey(macSpace);
        EXPECT_EQ(readLine(child), "down");
        releaseMacKey(macSpace);
        EXPECT_EQ(readLine(child), "up");
    }
    finish(child);
}

TEST(Listen, EachModifierRefusesAKeyButNotAButton) {
    const int modifiers[] = {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL,
                             KEY_LEFTALT,   KEY_RIGHTALT,   KEY_LEFTMETA, KEY_RIGHTMETA};
    Child key = listenFor("KeyA");
    Child button = listenFor("MouseBack");
    ASSERT_EQ(readLine(key), "ready");
    ASSERT_EQ(readLine(button), "ready");
    for (int modifier : modifiers) {
        SCOPED_TRACE("modifier " + std::to_string(modifier));
        pressKey(modifier);
        tapMacKey(macA);
        EXPECT_TRUE(quietFor(key, quietMs));
        pressButton(8);
        EXPECT_EQ(readLine(button), "down");
        releaseButton(8);
        EXPECT_EQ(readLine(button), "up");
        releaseKey(modifier);
        pressMacKey(macA);
        EXPECT_EQ(readLine(key), "down");
        releaseMacKey(macA);
        EXPECT_EQ(readLine(key), "up");
    }
    finish(key);
    finish(button);
}

TEST(Listen, ReleaseCountsWithAModifierDown) {
    Child child = listenFor("KeyA");
    ASSERT_EQ(readLine(child), "ready");
    pressMacKey(macA);
    EXPECT_EQ(readLine(child), "down");
    pressKey(KEY_LEFTSHIFT);
    releaseMacKey(macA);
    EXPECT_EQ(readLine(child), "up");
    releaseKey(KEY_LEFTSHIFT);
    finish(child);
}

TEST(Listen, CapsLockDoesNotRefuseAKey) {
    Child child = listenFor("KeyA");
    ASSERT_EQ(readLine(child), "ready");
    pressKey(KEY_CAPSLOCK); // locks
    releaseKey(KEY_CAPSLOCK);
    pressMacKey(macA);
    EXPECT_EQ(readLine(child), "down");
    releaseMacKey(macA);
    EXPECT_EQ(readLine(child), "up");
    pressKey(KEY_CAPSLOCK); // unlocks
    releaseKey(KEY_CAPSLOCK);
    finish(child);
}

TEST(Listen, RepeatedPressesGiveOneDown) {
    Child child = listenFor("F9");
    ASSERT_EQ(readLine(child), "ready");
    pressMacKey(macF9);
    EXPECT_EQ(readLine(child), "down");
    for (int repeat = 0; repeat < 5; repeat++)
        pressMacKey(macF9);
    EXPECT_TRUE(quietFor(child, quietMs));
    releaseMacKey(macF9);
    EXPECT_EQ(readLine(child), "up");
    finish(child);
}

TEST(Listen, OtherKeysAndButtonsGiveNothing) {
    Child child = listenFor("KeyS");
    ASSERT_EQ(readLine(child), "ready");
    for (int code : {KEY_A, KEY_D, KEY_ESC, KEY_F1, KEY_F5, KEY_ENTER, KEY_SPACE, KEY_LEFTSHIFT,
                     KEY_CAPSLOCK, KEY_UP, KEY_KP1, KEY_GRAVE, KEY_1}) {
        pressKey(code);
        releaseKey(code);
    }
    for (int xButton : {1, 2, 3, 4, 5, 8, 9}) {
        pressButton(xButton);
        releaseButton(xButton);
    }
    EXPECT_TRUE(quietFor(child, quietMs));
    tapMacKey(macS);
    EXPECT_EQ(readLine(child), "down");
    EXPECT_EQ(readLine(child), "up");
    finish(child);
}

TEST(Listen, AnInputHeldAtStartCountsOnlyAfterItsRelease) {
    struct Case {
        const char *name;
        void (*press)();
        void (*release)();
    };
    const Case cases[] = {
        {"Space", [] { pressMacKey(macSpace); }, [] { releaseMacKey(macSpace); }},
        {"MouseForward", [] { pressButton(9); }, [] { releaseButton(9); }},
        {"MouseMiddle", [] { pressButton(2); }, [] { releaseButton(2); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.press();
        Child child = listenFor(c.name);
        ASSERT_EQ(readLine(child), "ready");
        c.press(); // a repeat of the held input
        EXPECT_TRUE(quietFor(child, quietMs));
        c.release();
        EXPECT_TRUE(quietFor(child, quietMs));
        c.press();
        EXPECT_EQ(readLine(child), "down");
        c.release();
        EXPECT_EQ(readLine(child), "up");
        finish(child);
    }
}

TEST(Listen, ClosingStandardInputWhileHeldWritesUpFirst) {
    Child child = listenFor("MouseMiddle");
    ASSERT_EQ(readLine(child), "ready");
    pressButton(2);
    EXPECT_EQ(readLine(child), "down");
    finish(child, {"up"});
    releaseButton(2);
}

TEST(Listen, StandardInputAlreadyAtItsEnd) {
    for (const char *mode : {"--listen", "--capture"}) {
        std::vector<std::string> argv = {HOLD_LISTENER, mode};
        if (std::string(mode) == "--listen")
            argv.push_back("KeyA");
        Outcome outcome = runToEnd(argv, "", {"WAYLAND_DISPLAY"});
        EXPECT_EQ(outcome.status, 0) << mode;
        EXPECT_EQ(outcome.output, "ready\n") << mode;
        EXPECT_EQ(outcome.errors, "") << mode;
    }
}

TEST(Listen, JunkOnStandardInputChangesNothing) {
    signal(SIGPIPE, SIG_IGN);
    Child child = listenFor("KeyA");
    ASSERT_EQ(readLine(child), "ready");
    pressMacKey(macA);
    EXPECT_EQ(readLine(child), "down");
    long before = residentKiB(child.pid);
    std::string junk;
    for (int i = 0; i < 65536; i++)
        junk.push_back(static_cast<char>(i * 7919 % 251));
    for (int chunk = 0; chunk < 64; chunk++) { // 4 MiB in chunks of odd sizes
        size_t size = 1 + static_cast<size_t>(chunk * 1021) % junk.size();
        ASSERT_EQ(write(child.input, junk.data(), size), static_cast<ssize_t>(size));
    }
    ASSERT_EQ(write(child.input, "up\ndown\n", 8), 8);
    releaseMacKey(macA);
    EXPECT_EQ(readLine(child), "up");
    EXPECT_TRUE(quietFor(child, quietMs));
    long after = residentKiB(child.pid);
    EXPECT_LE(after - before, 256) << "resident size grew from " << before << " KiB to " << after;
    finish(child);
}

TEST(Capture, AssignsTheFirstPlainPressOfANamedInputOnly) {
    Child child = listen({"--capture"});
    ASSERT_EQ(readLine(child), "ready");
    pressKey(KEY_LEFTSHIFT);
    tapMacKey(macA); // a modified press
    releaseKey(KEY_LEFTSHIFT);
    pressKey(KEY_LEFTMETA);
    pressButton(8); // a modified button
    releaseButton(8);
    releaseKey(KEY_LEFTMETA);
    for (int code : {KEY_F1, KEY_ESC, KEY_F5, KEY_LEFTCTRL, KEY_CAPSLOCK, KEY_ENTER}) {
        pressKey(code); // no names
        releaseKey(code);
    }
    pressButton(10); // button number 5
    releaseButton(10);
    EXPECT_TRUE(quietFor(child, quietMs));
    pressMacKey(macSpace);
    EXPECT_EQ(readLine(child), "assign Space");
    releaseMacKey(macSpace);
    tapMacKey(macA);
    pressButton(2);
    releaseButton(2);
    EXPECT_TRUE(quietFor(child, quietMs));
    finish(child);
}

TEST(Capture, AssignsAMouseButtonAndNeverWritesDownOrUp) {
    Child child = listen({"--capture"});
    ASSERT_EQ(readLine(child), "ready");
    pressButton(9);
    EXPECT_EQ(readLine(child), "assign MouseForward");
    finish(child); // no "up" although the button is still down
    releaseButton(9);
}

TEST(Listen, ServerGoneWhileHeldGivesUpAndKeepsRunning) {
    Child child = listenFor("Space");
    ASSERT_EQ(readLine(child), "ready");
    pressMacKey(macSpace);
    EXPECT_EQ(readLine(child), "down");
    killXServer();
    EXPECT_EQ(readLine(child), "up");
    EXPECT_TRUE(quietFor(child, 1500));
    EXPECT_EQ(waitpid(child.pid, nullptr, WNOHANG), 0) << "the listener must run on";
    finish(child);
    ASSERT_TRUE(restartXServer());
}

TEST(Permission, GrantedWithADisplay) {
    Outcome outcome = runToEnd({HOLD_LISTENER, "--request-permission"}, "", {"WAYLAND_DISPLAY"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, "ready\n");
    EXPECT_EQ(outcome.errors, "");
}

TEST(Permission, MissingWithoutADisplay) {
    for (const char *display : {"DISPLAY=:999", "DISPLAY=nonsense:x"}) {
        for (std::vector<std::string> arguments : std::vector<std::vector<std::string>>{
                 {"--request-permission"}, {"--capture"}, {"--listen", "KeyA"}}) {
            arguments.insert(arguments.begin(), HOLD_LISTENER);
            Outcome outcome = runToEnd(arguments, "", {display, "WAYLAND_DISPLAY"});
            EXPECT_EQ(outcome.status, 77) << display << " " << arguments[1];
            EXPECT_EQ(outcome.output, "permission\n") << display << " " << arguments[1];
            EXPECT_EQ(outcome.errors, "");
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
    return RUN_ALL_TESTS();
}
