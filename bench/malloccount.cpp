// Counts heap allocations of the process it is preloaded into: every malloc, calloc, realloc,
// aligned allocation and operator new goes through malloc or one of these. The count lives in a
// file named by HOLD_BENCH_ALLOCATIONS, mapped shared, so the benchmark reads it while we run.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *__libc_memalign(size_t, size_t);

namespace {

std::atomic<uint64_t> early{0};
std::atomic<uint64_t> *shared = nullptr;

void count() {
    if (shared != nullptr)
        shared->fetch_add(1, std::memory_order_relaxed);
    else
        early.fetch_add(1, std::memory_order_relaxed);
}

__attribute__((constructor)) void mapCount() {
    const char *path = getenv("HOLD_BENCH_ALLOCATIONS");
    if (path == nullptr)
        return;
    int file = open(path, O_RDWR);
    if (file < 0)
        return;
    void *mapped = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    close(file);
    if (mapped == MAP_FAILED)
        return;
    shared = static_cast<std::atomic<uint64_t> *>(mapped);
    shared->fetch_add(early.load());
}

} // namespace

extern "C" {

void *malloc(size_t size) {
    count();
    return __libc_malloc(size);
}

void *calloc(size_t members, size_t size) {
    count();
    return __libc_calloc(members, size);
}

void *realloc(void *pointer, size_t size) {
    count();
    return __libc_realloc(pointer, size);
}

void *memalign(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **result, size_t alignment, size_t size) {
    count();
    void *pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr)
        return 12; // ENOMEM
    *result = pointer;
    return 0;
}
}
