// A stopped X server (SIGSTOP) while the selection is held: the listener must neither stall nor
// invent a release, must still end at once when the host closes its standard input, and must
// work again when the server runs on. Prints the figures it measures.
#include "robust.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

namespace {

constexpr uint16_t macSpace = 0x31, macS = 0x01;
// Ten ticks of the release poll, each of which asks the stopped server in vain.
constexpr int stoppedMs = 500;
// Far above what the listener needs, so that only a wedged listener misses it on a loaded machine.
constexpr double endBoundMs = 2000;

void record(const char *name, double value, const char *meaning) {
    printf("stall: %s: %.1f\n", meaning, value);
    ::testing::Test::RecordProperty(name, std::to_string(value));
}

TEST(StalledServer, ClosingStandardInputStillEndsTheListenerWithUp) {
    Child child = startListener({"--listen", "Space"});
    ASSERT_EQ(readLine(child), "ready");
    pressMacKey(macSpace);
    ASSERT_EQ(readLine(child), "down");

    pauseXServer();
    long cpuBefore = cpuMs(child.pid);
    EXPECT_TRUE(quietFor(child, stoppedMs)) << "a query without an answer must count as down";
    long cpuStopped = cpuMs(child.pid) - cpuBefore;

    double closed = nowMs();
    closeInput(child);
    EXPECT_EQ(readLine(child, static_cast<int>(endBoundMs)), "up");
    double upAfter = nowMs() - closed;
    EXPECT_EQ(readLine(child, static_cast<int>(endBoundMs)), "<eof>");
    int status = waitChild(child, static_cast<int>(endBoundMs));
    double endedAfter = nowMs() - closed;
    EXPECT_EQ(status, 0);
    EXPECT_LT(endedAfter, endBoundMs) << "the listener waited on the stopped server";
    EXPECT_EQ(drainErrors(child), "");
    resumeXServer();
    releaseMacKey(macSpace);

    record("up_after_close_ms", upAfter,
           "ms from closing standard input to \"up\", server stopped");
    record("exit_after_close_ms", endedAfter,
           "ms from closing standard input to the exit, server stopped");
    record("cpu_while_stopped_ms", static_cast<double>(cpuStopped),
           "ms of CPU time over 500 ms of a stopped server");
}

TEST(StalledServer, NoFalseUpWhileStoppedAndAllWorksWhenItRunsAgain) {
    Child child = startListener({"--listen", "Space"});
    ASSERT_EQ(readLine(child), "ready");
    pressMacKey(macSpace);
    ASSERT_EQ(readLine(child), "down");

    for (int stall = 0; stall < 3; ++stall) {
        SCOPED_TRACE("stall " + std::to_string(stall));
        pauseXServer();
        EXPECT_TRUE(quietFor(child, stoppedMs)) << "a query without an answer must count as down";
        EXPECT_EQ(waitpid(child.pid, nullptr, WNOHANG), 0) << "the listener must run on";
        resumeXServer();
        EXPECT_TRUE(quietFor(child, 200)) << "the key is still down";
    }

    double released = nowMs();
    releaseMacKey(macSpace);
    EXPECT_EQ(readLine(child), "up");
    double upAfter = nowMs() - released;
    for (int round = 0; round < 3; ++round) {
        pressMacKey(macS);
        releaseMacKey(macS);
        pressMacKey(macSpace);
        EXPECT_EQ(readLine(child), "down");
        releaseMacKey(macSpace);
        EXPECT_EQ(readLine(child), "up");
    }

    // Stopped while nothing is held: the poll asks nothing, and the next press counts.
    pauseXServer();
    EXPECT_TRUE(quietFor(child, stoppedMs));
    resumeXServer();
    pressMacKey(macSpace);
    EXPECT_EQ(readLine(child), "down");
    releaseMacKey(macSpace);
    EXPECT_EQ(readLine(child), "up");

    closeInput(child);
    EXPECT_EQ(readLine(child), "<eof>");
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(drainErrors(child), "");
    record("up_after_resume_ms", upAfter, "ms from a release after the stalls to its \"up\"");
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
    return RUN_ALL_TESTS();
}
