#include "internal.h"
#include "testing.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <string>

const CFAllocatorRef kCFAllocatorDefault = nullptr;

namespace {

// Atomic because every thread may create and release objects on its own run loop.
std::atomic<long> liveObjects{0};

bool creationFailing = false;
std::string failingCreation;

// CFAbsoluteTime counts from 2001-01-01 00:00:00 GMT; the system clock from 1970.
constexpr double unixSecondsAtReferenceDate = 978307200.0;

double secondsOn(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void destroyMachPort(CompatObject *object) {
    auto *port = reinterpret_cast<CompatMachPort *>(object);
    port->valid = false;
    if (port->ops->close != nullptr)
        port->ops->close(port);
    delete port;
}

} // namespace

void compatInitObject(CompatObject *object, void (*destroy)(CompatObject *)) {
    object->references = 1;
    object->destroy = destroy;
    liveObjects.fetch_add(1, std::memory_order_relaxed);
}

void compatRetain(CompatObject *object) {
    object->references++;
}

void compatReleaseObject(CompatObject *object) {
    // Releasing what has no reference left is the caller's bug; the platform crashes on it too.
    if (object == nullptr || object->references <= 0)
        abort();
    if (--object->references > 0)
        return;
    liveObjects.fetch_sub(1, std::memory_order_relaxed);
    object->destroy(object);
}

void CFRelease(CFTypeRef cf) {
    compatReleaseObject(static_cast<CompatObject *>(const_cast<void *>(cf)));
}

bool compatCreationFails(const char *function) {
    return creationFailing && failingCreation == function;
}

void compatFailCreation(const char *function) {
    creationFailing = function != nullptr;
    failingCreation = function != nullptr ? function : "";
}

long compatLiveObjects(void) {
    return liveObjects.load(std::memory_order_relaxed);
}

CFMachPortRef compatCreateMachPort(const CompatPortOps *ops, void *backend) {
    auto *port = new CompatMachPort{};
    compatInitObject(&port->object, destroyMachPort);
    port->ops = ops;
    port->backend = backend;
    port->valid = true;
    return port;
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
    return secondsOn(CLOCK_REALTIME) - unixSecondsAtReferenceDate;
}

double compatMonotonicNow() {
    return secondsOn(CLOCK_MONOTONIC);
}
