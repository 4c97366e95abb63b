// Figures for the session tap on a private Xvfb: how long an event takes from XTest to the
// callback, how long state queries take on a live, a stopped and an absent server, and how soon
// the tap is back on a new server. It prints them and checks nothing; run it by hand:
//   build/tests/xserver/xtap_benchmark
#include "tapping.h"
#include "xserver.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <vector>

namespace {

double now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void printFigures(const char *what, std::vector<double> seconds) {
    if (seconds.empty())
        return;
    std::sort(seconds.begin(), seconds.end());
    double total = 0;
    for (double value : seconds)
        total += value;
    printf("%-48s n=%-5zu mean %8.3f ms  median %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", what,
           seconds.size(), total / static_cast<double>(seconds.size()) * 1e3,
           seconds[seconds.size() / 2] * 1e3, seconds[seconds.size() * 99 / 100] * 1e3,
           seconds.back() * 1e3);
}

bool keyDown(uint16_t code) {
    return CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, code);
}

TEST(TapBenchmark, Figures) {
    constexpr int rounds = 500;
    ASSERT_NE(openTap(), nullptr);

    std::vector<double> latency;
    for (int round = 0; round < rounds; ++round) {
        size_t before = seen.size();
        double start = now();
        pressKey(KEY_A);
        ASSERT_TRUE(awaitEvents(before + 1));
        latency.push_back(now() - start);
        releaseKey(KEY_A);
        ASSERT_TRUE(awaitEvents(before + 2));
    }
    printFigures("XTest press (with its round trip) to callback", latency);

    size_t before = seen.size();
    double processor = processorSeconds();
    double start = now();
    for (int round = 0; round < rounds; ++round)
        tapKey(KEY_B);
    ASSERT_TRUE(awaitEvents(before + 2 * rounds));
    printf("%-48s %d events in %.3f s, %.1f us of processor per event (this process)\n",
           "burst of key presses", 2 * rounds, now() - start,
           (processorSeconds() - processor) / (2 * rounds) * 1e6);

    std::vector<double> query;
    for (int round = 0; round < rounds; ++round) {
        double begin = now();
        keyDown(0x00);
        query.push_back(now() - begin);
    }
    printFigures("key state on the tap's connection", query);
    closeTap();

    query.clear();
    for (int round = 0; round < 100; ++round) {
        double begin = now();
        keyDown(0x00);
        query.push_back(now() - begin);
    }
    printFigures("key state on a connection of its own", query);

    ASSERT_NE(openTap(), nullptr);
    pauseXServer();
    query.clear();
    for (int round = 0; round < 20; ++round) {
        double begin = now();
        keyDown(0x00);
        query.push_back(now() - begin);
    }
    printFigures("key state, stopped server, with a tap", query);
    closeTap();
    query.clear();
    for (int round = 0; round < 20; ++round) {
        double begin = now();
        keyDown(0x00);
        query.push_back(now() - begin);
    }
    printFigures("key state, stopped server, without a tap", query);
    resumeXServer();

    ASSERT_NE(openTap(), nullptr);
    killXServer();
    ASSERT_TRUE(awaitEvents(1));
    processor = processorSeconds();
    runLoopFor(3);
    printf("%-48s %.3f ms of processor in 3 s\n", "tap away from its server",
           (processorSeconds() - processor) * 1e3);
    query.clear();
    for (int round = 0; round < 100; ++round) {
        double begin = now();
        keyDown(0x00);
        query.push_back(now() - begin);
    }
    printFigures("key state, no server", query);

    ASSERT_TRUE(restartXServer());
    double restarted = now();
    bool resumed = false;
    while (!resumed && now() - restarted < 15) {
        before = seen.size();
        tapKey(KEY_C);
        resumed = awaitEvents(before + 2, 0.05);
    }
    ASSERT_TRUE(resumed);
    printf("%-48s %.3f s (the tap tries once a second)\n", "new server to events again",
           now() - restarted);
    closeTap();
}

} // namespace
