// The listener inside a forked test process, where the compat layer can fail a creation call or
// drop the tap's events, and can tell whether anything was left alive.
#include "app/listener.h"
#include "compat/testing.h"
#include "core/tracker.h"
#include "process.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <unistd.h>

namespace {

constexpr int leftSomethingAlive = 99;
constexpr uint16_t macA = 0x00;

// Runs the listener in a child; its exit status is the listener's, or leftSomethingAlive.
Child forkListener(const char *listenFor, const char *failing = nullptr, uint32_t droppedType = 0) {
    return forkChild([=] {
        capture = listenFor == nullptr;
        selection = listenFor;
        compatFailCreation(failing);
        compatDropEventType(droppedType);
        int status = runListener();
        return compatLiveObjects() == 0 ? status : leftSomethingAlive;
    });
}

TEST(ListenerFaults, EveryFailedSetUpStepReleasesWhatExists) {
    struct Case {
        const char *failing;
        int status;
        const char *output;
    };
    const Case cases[] = {
        {"CGEventTapCreate", 77, "permission\n"}, {"CFMachPortCreateRunLoopSource", 1, ""},
        {"CFFileDescriptorCreate", 1, ""},        {"CFFileDescriptorCreateRunLoopSource", 1, ""},
        {"CFRunLoopTimerCreate", 1, ""},
    };
    for (const char *mode : {"KeyA", static_cast<const char *>(nullptr)}) {
        for (const Case &c : cases) {
            Child child = forkListener(mode, c.failing);
            std::string output;
            for (std::string line; (line = readLine(child)) != "<eof>" && line != "<timeout>";)
                output += line + "\n";
            EXPECT_EQ(output, c.output) << c.failing;
            EXPECT_EQ(waitChild(child), c.status) << c.failing;
            EXPECT_EQ(drainErrors(child), "");
        }
    }
}

TEST(ListenerFaults, AnOrderlyEndLeavesNothingAlive) {
    for (const char *mode : {"KeyA", static_cast<const char *>(nullptr)}) {
        Child child = forkListener(mode);
        ASSERT_EQ(readLine(child), "ready");
        if (mode != nullptr) {
            pressMacKey(macA);
            EXPECT_EQ(readLine(child), "down");
        }
        closeInput(child);
        if (mode != nullptr) {
            EXPECT_EQ(readLine(child), "up");
        }
        EXPECT_EQ(readLine(child), "<eof>");
        EXPECT_EQ(waitChild(child), 0);
        if (mode != nullptr)
            releaseMacKey(macA);
    }
}

TEST(ListenerFaults, AMissedReleaseIsCaughtByThePoll) {
    Child child = forkListener("KeyA", nullptr, kCGEventKeyUp);
    ASSERT_EQ(readLine(child), "ready");
    for (int round = 0; round < 3; round++) {
        pressMacKey(macA);
        EXPECT_EQ(readLine(child), "down");
        auto released = std::chrono::steady_clock::now();
        releaseMacKey(macA);
        EXPECT_EQ(readLine(child), "up");
        auto late = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - released);
        // The poll runs every 50 ms; allow for a loaded machine.
        EXPECT_LT(late.count(), 250) << "the poll took " << late.count() << " ms";
        RecordProperty("poll_latency_ms_" + std::to_string(round), late.count());
    }
    closeInput(child);
    EXPECT_EQ(readLine(child), "<eof>");
    EXPECT_EQ(waitChild(child), 0);
}

TEST(ListenerFaults, AnInitialHoldEndedUnseenIsCaughtByThePoll) {
    pressMacKey(macA);
    Child child = forkListener("KeyA", nullptr, kCGEventKeyUp);
    ASSERT_EQ(readLine(child), "ready");
    releaseMacKey(macA); // dropped: only the poll can see it
    usleep(200 * 1000);
    pressMacKey(macA);
    EXPECT_EQ(readLine(child), "down");
    releaseMacKey(macA);
    EXPECT_EQ(readLine(child), "up");
    closeInput(child);
    EXPECT_EQ(waitChild(child), 0);
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
    return RUN_ALL_TESTS();
}
