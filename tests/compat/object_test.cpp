// Reference counting, failure injection and the clocks under every compat object.
#include "compat/CoreFoundation.h"
#include "compat/internal.h"
#include "compat/testing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

namespace {

struct Backend {
    int closes = 0;
    bool validWhenClosed = true;
};

Backend *backendOf(CFMachPortRef port) {
    return static_cast<Backend *>(port->backend);
}

const CompatPortOps countingOps = {
    [](CFMachPortRef) { return -1; },
    [](CFMachPortRef) { return false; },
    [](CFMachPortRef) { return 0.0; },
    [](CFMachPortRef) {},
    [](CFMachPortRef port) {
        backendOf(port)->closes++;
        backendOf(port)->validWhenClosed = port->valid;
    },
};

TEST(Objects, EveryReferenceMustBeReleasedBeforeTheObjectGoes) {
    ASSERT_EQ(compatLiveObjects(), 0);
    Backend backend;
    CFMachPortRef port = compatCreateMachPort(&countingOps, &backend);
    EXPECT_EQ(compatLiveObjects(), 1);
    EXPECT_TRUE(port->valid);
    EXPECT_EQ(port->backend, &backend);

    compatRetain(&port->object);
    CFRelease(port);
    EXPECT_EQ(compatLiveObjects(), 1);
    EXPECT_EQ(backend.closes, 0);

    CFRelease(port);
    EXPECT_EQ(compatLiveObjects(), 0);
    EXPECT_EQ(backend.closes, 1);
    EXPECT_FALSE(backend.validWhenClosed);
}

TEST(ObjectsDeathTest, ReleasingNullCrashesAsOnThePlatform) {
    EXPECT_DEATH(CFRelease(nullptr), "");
}

TEST(Objects, OnlyTheNamedCreationFailsUntilCleared) {
    EXPECT_FALSE(compatCreationFails("CFRunLoopTimerCreate"));
    compatFailCreation("CFRunLoopTimerCreate");
    EXPECT_TRUE(compatCreationFails("CFRunLoopTimerCreate"));
    EXPECT_FALSE(compatCreationFails("CFFileDescriptorCreate"));
    EXPECT_FALSE(compatCreationFails("CFRunLoopTimer"));

    compatFailCreation("CFFileDescriptorCreate");
    EXPECT_FALSE(compatCreationFails("CFRunLoopTimerCreate"));
    EXPECT_TRUE(compatCreationFails("CFFileDescriptorCreate"));

    compatFailCreation(nullptr);
    EXPECT_FALSE(compatCreationFails("CFFileDescriptorCreate"));
}

TEST(Clocks, AbsoluteTimeCountsFromTheStartOf2001) {
    // 2001-01-01 00:00:00 GMT is 978307200 seconds after the Unix epoch.
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    double expected = static_cast<double>(wall.tv_sec) + wall.tv_nsec * 1e-9 - 978307200.0;
    EXPECT_NEAR(CFAbsoluteTimeGetCurrent(), expected, 0.5);
}

TEST(Clocks, MonotonicTimeIsTheSystemsMonotonicClockInSeconds) {
    timespec before{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    double first = compatMonotonicNow();
    double second = compatMonotonicNow();
    EXPECT_NEAR(first, static_cast<double>(before.tv_sec) + before.tv_nsec * 1e-9, 0.5);
    EXPECT_LE(first, second);
}

} // namespace
