// The run loop over ppoll(): one loop per thread, one sleep per pass, woken by a watched
// descriptor, a tap's port or a timer descriptor set for the earliest deadline. A pass collects
// what is ready, retains it, then calls back one at a time, so a callback may invalidate, release
// or add anything.
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <poll.h>
#include <sys/timerfd.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

struct CompatString {
    const char *name;
};

namespace {

const CompatString defaultModeName{"kCFRunLoopDefaultMode"};
const CompatString commonModesName{"kCFRunLoopCommonModes"};

} // namespace

const CFRunLoopMode kCFRunLoopDefaultMode = &defaultModeName;
const CFRunLoopMode kCFRunLoopCommonModes = &commonModesName;

namespace {

struct Ready {
    CompatObject *object; // retained until the pass ends
    CompatRunLoopSource *source;
    CompatRunLoopTimer *timer;
    CFOptionFlags types; // descriptor callbacks that came due
};

struct Pass {
    std::vector<pollfd> polled;
    std::vector<int> pollIndex; // for each of the loop's sources, its entry in polled or -1
    std::vector<Ready> ready;
};

} // namespace

struct CompatRunLoop {
    std::vector<CompatRunLoopSource *> sources; // each holds a reference
    std::vector<CompatRunLoopTimer *> timers;   // each holds a reference
    Pass outermost; // kept, and given room as things are added, so that a run allocates nothing
    int activations = 0; // nested CFRunLoopRun calls under way
    bool stopRequested = false;
    // A timer descriptor set for the earliest deadline and watched with the rest, so that a pass
    // that ends before it (one per event) neither arms nor cancels a kernel timer. Made when the
    // loop is first asked for, before the program watches anything, so that it can never take the
    // number of a watched descriptor that was closed. -1 when none could be had: each wait then
    // carries its own timeout.
    int wakeFd = -1;
    bool wakeMade = false;
    double wakeSetFor = -1; // the monotonic deadline wakeFd is set for, -1 when unset or expired
    ~CompatRunLoop();
};

struct CompatRunLoopSource {
    CompatObject object;
    CompatMachPort *port;             // what it serves: a tap's port,
    CompatFileDescriptor *descriptor; // or a descriptor watch; it holds a reference to either
    bool valid;
    bool serving; // its callback is under way: a nested run must not call it again
    std::vector<CompatRunLoop *> loops; // one entry per loop holding it
};

struct CompatFileDescriptor {
    CompatObject object;
    int fd;
    bool closeOnInvalidate;
    bool valid;
    CFOptionFlags enabled; // one-shot: each callback type is cleared when it fires
    CFFileDescriptorCallBack callout;
    CFFileDescriptorContext context;
    CompatRunLoopSource *source; // the one source made for it, while it lives
};

struct CompatRunLoopTimer {
    CompatObject object;
    double origin;   // monotonic time of the first firing, fixed at creation
    double interval; // seconds; not positive for a timer that fires once
    double slot;     // the next firing is slot intervals after origin
    CFRunLoopTimerCallBack callout;
    CFRunLoopTimerContext context;
    bool valid;
    bool firing;         // its callback is under way: a nested run must not call it again
    CompatRunLoop *loop; // at most one, which holds a reference
};

// CFRelease reaches these through their leading CompatObject.
static_assert(std::is_standard_layout_v<CompatRunLoopSource>);
static_assert(std::is_standard_layout_v<CompatFileDescriptor>);
static_assert(std::is_standard_layout_v<CompatRunLoopTimer>);
static_assert(std::is_standard_layout_v<CompatMachPort>);

namespace {

constexpr CFOptionFlags descriptorCallBacks =
    kCFFileDescriptorReadCallBack | kCFFileDescriptorWriteCallBack;

// How long to wait before watching descriptors again after ppoll failed for a reason other than
// a signal, so that a lasting failure (a lowered descriptor limit, no memory) does not spin.
constexpr double failedPollPause = 0.1;

// With a closed or broken descriptor the read has to run to find out; its failure is the news.
constexpr short readableEvents = POLLIN | POLLHUP | POLLERR | POLLNVAL;
constexpr short writableEvents = POLLOUT | POLLHUP | POLLERR | POLLNVAL;

thread_local CompatRunLoop currentLoop;

template <typename T>
void eraseFrom(std::vector<T *> &list, T *item) {
    auto at = std::find(list.begin(), list.end(), item);
    if (at != list.end())
        list.erase(at);
}

bool isIn(const CompatRunLoopSource *source, const CompatRunLoop *loop) {
    return std::find(source->loops.begin(), source->loops.end(), loop) != source->loops.end();
}

// There is one mode, the default one; the common modes include it.
bool runsInDefaultMode(CFRunLoopMode mode) {
    return mode == kCFRunLoopDefaultMode || mode == kCFRunLoopCommonModes;
}

void invalidateSource(CompatRunLoopSource *source) {
    if (!source->valid)
        return;
    source->valid = false;
    compatRetain(&source->object); // the loops may hold the last references
    for (CompatRunLoop *loop : source->loops) {
        eraseFrom(loop->sources, source);
        compatReleaseObject(&source->object);
    }
    source->loops.clear();
    compatReleaseObject(&source->object);
}

void destroySource(CompatObject *object) {
    auto *source = reinterpret_cast<CompatRunLoopSource *>(object);
    if (source->port != nullptr) {
        source->port->source = nullptr;
        compatReleaseObject(&source->port->object);
    } else {
        source->descriptor->source = nullptr;
        compatReleaseObject(&source->descriptor->object);
    }
    delete source;
}

CompatRunLoopSource *createSource(CompatMachPort *port, CompatFileDescriptor *descriptor) {
    auto *source = new CompatRunLoopSource{};
    compatInitObject(&source->object, destroySource);
    source->port = port;
    source->descriptor = descriptor;
    source->valid = true;
    compatRetain(port != nullptr ? &port->object : &descriptor->object);
    return source;
}

// Its source, if it had one, is gone already: the source held a reference to it.
void destroyFileDescriptor(CompatObject *object) {
    auto *f = reinterpret_cast<CompatFileDescriptor *>(object);
    if (f->valid && f->closeOnInvalidate)
        close(f->fd);
    if (f->context.release != nullptr)
        f->context.release(f->context.info);
    delete f;
}

void destroyTimer(CompatObject *object) {
    auto *timer = reinterpret_cast<CompatRunLoopTimer *>(object);
    if (timer->context.release != nullptr)
        timer->context.release(timer->context.info);
    delete timer;
}

// How late a repeating timer may fire, so that while other things wake the loop it fires in one of
// their passes rather than in a wake-up of its own. The schedule keeps to its slots regardless.
constexpr double leewayShare = 0.1;
constexpr double leewayLimit = 0.005;

double leeway(const CompatRunLoopTimer *timer) {
    return timer->interval > 0 ? std::min(timer->interval * leewayShare, leewayLimit) : 0;
}

double nextFiring(const CompatRunLoopTimer *timer) {
    return timer->slot == 0 ? timer->origin : timer->origin + timer->slot * timer->interval;
}

// The first slot of the original schedule after now: no drift, and the slots a stall went
// past merge into the one firing that has just been made.
void scheduleAfter(CompatRunLoopTimer *timer, double now) {
    double next =
        std::max(timer->slot + 1, std::floor((now - timer->origin) / timer->interval) + 1);
    if (timer->origin + next * timer->interval <= now)
        next += 1;
    timer->slot = next;
}

int portDescriptor(CompatMachPort *port) {
    return port->ops->descriptor != nullptr ? port->ops->descriptor(port) : -1;
}

bool portPending(CompatMachPort *port) {
    return port->ops->pending != nullptr && port->ops->pending(port);
}

double portWakeAt(CompatMachPort *port) {
    return port->ops->wakeAt != nullptr ? port->ops->wakeAt(port) : 0;
}

// What one activation of the loop keeps from pass to pass, so that steady passes allocate nothing.
timespec *timeoutUntil(double deadline, double now, timespec &storage) {
    if (deadline == std::numeric_limits<double>::infinity())
        return nullptr;
    double wait = std::max(0.0, deadline - now);
    double seconds = std::floor(wait);
    storage.tv_sec = static_cast<time_t>(std::min(seconds, 1e9));
    // Rounded up, so that a wake never comes before the deadline and turns into another wait.
    storage.tv_nsec = static_cast<long>(compatRoundUp((wait - seconds) * 1e9));
    if (storage.tv_nsec >= 1000000000L) {
        storage.tv_sec += 1;
        storage.tv_nsec -= 1000000000L;
    }
    return &storage;
}

// Sets the loop's timer descriptor for `deadline` unless it is set for it already; false when
// there is no descriptor to set.
bool setWake(CompatRunLoop *loop, double deadline) {
    if (loop->wakeFd < 0)
        return false;
    if (loop->wakeSetFor == deadline)
        return true;
    itimerspec setting{};
    timeoutUntil(deadline, 0, setting.it_value);
    if (timerfd_settime(loop->wakeFd, TFD_TIMER_ABSTIME, &setting, nullptr) != 0) {
        loop->wakeSetFor = -1;
        return false;
    }
    loop->wakeSetFor = deadline;
    return true;
}

// Room for everything the loop holds, so that arrays grow only when something is added. A running
// loop makes room at the start of its next pass: the present one may be walking its arrays.
void makeRoom(CompatRunLoop *loop) {
    if (loop->activations > 0)
        return;
    loop->outermost.polled.reserve(loop->sources.size() + 1);
    loop->outermost.pollIndex.reserve(loop->sources.size());
    loop->outermost.ready.reserve(loop->sources.size() + loop->timers.size());
}

// Returns the earliest monotonic time something must be served, waiting on descriptors meanwhile.
double watch(CompatRunLoop *loop, Pass &pass, double now) {
    double deadline = std::numeric_limits<double>::infinity();
    pass.polled.clear();
    pass.pollIndex.clear();
    pass.polled.reserve(loop->sources.size() + 1);
    pass.pollIndex.reserve(loop->sources.size());
    pass.ready.reserve(loop->sources.size() + loop->timers.size());
    for (CompatRunLoopSource *source : loop->sources) {
        int index = -1;
        if (source->serving) {
            // Left out of this (nested) pass.
        } else if (source->descriptor != nullptr) {
            CompatFileDescriptor *f = source->descriptor;
            short events = 0;
            if ((f->enabled & kCFFileDescriptorReadCallBack) != 0)
                events |= POLLIN;
            if ((f->enabled & kCFFileDescriptorWriteCallBack) != 0)
                events |= POLLOUT;
            if (events != 0) {
                index = static_cast<int>(pass.polled.size());
                pass.polled.push_back(pollfd{f->fd, events, 0});
            }
        } else {
            CompatMachPort *port = source->port;
            int fd = portDescriptor(port);
            if (fd >= 0) {
                index = static_cast<int>(pass.polled.size());
                pass.polled.push_back(pollfd{fd, POLLIN, 0});
            }
            if (portPending(port))
                deadline = now;
            double wake = portWakeAt(port);
            if (wake > 0)
                deadline = std::min(deadline, wake);
        }
        pass.pollIndex.push_back(index);
    }
    for (CompatRunLoopTimer *timer : loop->timers) {
        if (!timer->firing)
            deadline = std::min(deadline, nextFiring(timer) + leeway(timer));
    }
    return deadline;
}

// Sleeps until something is ready, or the deadline unless the loop's timer descriptor, among the
// polled ones, is set for it; false when a signal cut the sleep short.
bool sleepUntil(Pass &pass, double deadline, double now, bool woken) {
    timespec storage{};
    int count = ppoll(pass.polled.data(), pass.polled.size(),
                      woken ? nullptr : timeoutUntil(deadline, now, storage), nullptr);
    if (count >= 0)
        return true;
    if (errno == EINTR)
        return false;
    ppoll(nullptr, 0, timeoutUntil(std::min(deadline, now + failedPollPause), now, storage),
          nullptr);
    for (pollfd &entry : pass.polled)
        entry.revents = 0;
    return true;
}

void collectReady(CompatRunLoop *loop, Pass &pass, double now) {
    pass.ready.clear();
    for (size_t i = 0; i < loop->sources.size(); ++i) {
        CompatRunLoopSource *source = loop->sources[i];
        if (source->serving)
            continue;
        short revents = pass.pollIndex[i] >= 0 ? pass.polled[pass.pollIndex[i]].revents : 0;
        if (source->descriptor != nullptr) {
            CFOptionFlags types = 0;
            if ((revents & readableEvents) != 0)
                types |= kCFFileDescriptorReadCallBack;
            if ((revents & writableEvents) != 0)
                types |= kCFFileDescriptorWriteCallBack;
            types &= source->descriptor->enabled;
            if (types != 0)
                pass.ready.push_back(Ready{&source->object, source, nullptr, types});
        } else {
            double wake = portWakeAt(source->port);
            if (revents != 0 || portPending(source->port) || (wake > 0 && wake <= now))
                pass.ready.push_back(Ready{&source->object, source, nullptr, 0});
        }
    }
    // Timers after sources: a timer that came due while input was waiting does not hold it up.
    for (CompatRunLoopTimer *timer : loop->timers) {
        if (!timer->firing && now >= nextFiring(timer))
            pass.ready.push_back(Ready{&timer->object, nullptr, timer, 0});
    }
    for (Ready &entry : pass.ready)
        compatRetain(entry.object);
}

void fire(CompatRunLoop *loop, CompatRunLoopTimer *timer) {
    if (!timer->valid || timer->loop != loop || timer->firing)
        return;
    timer->firing = true;
    if (timer->callout != nullptr)
        timer->callout(timer, timer->context.info);
    timer->firing = false;
    if (!timer->valid)
        return;
    if (timer->interval > 0)
        scheduleAfter(timer, compatMonotonicNow());
    else
        CFRunLoopTimerInvalidate(timer);
}

void serve(CompatRunLoop *loop, const Ready &entry) {
    if (entry.timer != nullptr) {
        fire(loop, entry.timer);
        return;
    }
    CompatRunLoopSource *source = entry.source;
    if (!source->valid || source->serving || !isIn(source, loop))
        return;
    if (source->port != nullptr) {
        if (source->port->valid) {
            source->serving = true;
            source->port->ops->serve(source->port);
            source->serving = false;
        }
        return;
    }
    CompatFileDescriptor *f = source->descriptor;
    CFOptionFlags types = entry.types & f->enabled; // an earlier callback may have disabled it
    if (types == 0)
        return;
    f->enabled &= ~types;
    if (f->callout != nullptr) {
        source->serving = true;
        f->callout(f, types, f->context.info);
        source->serving = false;
    }
}

void runPass(CompatRunLoop *loop, Pass &pass) {
    double now = compatMonotonicNow();
    double deadline = watch(loop, pass, now);
    bool woken = deadline > now && deadline != std::numeric_limits<double>::infinity() &&
                 setWake(loop, deadline);
    if (woken)
        pass.polled.push_back(pollfd{loop->wakeFd, POLLIN, 0});
    if (!sleepUntil(pass, deadline, now, woken))
        return;
    if (woken && pass.polled.back().revents != 0)
        loop->wakeSetFor = -1; // it stays readable until it is set again
    collectReady(loop, pass, compatMonotonicNow());
    for (const Ready &entry : pass.ready) {
        serve(loop, entry);
        if (loop->stopRequested)
            break;
    }
    for (const Ready &entry : pass.ready)
        compatReleaseObject(entry.object);
}

} // namespace

CompatRunLoop::~CompatRunLoop() {
    // A thread's loop ends with the thread and lets go of whatever it still holds.
    while (!sources.empty()) {
        CompatRunLoopSource *source = sources.back();
        sources.pop_back();
        eraseFrom(source->loops, this);
        compatReleaseObject(&source->object);
    }
    while (!timers.empty()) {
        CompatRunLoopTimer *timer = timers.back();
        timers.pop_back();
        timer->loop = nullptr;
        compatReleaseObject(&timer->object);
    }
    if (wakeFd >= 0)
        close(wakeFd);
}

CFRunLoopRef CFRunLoopGetCurrent(void) {
    if (!currentLoop.wakeMade) {
        currentLoop.wakeMade = true;
        currentLoop.wakeFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    }
    return &currentLoop;
}

void CFRunLoopRun(void) {
    CompatRunLoop *loop = &currentLoop;
    Pass nested;
    Pass &pass = loop->activations == 0 ? loop->outermost : nested;
    loop->activations++;
    while (!loop->stopRequested && (!loop->sources.empty() || !loop->timers.empty()))
        runPass(loop, pass);
    loop->stopRequested = false;
    loop->activations--;
}

// Only a running loop has an activation to stop; a stop with none under way is forgotten.
void CFRunLoopStop(CFRunLoopRef rl) {
    if (rl->activations > 0)
        rl->stopRequested = true;
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    if (!runsInDefaultMode(mode) || !source->valid || isIn(source, rl))
        return;
    compatRetain(&source->object);
    rl->sources.push_back(source);
    source->loops.push_back(rl);
    makeRoom(rl);
}

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode) {
    if (!runsInDefaultMode(mode) || !timer->valid || timer->loop != nullptr)
        return;
    compatRetain(&timer->object);
    rl->timers.push_back(timer);
    timer->loop = rl;
    makeRoom(rl);
}

CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef, CFMachPortRef port, CFIndex) {
    if (compatCreationFails("CFMachPortCreateRunLoopSource") || !port->valid)
        return nullptr;
    if (port->source != nullptr) {
        compatRetain(&port->source->object);
        return port->source;
    }
    port->source = createSource(port, nullptr);
    return port->source;
}

void CFMachPortInvalidate(CFMachPortRef port) {
    if (!port->valid)
        return;
    port->valid = false;
    compatRetain(&port->object); // its source may hold the last reference
    if (port->source != nullptr)
        invalidateSource(port->source);
    compatReleaseObject(&port->object);
}

CFFileDescriptorRef CFFileDescriptorCreate(CFAllocatorRef, CFFileDescriptorNativeDescriptor fd,
                                           Boolean closeOnInvalidate,
                                           CFFileDescriptorCallBack callout,
                                           const CFFileDescriptorContext *context) {
    if (compatCreationFails("CFFileDescriptorCreate") || fd < 0)
        return nullptr;
    auto *f = new CompatFileDescriptor{};
    compatInitObject(&f->object, destroyFileDescriptor);
    f->fd = fd;
    f->closeOnInvalidate = closeOnInvalidate != 0;
    f->valid = true;
    f->callout = callout;
    if (context != nullptr) {
        f->context = *context;
        if (context->retain != nullptr)
            f->context.info = context->retain(context->info);
    }
    return f;
}

CFRunLoopSourceRef CFFileDescriptorCreateRunLoopSource(CFAllocatorRef, CFFileDescriptorRef f,
                                                       CFIndex) {
    if (compatCreationFails("CFFileDescriptorCreateRunLoopSource") || !f->valid)
        return nullptr;
    if (f->source != nullptr) {
        compatRetain(&f->source->object);
        return f->source;
    }
    f->source = createSource(nullptr, f);
    return f->source;
}

void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes) {
    if (f->valid)
        f->enabled |= callBackTypes & descriptorCallBacks;
}

void CFFileDescriptorInvalidate(CFFileDescriptorRef f) {
    if (!f->valid)
        return;
    f->valid = false;
    f->enabled = 0;
    compatRetain(&f->object); // its source may hold the last reference
    if (f->source != nullptr)
        invalidateSource(f->source);
    if (f->closeOnInvalidate)
        close(f->fd);
    compatReleaseObject(&f->object);
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags, CFIndex,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext *context) {
    if (compatCreationFails("CFRunLoopTimerCreate"))
        return nullptr;
    auto *timer = new CompatRunLoopTimer{};
    compatInitObject(&timer->object, destroyTimer);
    // Converted once: later changes of the wall clock do not move the schedule.
    timer->origin = compatMonotonicNow() + (fireDate - CFAbsoluteTimeGetCurrent());
    timer->interval = interval;
    timer->callout = callout;
    timer->valid = true;
    if (context != nullptr) {
        timer->context = *context;
        if (context->retain != nullptr)
            timer->context.info = const_cast<void *>(context->retain(context->info));
    }
    return timer;
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer) {
    if (!timer->valid)
        return;
    timer->valid = false;
    CompatRunLoop *loop = timer->loop;
    if (loop == nullptr)
        return;
    timer->loop = nullptr;
    eraseFrom(loop->timers, timer);
    compatReleaseObject(&timer->object);
}
