// The run loop as the listener relies on it: descriptor watches that call back once per enabling
// (also at end of file and for a closed descriptor), a tap's port, timers on a fixed schedule,
// stopping from a callback, and every object freed by its last release. Real pipes, real time.
#include "compat/CoreFoundation.h"
#include "compat/internal.h"
#include "compat/testing.h"

#include "allocations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <ostream>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Timers are converted between clocks once, which may shift them by microseconds; a loaded
// machine wakes late, never early. Lateness bounds only catch a wake at the wrong time
// altogether; schedule and drift are checked with finer measures.
constexpr double early = 0.002;
constexpr double late = 0.1;

double now() {
    return compatMonotonicNow();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void stopCurrentLoop() {
    CFRunLoopStop(CFRunLoopGetCurrent());
}

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;

    Pipe() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            readEnd = ends[0];
            writeEnd = ends[1];
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;

    // From a fixed buffer: callbacks send too, and must not allocate.
    void send(size_t count) const {
        static const char bytes[256] = {};
        while (count > 0) {
            size_t chunk = std::min(count, sizeof bytes);
            ssize_t written = write(writeEnd, bytes, chunk);
            EXPECT_EQ(written, static_cast<ssize_t>(chunk));
            if (written <= 0)
                return;
            count -= static_cast<size_t>(written);
        }
    }
    void closeRead() {
        if (readEnd >= 0)
            close(readEnd);
        readEnd = -1;
    }
    void closeWrite() {
        if (writeEnd >= 0)
            close(writeEnd);
        writeEnd = -1;
    }
};

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// A one-shot timer that stops the loop: the end of a test that waits for something not to
// happen, or the guard of one that waits for something that should.
struct StopAfter {
    bool fired = false;
    CFRunLoopTimerRef timer;

    explicit StopAfter(double seconds) {
        CFRunLoopTimerContext context{0, &fired, nullptr, nullptr, nullptr};
        timer = CFRunLoopTimerCreate(
            kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + seconds, 0, 0, 0,
            [](CFRunLoopTimerRef, void *info) {
                *static_cast<bool *>(info) = true;
                stopCurrentLoop();
            },
            &context);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
    }
    ~StopAfter() {
        CFRunLoopTimerInvalidate(timer);
        CFRelease(timer);
    }
    StopAfter(const StopAfter &) = delete;
    StopAfter &operator=(const StopAfter &) = delete;
};

constexpr double guardSeconds = 10;

struct Watched {
    CFFileDescriptorRef watch;
    CFRunLoopSourceRef source;
};

// A watch on fd in the current loop, made as the listener makes its standard-input watch.
Watched watchDescriptor(int fd, CFFileDescriptorCallBack callback, void *info,
                        bool closeOnInvalidate = false) {
    CFFileDescriptorContext context{0, info, nullptr, nullptr, nullptr};
    CFFileDescriptorRef watch =
        CFFileDescriptorCreate(kCFAllocatorDefault, fd, closeOnInvalidate, callback, &context);
    EXPECT_NE(watch, nullptr);
    CFRunLoopSourceRef source = CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, watch, 0);
    EXPECT_NE(source, nullptr);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
    return Watched{watch, source};
}

void unwatch(Watched watched) {
    CFFileDescriptorInvalidate(watched.watch);
    CFRelease(watched.source);
    CFRelease(watched.watch);
}

CFRunLoopTimerRef addTimer(double delay, double interval, CFRunLoopTimerCallBack callback,
                           void *info) {
    CFRunLoopTimerContext context{0, info, nullptr, nullptr, nullptr};
    CFRunLoopTimerRef timer =
        CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + delay, interval, 0,
                             0, callback, &context);
    EXPECT_NE(timer, nullptr);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
    return timer;
}

void removeTimer(CFRunLoopTimerRef timer) {
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);
}

// What a descriptor callback saw.
struct WatchLog {
    int fd = -1;
    int calls = 0;
    CFOptionFlags types = 0;
    ssize_t lastRead = 0;
    int lastError = 0;
    size_t bytesRead = 0;
    double at = 0;
};

WatchLog *logOf(void *info) {
    return static_cast<WatchLog *>(info);
}

void recordCall(CFFileDescriptorRef, CFOptionFlags types, void *info) {
    WatchLog *log = logOf(info);
    log->calls++;
    log->types = types;
    log->at = now();
}

void recordCallAndStop(CFFileDescriptorRef f, CFOptionFlags types, void *info) {
    recordCall(f, types, info);
    stopCurrentLoop();
}

// The listener's standard-input watch: at most 16 bytes a call, stop at end of file or error.
void readLikeTheListener(CFFileDescriptorRef f, CFOptionFlags types, void *info) {
    WatchLog *log = logOf(info);
    recordCall(f, types, info);
    char discarded[16];
    log->lastRead = read(log->fd, discarded, sizeof discarded);
    log->lastError = log->lastRead < 0 ? errno : 0;
    if (log->lastRead <= 0) {
        stopCurrentLoop();
        return;
    }
    log->bytesRead += static_cast<size_t>(log->lastRead);
    CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
}

// A tap's port with a scripted backend.
struct FakeTap {
    int fd = -1;
    bool pending = false;
    double wakeAt = 0;
    bool stopWhenServed = true;
    bool invalidateWhenServed = false;
    int serves = 0;
    int closes = 0;
    double servedAt = 0;
};

FakeTap *tapOf(CFMachPortRef port) {
    return static_cast<FakeTap *>(port->backend);
}

const CompatPortOps fakeTapOps = {
    [](CFMachPortRef port) { return tapOf(port)->fd; },
    [](CFMachPortRef port) { return tapOf(port)->pending; },
    [](CFMachPortRef port) { return tapOf(port)->wakeAt; },
    [](CFMachPortRef port) {
        FakeTap *tap = tapOf(port);
        tap->serves++;
        tap->servedAt = now();
        char drained[64];
        if (tap->fd >= 0)
            while (read(tap->fd, drained, sizeof drained) > 0) {
            }
        tap->pending = false;
        if (tap->wakeAt > 0 && tap->wakeAt <= tap->servedAt)
            tap->wakeAt = 0;
        if (tap->invalidateWhenServed)
            CFMachPortInvalidate(port);
        if (tap->stopWhenServed)
            stopCurrentLoop();
    },
    [](CFMachPortRef port) { tapOf(port)->closes++; },
};

struct Tapped {
    CFMachPortRef port;
    CFRunLoopSourceRef source;
};

Tapped addTap(FakeTap *tap) {
    CFMachPortRef port = compatCreateMachPort(&fakeTapOps, tap);
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
    EXPECT_NE(source, nullptr);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
    return Tapped{port, source};
}

// The listener's order of tear-down.
void removeTap(Tapped tapped) {
    CFMachPortInvalidate(tapped.port);
    CFRelease(tapped.source);
    CFRelease(tapped.port);
}

class RunLoopTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(compatLiveObjects(), 0); }
    void TearDown() override {
        compatFailCreation(nullptr);
        EXPECT_EQ(compatLiveObjects(), 0) << "an object outlived its last release";
    }
};

using DescriptorWatch = RunLoopTest;
using TapPort = RunLoopTest;
using Timer = RunLoopTest;
using Loop = RunLoopTest;

// --- Descriptor watches ---

TEST_F(DescriptorWatch, CallbacksStartDisabled) {
    Pipe pipe;
    pipe.send(1);
    WatchLog log;
    Watched watched = watchDescriptor(pipe.readEnd, recordCall, &log);
    {
        StopAfter stop(0.1);
        CFRunLoopRun();
        EXPECT_TRUE(stop.fired);
    }
    EXPECT_EQ(log.calls, 0);
    unwatch(watched);
}

TEST_F(DescriptorWatch, CallsBackOncePerEnabling) {
    Pipe pipe;
    pipe.send(10);
    WatchLog log;
    Watched watched = watchDescriptor(pipe.readEnd, recordCall, &log);
    // Enabling what is enabled already changes nothing: still one call.
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    for (int enabling = 1; enabling <= 2; ++enabling) {
        SCOPED_TRACE(enabling);
        if (enabling > 1)
            CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
        StopAfter stop(0.15);
        CFRunLoopRun();
        EXPECT_TRUE(stop.fired);
        EXPECT_EQ(log.calls, enabling) << "the data was left unread, yet one call per enabling";
        EXPECT_EQ(log.types, kCFFileDescriptorReadCallBack);
    }
    unwatch(watched);
}

TEST_F(DescriptorWatch, CallsBackForWritingWhenAskedTo) {
    Pipe pipe;
    WatchLog log;
    Watched watched = watchDescriptor(pipe.writeEnd, recordCallAndStop, &log);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorWriteCallBack);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.types, kCFFileDescriptorWriteCallBack);
    unwatch(watched);
}

struct InputCase {
    const char *name;
    size_t bytes;
    int calls; // one per 16 bytes read, and one for the end of file
};

void PrintTo(const InputCase &row, std::ostream *out) {
    *out << row.name;
}

class ListenerInput : public RunLoopTest, public testing::WithParamInterface<InputCase> {};

TEST_P(ListenerInput, IsConsumedThenEndOfFileStopsTheLoop) {
    const InputCase &row = GetParam();
    Pipe pipe;
    pipe.send(row.bytes);
    pipe.closeWrite();
    WatchLog log;
    log.fd = pipe.readEnd;
    Watched watched = watchDescriptor(pipe.readEnd, readLikeTheListener, &log);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    EXPECT_EQ(log.calls, row.calls);
    EXPECT_EQ(log.bytesRead, row.bytes);
    EXPECT_EQ(log.lastRead, 0) << "the last call reads the end of file";
    unwatch(watched);
}

INSTANTIATE_TEST_SUITE_P(Amounts, ListenerInput,
                         testing::Values(InputCase{"ClosedAtOnce", 0, 1},
                                         InputCase{"OneByte", 1, 2}, InputCase{"OneRead", 16, 2},
                                         InputCase{"SeveralReads", 40, 4},
                                         InputCase{"Many", 1000, 64}),
                         [](const testing::TestParamInfo<InputCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(DescriptorWatch, InputArrivingInChunksIsAllRead) {
    Pipe pipe;
    WatchLog log;
    log.fd = pipe.readEnd;
    Watched watched = watchDescriptor(pipe.readEnd, readLikeTheListener, &log);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    // A writer that sends 5 bytes a tick and hangs up after the fourth.
    struct Writer {
        Pipe *pipe;
        int ticks = 0;
    } writer{&pipe};
    CFRunLoopTimerRef timer = addTimer(
        0.01, 0.01,
        [](CFRunLoopTimerRef, void *info) {
            auto *writer = static_cast<Writer *>(info);
            if (++writer->ticks <= 4)
                writer->pipe->send(5);
            if (writer->ticks == 4)
                writer->pipe->closeWrite();
        },
        &writer);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    EXPECT_EQ(log.bytesRead, 20u);
    EXPECT_EQ(log.lastRead, 0);
    removeTimer(timer);
    unwatch(watched);
}

struct ClosedCase {
    const char *name;
    bool standardInput; // otherwise a pipe closed after its watch was enabled
};

void PrintTo(const ClosedCase &row, std::ostream *out) {
    *out << row.name;
}

class ClosedDescriptor : public RunLoopTest, public testing::WithParamInterface<ClosedCase> {};

// poll() reports a closed descriptor as POLLNVAL, not as readable: the loop must still call back,
// so that the read fails and the program stops, rather than spin without a call.
TEST_P(ClosedDescriptor, StillCallsBackAndTheReadFails) {
    const ClosedCase &row = GetParam();
    Pipe pipe;
    WatchLog log;
    int savedInput = -1;
    if (row.standardInput) {
        savedInput = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
        ASSERT_GE(savedInput, 0);
        log.fd = STDIN_FILENO;
    } else {
        log.fd = pipe.readEnd;
    }
    Watched watched = watchDescriptor(log.fd, readLikeTheListener, &log);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    if (row.standardInput)
        close(STDIN_FILENO);
    else
        pipe.closeRead();
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired) << "no callback for the closed descriptor";
    }
    if (row.standardInput) {
        dup2(savedInput, STDIN_FILENO);
        close(savedInput);
    }
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.lastRead, -1);
    EXPECT_EQ(log.lastError, EBADF);
    unwatch(watched);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, ClosedDescriptor,
                         testing::Values(ClosedCase{"StandardInput", true},
                                         ClosedCase{"PipeClosedAfterEnabling", false}),
                         [](const testing::TestParamInfo<ClosedCase> &info) {
                             return std::string(info.param.name);
                         });

class InvalidatedWatch : public RunLoopTest, public testing::WithParamInterface<bool> {};

TEST_P(InvalidatedWatch, LeavesTheLoopAndClosesOnlyWhenAskedTo) {
    bool closeOnInvalidate = GetParam();
    Pipe pipe;
    pipe.send(1);
    WatchLog log;
    Watched watched = watchDescriptor(
        pipe.readEnd,
        [](CFFileDescriptorRef f, CFOptionFlags types, void *info) {
            recordCall(f, types, info);
            CFFileDescriptorInvalidate(f);
        },
        &log, closeOnInvalidate);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    double started = now();
    // The watch is all the loop has: once it leaves, the run returns by itself.
    CFRunLoopRun();
    EXPECT_LT(now() - started, guardSeconds);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(isOpen(pipe.readEnd), !closeOnInvalidate);
    if (closeOnInvalidate)
        pipe.readEnd = -1;

    // Enabling an invalidated watch does nothing, and adding its source again neither.
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), watched.source, kCFRunLoopDefaultMode);
    CFRunLoopRun();
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, watched.watch, 0), nullptr);
    unwatch(watched);
}

INSTANTIATE_TEST_SUITE_P(CloseOnInvalidate, InvalidatedWatch, testing::Bool());

TEST_F(DescriptorWatch, InvalidatedByAnEarlierCallbackOfThePassNeverFires) {
    Pipe first, second;
    first.send(1);
    second.send(1);
    struct Pair {
        WatchLog logs[2];
        CFFileDescriptorRef watches[2];
    } pair{};
    auto invalidateTheOther = [](CFFileDescriptorRef f, CFOptionFlags types, void *info) {
        auto *pair = static_cast<Pair *>(info);
        int self = f == pair->watches[0] ? 0 : 1;
        recordCall(f, types, &pair->logs[self]);
        CFFileDescriptorInvalidate(pair->watches[1 - self]);
        stopCurrentLoop();
    };
    Watched a = watchDescriptor(first.readEnd, invalidateTheOther, &pair);
    Watched b = watchDescriptor(second.readEnd, invalidateTheOther, &pair);
    pair.watches[0] = a.watch;
    pair.watches[1] = b.watch;
    CFFileDescriptorEnableCallBacks(a.watch, kCFFileDescriptorReadCallBack);
    CFFileDescriptorEnableCallBacks(b.watch, kCFFileDescriptorReadCallBack);
    CFRunLoopRun();
    EXPECT_EQ(pair.logs[0].calls + pair.logs[1].calls, 1);
    {
        StopAfter stop(0.1);
        CFRunLoopRun();
    }
    EXPECT_EQ(pair.logs[0].calls + pair.logs[1].calls, 1);
    unwatch(a);
    unwatch(b);
}

// --- Contexts ---

struct ContextLog {
    int retains = 0;
    int releases = 0;
    void *seen = nullptr;
};

TEST_F(DescriptorWatch, ContextInfoIsRetainedOnceAndReleasedWithTheWatch) {
    Pipe pipe;
    pipe.send(1);
    ContextLog log;
    CFFileDescriptorContext context{0, &log,
                                    [](void *info) -> void * {
                                        static_cast<ContextLog *>(info)->retains++;
                                        return info;
                                    },
                                    [](void *info) { static_cast<ContextLog *>(info)->releases++; },
                                    nullptr};
    CFFileDescriptorRef watch = CFFileDescriptorCreate(
        kCFAllocatorDefault, pipe.readEnd, false,
        [](CFFileDescriptorRef, CFOptionFlags, void *info) {
            static_cast<ContextLog *>(info)->seen = info;
            stopCurrentLoop();
        },
        &context);
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(log.retains, 1);
    CFRunLoopSourceRef source = CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, watch, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
    CFFileDescriptorEnableCallBacks(watch, kCFFileDescriptorReadCallBack);
    CFRunLoopRun();
    EXPECT_EQ(log.seen, &log);
    CFFileDescriptorInvalidate(watch);
    CFRelease(source);
    EXPECT_EQ(log.releases, 0);
    CFRelease(watch);
    EXPECT_EQ(log.retains, 1);
    EXPECT_EQ(log.releases, 1);
}

TEST_F(Timer, ContextInfoIsRetainedOnceAndReleasedWithTheTimer) {
    ContextLog log;
    CFRunLoopTimerContext context{
        0, &log,
        [](const void *info) -> const void * {
            static_cast<ContextLog *>(const_cast<void *>(info))->retains++;
            return info;
        },
        [](const void *info) { static_cast<ContextLog *>(const_cast<void *>(info))->releases++; },
        nullptr};
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, CFAbsoluteTimeGetCurrent(), 0, 0, 0,
        [](CFRunLoopTimerRef, void *info) { static_cast<ContextLog *>(info)->seen = info; },
        &context);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(log.retains, 1);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
    CFRunLoopRun();
    EXPECT_EQ(log.seen, &log);
    EXPECT_EQ(log.releases, 0);
    CFRelease(timer);
    EXPECT_EQ(log.retains, 1);
    EXPECT_EQ(log.releases, 1);
}

// --- A tap's port ---

struct ServeCase {
    const char *name;
    bool readable;
    bool pending;
    double wakeDelay; // 0 for none
    double earliest;  // seconds after the run starts
};

void PrintTo(const ServeCase &row, std::ostream *out) {
    *out << row.name;
}

class PortServing : public RunLoopTest, public testing::WithParamInterface<ServeCase> {};

TEST_P(PortServing, HappensWhenThereIsSomethingToServe) {
    const ServeCase &row = GetParam();
    Pipe pipe;
    FakeTap tap;
    tap.fd = pipe.readEnd;
    tap.pending = row.pending;
    if (row.readable)
        pipe.send(3);
    double started = now();
    if (row.wakeDelay > 0)
        tap.wakeAt = started + row.wakeDelay;
    Tapped tapped = addTap(&tap);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    EXPECT_EQ(tap.serves, 1);
    EXPECT_GE(tap.servedAt - started, row.earliest - early);
    EXPECT_LE(tap.servedAt - started, row.earliest + late);
    removeTap(tapped);
    EXPECT_EQ(tap.closes, 1);
}

INSTANTIATE_TEST_SUITE_P(Reasons, PortServing,
                         testing::Values(ServeCase{"DescriptorReadable", true, false, 0, 0},
                                         ServeCase{"EventsAlreadyQueued", false, true, 0, 0},
                                         ServeCase{"WakeTimeReached", false, false, 0.1, 0.1}),
                         [](const testing::TestParamInfo<ServeCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(TapPort, WithoutDescriptorItIsServedByItsWakeTimeAlone) {
    FakeTap tap;
    double started = now();
    tap.wakeAt = started + 0.05;
    Tapped tapped = addTap(&tap);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    EXPECT_EQ(tap.serves, 1);
    EXPECT_GE(tap.servedAt - started, 0.05 - early);
    removeTap(tapped);
}

TEST_F(TapPort, InvalidatedPortIsNeverServedAndItsSourceLeavesTheLoop) {
    Pipe pipe;
    pipe.send(1);
    FakeTap tap;
    tap.fd = pipe.readEnd;
    Tapped tapped = addTap(&tap);
    CFMachPortInvalidate(tapped.port);
    EXPECT_FALSE(tapped.port->valid);
    EXPECT_EQ(compatLiveObjects(), 2) << "invalidation frees nothing the program holds";
    double started = now();
    CFRunLoopRun(); // the source was all the loop had
    EXPECT_LT(now() - started, guardSeconds);
    EXPECT_EQ(tap.serves, 0);
    EXPECT_EQ(CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tapped.port, 0), nullptr);
    CFRelease(tapped.source);
    EXPECT_EQ(tap.closes, 0);
    CFRelease(tapped.port);
    EXPECT_EQ(tap.closes, 1);
}

TEST_F(TapPort, InvalidatedWhileServedTheRunEnds) {
    FakeTap tap;
    tap.pending = true;
    tap.stopWhenServed = false;
    tap.invalidateWhenServed = true;
    Tapped tapped = addTap(&tap);
    double started = now();
    CFRunLoopRun();
    EXPECT_LT(now() - started, guardSeconds);
    EXPECT_EQ(tap.serves, 1);
    removeTap(tapped);
    EXPECT_EQ(tap.closes, 1);
}

TEST_F(TapPort, TheSourceKeepsThePortUntilBothAreReleased) {
    FakeTap tap;
    CFMachPortRef port = compatCreateMachPort(&fakeTapOps, &tap);
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
    ASSERT_NE(source, nullptr);
    // A port has one source; asking again gives it with another reference.
    CFRunLoopSourceRef again = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
    EXPECT_EQ(again, source);
    EXPECT_EQ(compatLiveObjects(), 2);
    CFRelease(again);
    CFRelease(port);
    EXPECT_EQ(tap.closes, 0) << "the source still holds the port";
    EXPECT_EQ(compatLiveObjects(), 2);
    CFRelease(source);
    EXPECT_EQ(tap.closes, 1);
}

// --- Timers ---

struct FirstFiringCase {
    const char *name;
    double delay; // of the fire date after creation; negative for one already past
};

void PrintTo(const FirstFiringCase &row, std::ostream *out) {
    *out << row.name;
}

class TimerFirstFiring : public RunLoopTest, public testing::WithParamInterface<FirstFiringCase> {};

TEST_P(TimerFirstFiring, ComesAtTheFireDate) {
    const FirstFiringCase &row = GetParam();
    double firedAt = 0;
    double created = now();
    CFRunLoopTimerRef timer = addTimer(
        row.delay, 10,
        [](CFRunLoopTimerRef, void *info) {
            *static_cast<double *>(info) = now();
            stopCurrentLoop();
        },
        &firedAt);
    CFRunLoopRun();
    double expected = std::max(row.delay, 0.0);
    EXPECT_GE(firedAt - created, expected - early);
    EXPECT_LE(firedAt - created, expected + late);
    removeTimer(timer);
}

INSTANTIATE_TEST_SUITE_P(Dates, TimerFirstFiring,
                         testing::Values(FirstFiringCase{"ListenerPoll", 0.05},
                                         FirstFiringCase{"Later", 0.2},
                                         FirstFiringCase{"AlreadyPast", -5}),
                         [](const testing::TestParamInfo<FirstFiringCase> &info) {
                             return std::string(info.param.name);
                         });

struct Firings {
    int wanted;
    double callbackTakes; // seconds of work in each call
    int count = 0;
    std::array<double, 64> at{};   // when each call began
    std::array<double, 64> done{}; // and ended
};

void recordFiring(CFRunLoopTimerRef, void *info) {
    auto *firings = static_cast<Firings *>(info);
    firings->at[firings->count] = now();
    if (firings->callbackTakes > 0)
        usleep(static_cast<useconds_t>(firings->callbackTakes * 1e6));
    firings->done[firings->count++] = now();
    if (firings->count == firings->wanted)
        stopCurrentLoop();
}

// A repeating timer's next firing: the first slot of its original schedule after its last call
// ended. The slots a late wake or a long call passed merge into that one.
double dueAfter(double origin, double interval, double lastCallEnded) {
    return origin + (std::floor((lastCallEnded - origin) / interval) + 1) * interval;
}

// Slow callbacks make a timer that is rescheduled from the end of its callback drift by their
// length every time; one on its original schedule does not.
TEST_F(Timer, RepeatsOnItsOriginalScheduleWithoutDrift) {
    constexpr double interval = 0.05;
    Firings firings{24, 0.02};
    double origin = now() + interval;
    CFRunLoopTimerRef timer = addTimer(interval, interval, recordFiring, &firings);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    ASSERT_EQ(firings.count, firings.wanted);
    // No firing comes before it is due. On schedule it comes as soon as the loop wakes; a
    // drifting timer comes half an interval after that slot on average.
    std::vector<double> lateness;
    for (int i = 0; i < firings.count; ++i) {
        double due = i == 0 ? origin : dueAfter(origin, interval, firings.done[i - 1]);
        SCOPED_TRACE(i);
        EXPECT_GE(firings.at[i], due - early) << "fired before its slot";
        lateness.push_back(firings.at[i] - due);
    }
    std::nth_element(lateness.begin(), lateness.begin() + lateness.size() / 2, lateness.end());
    EXPECT_LT(lateness[lateness.size() / 2], interval / 4)
        << "the firings drifted off the original schedule";
    removeTimer(timer);
}

// A repeating timer may fire a little late, so that two whose slots are close share one wake-up:
// each fires in the pass of the other, never before its own slot and never much after it.
TEST_F(Timer, RepeatingTimersWhoseSlotsAreCloseShareAWakeUp) {
    constexpr double interval = 0.05;
    constexpr double apart = 0.002; // inside the leeway of a tenth of the interval, up to 5 ms
    Firings first{8, 0}, second{8, 0};
    double origin = now() + interval;
    CFRunLoopTimerRef firstTimer = addTimer(interval, interval, recordFiring, &first);
    CFRunLoopTimerRef secondTimer = addTimer(interval + apart, interval, recordFiring, &second);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    ASSERT_EQ(first.count, first.wanted);
    int shared = 0;
    for (int i = 0; i < second.count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(first.at[i], origin + i * interval - early) << "fired before its slot";
        EXPECT_GE(second.at[i], origin + i * interval + apart - early) << "fired before its slot";
        if (std::abs(second.at[i] - first.at[i]) < apart / 4)
            ++shared;
    }
    // A loaded machine may wake late for one slot and so share it anyway, never the other way.
    EXPECT_GE(shared, second.count - 1) << "each timer woke the loop by itself";
    removeTimer(firstTimer);
    removeTimer(secondTimer);
}

// A stall elsewhere in the loop passes several slots; the timer then fires once, at once, and
// returns to its schedule.
TEST_F(Timer, SlotsMissedDuringAStallMergeIntoOneFiring) {
    constexpr double interval = 0.04;
    constexpr double stall = 0.22;
    struct Stall {
        Pipe pipe;
        Firings firings{8, 0};
        double began = 0;
        double ended = 0;
    } state;
    Watched watched = watchDescriptor(
        state.pipe.readEnd,
        [](CFFileDescriptorRef, CFOptionFlags, void *info) {
            auto *state = static_cast<Stall *>(info);
            state->began = now();
            usleep(static_cast<useconds_t>(stall * 1e6));
            state->ended = now();
        },
        &state);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    double origin = now() + interval;
    CFRunLoopTimerRef timer = addTimer(
        interval, interval,
        [](CFRunLoopTimerRef timer, void *info) {
            auto *state = static_cast<Stall *>(info);
            if (state->firings.count == 2)
                state->pipe.send(1);
            recordFiring(timer, &state->firings);
        },
        &state);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    ASSERT_EQ(state.firings.count, state.firings.wanted);
    const auto &at = state.firings.at;
    int after = 0;
    while (after < state.firings.count && at[after] < state.ended)
        ++after;
    ASSERT_EQ(after, 3) << "firings before the stall ended";
    EXPECT_LT(at[after] - state.ended, late) << "the merged firing comes when the stall ends";
    // A burst of catch-up calls would come before the slot each of them is due at.
    for (int i = 1; i < state.firings.count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(at[i], dueAfter(origin, interval, state.firings.done[i - 1]) - early)
            << "a call for a slot the stall passed";
    }
    EXPECT_LT(at[after + 1] - dueAfter(origin, interval, state.firings.done[after]), late)
        << "back on the original schedule";
    removeTimer(timer);
    unwatch(watched);
}

TEST_F(Timer, OneShotFiresOnceAndLeavesTheLoop) {
    Firings firings{100, 0};
    CFRunLoopTimerRef timer = addTimer(0.01, 0, recordFiring, &firings);
    // Added a second time, in the other mode: still one timer.
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
    double started = now();
    CFRunLoopRun(); // returns once the timer was all the loop had
    EXPECT_LT(now() - started, guardSeconds);
    EXPECT_EQ(firings.count, 1);
    EXPECT_EQ(compatLiveObjects(), 1) << "the program still holds the timer";
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
    CFRunLoopRun();
    EXPECT_EQ(firings.count, 1);
    CFRelease(timer);
}

TEST_F(Timer, InvalidatedTimerNeverFiresAgain) {
    struct Counted {
        int calls = 0;
    } counted;
    CFRunLoopTimerRef timer = addTimer(
        0.005, 0.005,
        [](CFRunLoopTimerRef timer, void *info) {
            if (++static_cast<Counted *>(info)->calls == 3)
                CFRunLoopTimerInvalidate(timer);
        },
        &counted);
    double started = now();
    CFRunLoopRun();
    EXPECT_LT(now() - started, guardSeconds);
    EXPECT_EQ(counted.calls, 3);
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);
}

// --- The loop ---

TEST_F(Loop, ReturnsAtOnceWithNothingToRun) {
    double started = now();
    CFRunLoopRun();
    EXPECT_LT(now() - started, 0.5);

    // Nor with what was added and then invalidated before the run.
    Pipe pipe;
    WatchLog log;
    Watched watched = watchDescriptor(pipe.readEnd, recordCall, &log);
    CFRunLoopTimerRef timer = addTimer(
        0.01, 0.01, [](CFRunLoopTimerRef, void *) {}, nullptr);
    CFFileDescriptorInvalidate(watched.watch);
    CFRunLoopTimerInvalidate(timer);
    started = now();
    CFRunLoopRun();
    EXPECT_LT(now() - started, 0.5);
    removeTimer(timer);
    unwatch(watched);
}

TEST_F(Loop, TheCurrentLoopBelongsToTheThreadAndIsNotALiveObject) {
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    EXPECT_NE(loop, nullptr);
    EXPECT_EQ(CFRunLoopGetCurrent(), loop);
    EXPECT_EQ(compatLiveObjects(), 0);
    CFRunLoopRef other = nullptr;
    std::thread([&other] { other = CFRunLoopGetCurrent(); }).join();
    EXPECT_NE(other, loop);
}

enum class Kind { watch, timer, tap };

// Something that is ready as soon as the loop runs, and stops the loop when served.
struct ReadyItem {
    Kind kind;
    int calls = 0;
    Pipe pipe;
    FakeTap tap;
    Watched watched{};
    Tapped tapped{};
    CFRunLoopTimerRef timer = nullptr;

    explicit ReadyItem(Kind kind) : kind(kind) {
        switch (kind) {
        case Kind::watch:
            pipe.send(1);
            watched = watchDescriptor(
                pipe.readEnd,
                [](CFFileDescriptorRef, CFOptionFlags, void *info) {
                    static_cast<ReadyItem *>(info)->calls++;
                    stopCurrentLoop();
                },
                this);
            CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
            break;
        case Kind::timer:
            timer = addTimer(
                -1, 0,
                [](CFRunLoopTimerRef, void *info) {
                    static_cast<ReadyItem *>(info)->calls++;
                    stopCurrentLoop();
                },
                this);
            break;
        case Kind::tap:
            tap.pending = true;
            tapped = addTap(&tap);
            break;
        }
    }
    ~ReadyItem() {
        if (watched.watch != nullptr)
            unwatch(watched);
        if (timer != nullptr)
            removeTimer(timer);
        if (tapped.port != nullptr)
            removeTap(tapped);
    }
    ReadyItem(const ReadyItem &) = delete;
    ReadyItem &operator=(const ReadyItem &) = delete;

    int served() const { return calls + tap.serves; }
};

struct StopCase {
    const char *name;
    Kind first;
    Kind second;
};

void PrintTo(const StopCase &row, std::ostream *out) {
    *out << row.name;
}

class StopFromCallback : public RunLoopTest, public testing::WithParamInterface<StopCase> {};

TEST_P(StopFromCallback, ReturnsRightAfterThatCallback) {
    const StopCase &row = GetParam();
    ReadyItem first(row.first);
    ReadyItem second(row.second);
    auto total = [&] { return first.served() + second.served(); };
    StopAfter guard(guardSeconds);
    CFRunLoopRun();
    EXPECT_EQ(total(), 1) << "both were ready, but the stop came after the first";
    CFRunLoopRun();
    EXPECT_EQ(total(), 2) << "the next run serves the other";
    EXPECT_FALSE(guard.fired);
}

INSTANTIATE_TEST_SUITE_P(Pairs, StopFromCallback,
                         testing::Values(StopCase{"TwoWatches", Kind::watch, Kind::watch},
                                         StopCase{"TimerAndWatch", Kind::timer, Kind::watch},
                                         StopCase{"TapAndWatch", Kind::tap, Kind::watch},
                                         StopCase{"WatchAndTap", Kind::watch, Kind::tap},
                                         StopCase{"TapAndTimer", Kind::tap, Kind::timer}),
                         [](const testing::TestParamInfo<StopCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(Loop, StopEndsOnlyTheInnermostRun) {
    struct Nest {
        Pipe pipe;
        Watched inner{};
        int innerCalls = 0;
        bool innerReturned = false;
        bool outerWentOn = false;
        CFRunLoopTimerRef later = nullptr;
    } nest;
    nest.pipe.send(1);
    CFRunLoopTimerRef timer = addTimer(
        0.01, 0,
        [](CFRunLoopTimerRef, void *info) {
            auto *nest = static_cast<Nest *>(info);
            nest->inner = watchDescriptor(
                nest->pipe.readEnd,
                [](CFFileDescriptorRef, CFOptionFlags, void *info) {
                    static_cast<Nest *>(info)->innerCalls++;
                    stopCurrentLoop();
                },
                nest);
            CFFileDescriptorEnableCallBacks(nest->inner.watch, kCFFileDescriptorReadCallBack);
            CFRunLoopRun();
            nest->innerReturned = true;
            unwatch(nest->inner);
            // Added after the inner run: only an outer run that went on can serve it.
            nest->later = addTimer(
                0.01, 0,
                [](CFRunLoopTimerRef, void *info) {
                    static_cast<Nest *>(info)->outerWentOn = true;
                    stopCurrentLoop();
                },
                nest);
        },
        &nest);
    StopAfter guard(guardSeconds);
    CFRunLoopRun();
    EXPECT_TRUE(nest.innerReturned);
    EXPECT_EQ(nest.innerCalls, 1);
    EXPECT_TRUE(nest.outerWentOn) << "the inner stop ended the outer run too";
    EXPECT_FALSE(guard.fired);
    if (nest.later != nullptr)
        removeTimer(nest.later);
    removeTimer(timer);
}

TEST_F(Loop, HoldsWhatIsAddedUntilItLeaves) {
    Pipe pipe;
    WatchLog log;
    Watched watched = watchDescriptor(pipe.readEnd, recordCallAndStop, &log);
    CFRelease(watched.source); // the loop's reference keeps it
    struct Ticks {
        int calls = 0;
        Pipe *pipe;
    } ticks{0, &pipe};
    CFRunLoopTimerRef timer = addTimer(
        0.005, 0.005,
        [](CFRunLoopTimerRef timer, void *info) {
            auto *ticks = static_cast<Ticks *>(info);
            if (++ticks->calls == 2) {
                ticks->pipe->send(1);
                CFRunLoopTimerInvalidate(timer); // frees it: the loop had the last reference
            }
        },
        &ticks);
    CFRelease(timer);
    EXPECT_EQ(compatLiveObjects(), 3);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    {
        StopAfter guard(guardSeconds);
        EXPECT_EQ(compatLiveObjects(), 4);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    EXPECT_EQ(ticks.calls, 2);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(compatLiveObjects(), 2) << "the timer went with its invalidation";
    CFFileDescriptorInvalidate(watched.watch);
    EXPECT_EQ(compatLiveObjects(), 1) << "the source went when it left the loop";
    CFRelease(watched.watch);
}

struct Worker {
    std::thread::id runner;
    CFRunLoopRef loop = nullptr;
    Pipe pipe;
    bool inside = false;
    int overlaps = 0;
    int strangers = 0;
    int ticks = 0;
    int reads = 0;
};

Worker *enterCallback(void *info) {
    auto *worker = static_cast<Worker *>(info);
    if (worker->inside)
        worker->overlaps++;
    if (std::this_thread::get_id() != worker->runner)
        worker->strangers++;
    worker->inside = true;
    return worker;
}

// Lingers a little, so that a second callback run at the same time would be seen.
void leaveCallback(Worker *worker) {
    usleep(500);
    worker->inside = false;
}

void runWorker(Worker *worker) {
    worker->runner = std::this_thread::get_id();
    worker->loop = CFRunLoopGetCurrent();
    Watched watched = watchDescriptor(
        worker->pipe.readEnd,
        [](CFFileDescriptorRef f, CFOptionFlags, void *info) {
            Worker *worker = enterCallback(info);
            char byte;
            while (read(worker->pipe.readEnd, &byte, 1) == 1)
                worker->reads++;
            leaveCallback(worker);
            CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
        },
        worker);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    CFRunLoopTimerRef timer = addTimer(
        0.002, 0.002,
        [](CFRunLoopTimerRef, void *info) {
            Worker *worker = enterCallback(info);
            worker->pipe.send(1);
            leaveCallback(worker);
            if (++worker->ticks == 30)
                stopCurrentLoop();
        },
        worker);
    CFRunLoopRun();
    removeTimer(timer);
    unwatch(watched);
}

// Each thread runs its own loop; every callback comes on the thread running that loop, and never
// while another callback of that loop is under way.
TEST_F(Loop, CallbacksComeOneAtATimeOnTheThreadRunningTheLoop) {
    Worker a, b;
    std::thread first(runWorker, &a);
    std::thread second(runWorker, &b);
    first.join();
    second.join();
    EXPECT_NE(a.loop, b.loop);
    for (Worker *worker : {&a, &b}) {
        EXPECT_EQ(worker->ticks, 30);
        EXPECT_GT(worker->reads, 0);
        EXPECT_EQ(worker->overlaps, 0);
        EXPECT_EQ(worker->strangers, 0);
    }
}

TEST_F(Loop, FailedCreationReturnsNullAndCreatesNothing) {
    Pipe pipe;
    FakeTap tap;
    CFFileDescriptorRef watch =
        CFFileDescriptorCreate(kCFAllocatorDefault, pipe.readEnd, false, recordCall, nullptr);
    CFMachPortRef port = compatCreateMachPort(&fakeTapOps, &tap);
    ASSERT_NE(watch, nullptr);
    ContextLog contextLog;
    CFFileDescriptorContext watchContext{0, &contextLog,
                                         [](void *info) -> void * {
                                             static_cast<ContextLog *>(info)->retains++;
                                             return info;
                                         },
                                         nullptr, nullptr};
    CFRunLoopTimerContext timerContext{0, &contextLog,
                                       [](const void *info) -> const void * {
                                           auto *log =
                                               static_cast<ContextLog *>(const_cast<void *>(info));
                                           log->retains++;
                                           return info;
                                       },
                                       nullptr, nullptr};
    // Each creation, named as the platform names it, and whether it returned something.
    struct Creation {
        const char *function;
        CFTypeRef (*create)(CFFileDescriptorRef, CFMachPortRef, CFFileDescriptorContext *,
                            CFRunLoopTimerContext *);
    };
    const Creation creations[] = {
        {"CFFileDescriptorCreate",
         [](CFFileDescriptorRef, CFMachPortRef, CFFileDescriptorContext *context,
            CFRunLoopTimerContext *) -> CFTypeRef {
             return CFFileDescriptorCreate(kCFAllocatorDefault, 0, false, recordCall, context);
         }},
        {"CFFileDescriptorCreateRunLoopSource",
         [](CFFileDescriptorRef watch, CFMachPortRef, CFFileDescriptorContext *,
            CFRunLoopTimerContext *) -> CFTypeRef {
             return CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, watch, 0);
         }},
        {"CFMachPortCreateRunLoopSource",
         [](CFFileDescriptorRef, CFMachPortRef port, CFFileDescriptorContext *,
            CFRunLoopTimerContext *) -> CFTypeRef {
             return CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
         }},
        {"CFRunLoopTimerCreate",
         [](CFFileDescriptorRef, CFMachPortRef, CFFileDescriptorContext *,
            CFRunLoopTimerContext *context) -> CFTypeRef {
             return CFRunLoopTimerCreate(
                 kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + 1, 1, 0, 0,
                 [](CFRunLoopTimerRef, void *) {}, context);
         }},
    };
    for (const Creation &failing : creations) {
        SCOPED_TRACE(failing.function);
        compatFailCreation(failing.function);
        for (const Creation &creation : creations) {
            SCOPED_TRACE(creation.function);
            long live = compatLiveObjects();
            int retains = contextLog.retains;
            CFTypeRef made = creation.create(watch, port, &watchContext, &timerContext);
            if (&creation == &failing) {
                EXPECT_EQ(made, nullptr);
                EXPECT_EQ(compatLiveObjects(), live);
                EXPECT_EQ(contextLog.retains, retains) << "the context was retained";
            } else {
                ASSERT_NE(made, nullptr) << "only the named creation fails";
                CFRelease(made);
            }
        }
        compatFailCreation(nullptr);
        CFTypeRef made = failing.create(watch, port, &watchContext, &timerContext);
        ASSERT_NE(made, nullptr) << "clearing the failure did not restore the creation";
        CFRelease(made);
    }
    CFRelease(watch);
    CFRelease(port);
}

// Waiting on a disabled watch, or one that has hung up, is no reason to wake.
TEST_F(Loop, IdleWatchesDoNotSpin) {
    Pipe hungUp, unread;
    hungUp.closeWrite();
    unread.send(1);
    WatchLog logs[2];
    Watched first = watchDescriptor(hungUp.readEnd, recordCall, &logs[0]);
    Watched second = watchDescriptor(unread.readEnd, recordCall, &logs[1]);
    double cpuBefore = cpuSeconds();
    {
        StopAfter stop(0.3);
        CFRunLoopRun();
        EXPECT_TRUE(stop.fired);
    }
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.05);
    EXPECT_EQ(logs[0].calls + logs[1].calls, 0);
    unwatch(first);
    unwatch(second);
}

// Signals cut the sleep short; the loop goes back to sleep until what it waited for.
TEST_F(Loop, InterruptedSleepIsResumed) {
    static std::atomic<int> signals{0};
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) { signals++; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a signal ends the poll with EINTR
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval every{{0, 3000}, {0, 3000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);

    Pipe pipe;
    WatchLog log;
    Watched watched = watchDescriptor(pipe.readEnd, recordCall, &log);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    double firedAt = 0;
    double created = now();
    CFRunLoopTimerRef timer = addTimer(
        0.15, 0,
        [](CFRunLoopTimerRef, void *info) {
            *static_cast<double *>(info) = now();
            stopCurrentLoop();
        },
        &firedAt);
    double cpuBefore = cpuSeconds();
    CFRunLoopRun();
    double cpuUsed = cpuSeconds() - cpuBefore;

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GT(signals.load(), 5);
    EXPECT_GE(firedAt - created, 0.15 - early);
    EXPECT_LE(firedAt - created, 0.15 + late);
    EXPECT_EQ(log.calls, 0);
    EXPECT_LT(cpuUsed, 0.1);
    removeTimer(timer);
    unwatch(watched);
}

// Below the number of watched descriptors, the descriptor limit makes every poll fail. The loop
// must neither spin nor stop: timers keep their schedule, and the watches are served once
// polling works again.
TEST_F(Loop, FailingPollNeitherSpinsNorLosesTheWatches) {
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    Pipe first, second;
    WatchLog logs[2];
    Watched a = watchDescriptor(first.readEnd, recordCallAndStop, &logs[0]);
    Watched b = watchDescriptor(second.readEnd, recordCallAndStop, &logs[1]);
    struct Failing {
        rlimit original;
        Pipe *pipe;
        Firings firings{12, 0};
        double cpuAtStart = 0;
        double cpuUsed = 0;
        double restoredAt = 0;
    } failing{original, &first};
    CFRunLoopTimerRef timer = addTimer(
        0, 0.02,
        [](CFRunLoopTimerRef timer, void *info) {
            auto *failing = static_cast<Failing *>(info);
            int count = failing->firings.count;
            if (count == 0) {
                rlimit one = failing->original;
                one.rlim_cur = 1;
                setrlimit(RLIMIT_NOFILE, &one);
                failing->cpuAtStart = cpuSeconds();
            } else if (count == 1) {
                failing->pipe->send(1); // readable, but unseen while polling fails
            } else if (count == 10 && failing->restoredAt == 0) {
                failing->cpuUsed = cpuSeconds() - failing->cpuAtStart;
                setrlimit(RLIMIT_NOFILE, &failing->original);
                failing->restoredAt = now();
            }
            if (count < 10)
                recordFiring(timer, &failing->firings);
        },
        &failing);
    CFFileDescriptorEnableCallBacks(a.watch, kCFFileDescriptorReadCallBack);
    CFFileDescriptorEnableCallBacks(b.watch, kCFFileDescriptorReadCallBack);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    setrlimit(RLIMIT_NOFILE, &original);
    ASSERT_EQ(failing.firings.count, 10);
    EXPECT_GT(failing.restoredAt, 0);
    EXPECT_LT(failing.cpuUsed, 0.05) << "the loop spun while poll failed";
    EXPECT_LT(failing.firings.at[9] - failing.firings.at[0], 9 * 0.02 + late)
        << "timers were held up by the failing poll";
    EXPECT_EQ(logs[0].calls, 1);
    EXPECT_GE(logs[0].at, failing.restoredAt);
    EXPECT_LT(logs[0].at - failing.restoredAt, 0.1 + late);
    removeTimer(timer);
    unwatch(a);
    unwatch(b);
}

// Once running, a wake-up (descriptor, port or timer) costs no allocation.
TEST_F(Loop, SteadyWakeUpsAllocateNothing) {
    struct Steady {
        Pipe pipe;
        FakeTap tap;
        int ticks = 0;
        int reads = 0;
        long allocationsAtStart = 0;
    } steady;
    steady.tap.stopWhenServed = false;
    Watched watched = watchDescriptor(
        steady.pipe.readEnd,
        [](CFFileDescriptorRef f, CFOptionFlags, void *info) {
            auto *steady = static_cast<Steady *>(info);
            char byte;
            while (read(steady->pipe.readEnd, &byte, 1) == 1)
                steady->reads++;
            CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
        },
        &steady);
    CFFileDescriptorEnableCallBacks(watched.watch, kCFFileDescriptorReadCallBack);
    Tapped tapped = addTap(&steady.tap);
    CFRunLoopTimerRef timer = addTimer(
        0.001, 0.001,
        [](CFRunLoopTimerRef, void *info) {
            auto *steady = static_cast<Steady *>(info);
            ++steady->ticks;
            if (steady->ticks == 20) {
                steady->allocationsAtStart = countedAllocations();
                countAllocations(true);
            }
            steady->pipe.send(1);
            steady->tap.pending = steady->ticks % 3 == 0;
            if (steady->ticks == 200) {
                countAllocations(false);
                stopCurrentLoop();
            }
        },
        &steady);
    {
        StopAfter guard(guardSeconds);
        CFRunLoopRun();
        EXPECT_FALSE(guard.fired);
    }
    countAllocations(false);
    EXPECT_EQ(steady.ticks, 200);
    EXPECT_GT(steady.reads, 100);
    EXPECT_GT(steady.tap.serves, 20);
    EXPECT_EQ(countedAllocations() - steady.allocationsAtStart, 0);
    removeTimer(timer);
    removeTap(tapped);
    unwatch(watched);
}

} // namespace
