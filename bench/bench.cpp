// Latency, processor time, memory, start-up time, idleness and heap allocations of hold-listener
// against the floor (the least an XCB client of raw key events can do), on a private Xvfb with
// XTest input, in interleaved rounds. Prints one table; exits non-zero when a line is missed or
// invented, never for a figure.
//   hold-bench --listener PATH --floor PATH --counter PATH [--pairs N] [--rounds N]
//              [--allocation-events N] [--idle SECONDS] [--spread]
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint8_t keycodeA = 38; // the key at the A position; Xvfb's keycodes are kernel codes + 8
constexpr double pairSpacing = 0.002;
constexpr int lineTimeoutMs = 2000;

std::string listenerPath, floorPath, counterPath;
int pairs = 2000;
int rounds = 40;
int allocationEvents = 10000;
double idleSeconds = 3;
pid_t xvfb = -1;
xcb_connection_t *connection = nullptr;
int faults = 0;

double now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

void sleepUntil(double when) {
    double seconds = when - now();
    if (seconds <= 0)
        return;
    timespec time{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
    nanosleep(&time, nullptr);
}

// Which processor each side wakes on, and whether the one it wakes on was idle, moves latencies
// from run to run by more than the two sides differ. So unless `spread`, the server, the benchmark
// and every child share one processor, the last one allowed, and only the work done per event
// tells the sides apart.
bool spread = false;
int processor = -1;

void keepToOneProcessor() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (spread || sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            processor = cpu;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(processor, &only);
    if (sched_setaffinity(0, sizeof only, &only) != 0)
        processor = -1;
}

[[noreturn]] void fail(const std::string &problem) {
    fprintf(stderr, "bench: %s\n", problem.c_str());
    if (xvfb > 0)
        kill(xvfb, SIGTERM);
    exit(2);
}

std::string findXvfb() {
    const char *path = getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin";
    size_t start = 0;
    while (start <= directories.size()) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos)
            end = directories.size();
        std::string candidate = directories.substr(start, end - start) + "/Xvfb";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

// Xvfb writes its display number to -displayfd once it accepts connections.
void startXvfb() {
    std::string program = findXvfb();
    if (program.empty())
        fail("Xvfb is not installed");
    int ready[2];
    if (pipe(ready) != 0)
        fail("no pipe");
    xvfb = fork();
    if (xvfb == 0) {
        dup2(ready[1], 3);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execl(program.c_str(), "Xvfb", "-displayfd", "3", "-noreset", "-nolisten", "tcp", "-screen",
              "0", "640x480x24", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char number[32] = {};
    size_t length = 0;
    pollfd watched{ready[0], POLLIN, 0};
    while (length < sizeof number - 1 && poll(&watched, 1, 10000) > 0) {
        ssize_t count = read(ready[0], number + length, sizeof number - 1 - length);
        if (count <= 0)
            break;
        length += static_cast<size_t>(count);
        if (memchr(number, '\n', length) != nullptr)
            break;
    }
    close(ready[0]);
    if (length == 0)
        fail("Xvfb did not start");
    std::string display = ":" + std::to_string(atoi(number));
    setenv("DISPLAY", display.c_str(), 1);
    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection))
        fail("no connection to Xvfb");
}

// One XTest key event; the clock starts once the request has left for the server.
double injectKey(bool press) {
    xcb_test_fake_input(connection, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycodeA,
                        XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(connection);
    return now();
}

struct Child {
    const char *label;
    pid_t pid = -1;
    int input = -1;  // its standard input: closing it tells it to exit
    int output = -1; // its standard output
    std::string pending;
    double spawned = 0;
};

struct Figures {
    std::vector<double> press, release;
    std::vector<double> spawn;
    double processorSeconds = 0;
    long events = 0;
    long peakKiB = 0;
    double idleWakeups = -1, idleShare = -1; // per second, fraction of a core
    double allocationsFirst = -1, allocationsMany = -1;
};

// Time on a processor (ns) and times scheduled, over every thread.
void schedule(pid_t pid, double *seconds, double *slices) {
    *seconds = 0;
    *slices = 0;
    std::string directory = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(directory.c_str());
    if (tasks == nullptr)
        return;
    while (dirent *task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        FILE *file = fopen((directory + "/" + task->d_name + "/schedstat").c_str(), "r");
        if (file == nullptr)
            continue;
        unsigned long long running = 0, waiting = 0, count = 0;
        if (fscanf(file, "%llu %llu %llu", &running, &waiting, &count) == 3) {
            *seconds += static_cast<double>(running) * 1e-9;
            *slices += static_cast<double>(count);
        }
        fclose(file);
    }
    closedir(tasks);
}

// utime + stime from /proc/<pid>/stat, in seconds (clock ticks: coarse).
double statSeconds(pid_t pid) {
    FILE *file = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (file == nullptr)
        return 0;
    char text[1024] = {};
    size_t length = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[length] = 0;
    const char *field = strrchr(text, ')');
    if (field == nullptr)
        return 0;
    unsigned long utime = 0, stime = 0;
    sscanf(field + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peakKiB(pid_t pid) {
    FILE *file = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (file == nullptr)
        return 0;
    char line[256];
    long kib = 0;
    while (fgets(line, sizeof line, file) != nullptr)
        if (strncmp(line, "VmHWM:", 6) == 0)
            kib = atol(line + 6);
    fclose(file);
    return kib;
}

Child spawn(const char *label, const std::string &program, std::vector<std::string> arguments,
            const char *counterFile) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        fail("no pipe");
    Child child;
    child.label = label;
    child.spawned = now();
    child.pid = fork();
    if (child.pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (counterFile != nullptr) {
            setenv("LD_PRELOAD", counterPath.c_str(), 1);
            setenv("HOLD_BENCH_ALLOCATIONS", counterFile, 1);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (auto &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    child.input = in[1];
    child.output = out[0];
    return child;
}

// The next line from the child, its read time in *when; empty when none came in time.
std::string readLine(Child &child, double *when, int timeoutMs = lineTimeoutMs) {
    double deadline = now() + timeoutMs * 1e-3;
    for (;;) {
        size_t end = child.pending.find('\n');
        if (end != std::string::npos) {
            std::string line = child.pending.substr(0, end);
            child.pending.erase(0, end + 1);
            return line;
        }
        int left = static_cast<int>((deadline - now()) * 1e3);
        if (left < 0)
            return {};
        pollfd watched{child.output, POLLIN, 0};
        if (poll(&watched, 1, left) <= 0)
            return {};
        char buffer[256];
        ssize_t count = read(child.output, buffer, sizeof buffer);
        *when = now();
        if (count <= 0)
            return {};
        child.pending.append(buffer, static_cast<size_t>(count));
    }
}

// One line, which must be what is expected and come alone; a fault is counted and said.
bool expectLine(Child &child, const char *expected, double *when) {
    std::string line = readLine(child, when);
    if (line != expected) {
        ++faults;
        if (line.empty())
            printf("%s: missed line: expected \"%s\", none came\n", child.label, expected);
        else
            printf("%s: invented line: expected \"%s\", read \"%s\"\n", child.label, expected,
                   line.c_str());
        return false;
    }
    return true;
}

// Anything the child says unasked is an invented line.
void expectSilence(Child &child, int timeoutMs) {
    double when = 0;
    std::string line = readLine(child, &when, timeoutMs);
    if (!line.empty() || !child.pending.empty()) {
        ++faults;
        printf("%s: invented line: \"%s\" with nothing pressed\n", child.label,
               line.empty() ? child.pending.c_str() : line.c_str());
        child.pending.clear();
    }
}

void finish(Child &child) {
    close(child.input);
    // It says nothing more: it exits, and its pipe ends.
    for (;;) {
        double when = 0;
        std::string line = readLine(child, &when, 5000);
        if (line.empty())
            break;
        ++faults;
        printf("%s: invented line at exit: \"%s\"\n", child.label, line.c_str());
    }
    close(child.output);
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ++faults;
        printf("%s: exited with status %d\n", child.label, status);
    }
}

std::vector<std::string> argumentsOf(const Child *, bool listener) {
    if (listener)
        return {"--listen", "KeyA"};
    return {std::to_string(keycodeA)};
}

// A press and release pair, a line each; the next pair starts pairSpacing after this one.
bool pressAndRelease(Child &child, Figures *figures, double *next) {
    sleepUntil(*next);
    double sent = injectKey(true);
    *next = sent + pairSpacing;
    double read = 0;
    if (!expectLine(child, "down", &read))
        return false;
    if (figures != nullptr)
        figures->press.push_back(read - sent);
    sleepUntil(sent + pairSpacing / 2);
    sent = injectKey(false);
    if (!expectLine(child, "up", &read))
        return false;
    if (figures != nullptr)
        figures->release.push_back(read - sent);
    return true;
}

// Wake-ups and processor share of a process over a quiet spell.
struct IdleWatch {
    pid_t pid;
    double seconds, slices, begun;
};

IdleWatch startIdleWatch(pid_t pid) {
    IdleWatch watch{pid, 0, 0, 0};
    schedule(pid, &watch.seconds, &watch.slices);
    watch.begun = now();
    return watch;
}

void endIdleWatch(const IdleWatch &watch, Figures *figures) {
    double seconds = 0, slices = 0;
    schedule(watch.pid, &seconds, &slices);
    double span = now() - watch.begun;
    figures->idleWakeups = (slices - watch.slices) / span;
    figures->idleShare = (seconds - watch.seconds) / span;
}

void measureRound(bool listener, int count, bool idle, Figures *figures) {
    const std::string &program = listener ? listenerPath : floorPath;
    Child child = spawn(listener ? "hold-listener" : "floor", program,
                        argumentsOf(nullptr, listener), nullptr);
    double ready = 0;
    if (!expectLine(child, "ready", &ready)) {
        finish(child);
        return;
    }
    figures->spawn.push_back(ready - child.spawned);

    // A few pairs first, so neither side pays for its first events in the figures.
    double next = now();
    for (int pair = 0; pair < 5; ++pair)
        if (!pressAndRelease(child, nullptr, &next)) {
            finish(child);
            return;
        }
    double startSeconds, startSlices;
    schedule(child.pid, &startSeconds, &startSlices);
    double startStat = statSeconds(child.pid);
    for (int pair = 0; pair < count; ++pair)
        if (!pressAndRelease(child, figures, &next))
            break;
    double endSeconds, endSlices;
    schedule(child.pid, &endSeconds, &endSlices);
    (void)startStat;
    figures->processorSeconds += endSeconds - startSeconds;
    figures->events += 2L * count;

    if (idle) {
        // Let the last event settle, then watch it do nothing.
        expectSilence(child, 200);
        IdleWatch watch = startIdleWatch(child.pid);
        expectSilence(child, static_cast<int>(idleSeconds * 1e3));
        endIdleWatch(watch, figures);
    } else {
        expectSilence(child, 20);
    }
    figures->peakKiB = std::max(figures->peakKiB, peakKiB(child.pid));
    finish(child);
}

// What waking every 50 ms costs on this machine whatever the program: a child that does nothing
// but sleep 50 ms at a time, watched as the listener is while idle.
void measureSleeper(Figures *figures) {
    pid_t child = fork();
    if (child == 0) {
        timespec interval{0, 50'000'000};
        for (;;)
            nanosleep(&interval, nullptr);
    }
    usleep(200'000);
    IdleWatch watch = startIdleWatch(child);
    usleep(static_cast<useconds_t>(idleSeconds * 1e6));
    endIdleWatch(watch, figures);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

// Allocations per event once "ready" is out: over the first 10 events, and over allocationEvents.
void countAllocations(bool listener, Figures *figures) {
    char path[] = "/tmp/hold-bench-allocations-XXXXXX";
    int file = mkstemp(path);
    if (file < 0 || ftruncate(file, sizeof(uint64_t)) != 0)
        fail("no file for the allocation count");
    void *mapped = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    close(file);
    if (mapped == MAP_FAILED)
        fail("cannot map the allocation count");
    auto *allocations = static_cast<volatile uint64_t *>(mapped);
    const std::string &program = listener ? listenerPath : floorPath;
    Child child =
        spawn(listener ? "hold-listener" : "floor", program, argumentsOf(nullptr, listener), path);
    double when = 0;
    if (expectLine(child, "ready", &when)) {
        uint64_t atReady = *allocations;
        double next = now();
        bool ok = true;
        for (int pair = 0; ok && pair < 5; ++pair)
            ok = pressAndRelease(child, nullptr, &next);
        uint64_t afterFirst = *allocations;
        for (int pair = 0; ok && pair < allocationEvents / 2; ++pair) {
            next = now();
            ok = pressAndRelease(child, nullptr, &next);
        }
        uint64_t afterMany = *allocations;
        if (ok) {
            figures->allocationsFirst = static_cast<double>(afterFirst - atReady) / 10;
            figures->allocationsMany =
                static_cast<double>(afterMany - afterFirst) / (allocationEvents / 2 * 2);
        }
    }
    finish(child);
    munmap(mapped, sizeof(uint64_t));
    unlink(path);
}

double percentile(std::vector<double> values, double share) {
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

double median(std::vector<double> values) {
    return percentile(std::move(values), 0.5);
}

bool verdicts = true;

void row(const char *what, const char *unit, double mine, double floor, double bound) {
    double ratio = mine / floor;
    bool holds = ratio <= bound;
    if (!holds)
        verdicts = false;
    printf("| %-24s | %10.1f %-3s | %10.1f %-3s | %6.2f | <= %.2f | %-4s |\n", what, mine, unit,
           floor, unit, ratio, bound, holds ? "yes" : "NO");
}

void parse(int argc, char **argv) {
    for (int index = 1; index < argc; ++index) {
        std::string flag = argv[index];
        if (flag == "--spread") {
            spread = true;
            continue;
        }
        if (index + 1 >= argc)
            fail("usage: hold-bench --listener PATH --floor PATH --counter PATH [--pairs N] "
                 "[--rounds N] [--allocation-events N] [--idle SECONDS] [--spread]");
        const char *value = argv[++index];
        if (flag == "--listener")
            listenerPath = value;
        else if (flag == "--floor")
            floorPath = value;
        else if (flag == "--counter")
            counterPath = value;
        else if (flag == "--pairs")
            pairs = atoi(value);
        else if (flag == "--rounds")
            rounds = atoi(value);
        else if (flag == "--allocation-events")
            allocationEvents = atoi(value);
        else if (flag == "--idle")
            idleSeconds = atof(value);
        else
            fail("unknown flag " + flag);
    }
    if (listenerPath.empty() || floorPath.empty() || counterPath.empty() || pairs < 1 ||
        rounds < 1 || allocationEvents < 10)
        fail("need --listener, --floor and --counter, and positive counts");
}

} // namespace

int main(int argc, char **argv) {
    parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    keepToOneProcessor();
    startXvfb();

    Figures mine, floor;
    for (int round = 0; round < rounds; ++round) {
        int count = pairs / rounds + (round < pairs % rounds ? 1 : 0);
        bool listenerFirst = round % 2 == 0;
        for (int turn = 0; turn < 2; ++turn) {
            bool listener = (turn == 0) == listenerFirst;
            measureRound(listener, count, round == 0, listener ? &mine : &floor);
        }
    }
    Figures sleeper;
    measureSleeper(&sleeper);
    countAllocations(true, &mine);
    countAllocations(false, &floor);

    printf("\n%d press/release pairs each, %.0f ms apart, in %d interleaved rounds; Xvfb, XTest\n",
           pairs, pairSpacing * 1e3, rounds);
    if (processor >= 0)
        printf("server, benchmark and listeners on processor %d\n\n", processor);
    else
        printf("placed by the scheduler\n\n");
    printf("| %-24s | %-14s | %-14s | %-6s | %-7s | %-4s |\n", "figure", "hold-listener", "floor",
           "ratio", "target", "met");
    printf("|--------------------------|----------------|----------------|--------|---------|------"
           "|\n");
    row("press p50", "us", median(mine.press) * 1e6, median(floor.press) * 1e6, 1.10);
    row("press p99", "us", percentile(mine.press, 0.99) * 1e6, percentile(floor.press, 0.99) * 1e6,
        1.25);
    row("release p50", "us", median(mine.release) * 1e6, median(floor.release) * 1e6, 1.10);
    row("release p99", "us", percentile(mine.release, 0.99) * 1e6,
        percentile(floor.release, 0.99) * 1e6, 1.25);
    row("CPU per event", "us", mine.processorSeconds / static_cast<double>(mine.events) * 1e6,
        floor.processorSeconds / static_cast<double>(floor.events) * 1e6, 1.3);
    row("peak RSS", "KiB", static_cast<double>(mine.peakKiB), static_cast<double>(floor.peakKiB),
        1.5);
    row("spawn -> ready", "ms", median(mine.spawn) * 1e3, median(floor.spawn) * 1e3, 1.5);

    bool wakeupsHold = mine.idleWakeups >= 15 && mine.idleWakeups <= 25;
    bool idleHolds = mine.idleShare >= 0 && mine.idleShare < 0.0005;
    printf("| %-24s | %10.1f /s  | %10.1f /s  |        | ~20 /s  | %-4s |\n", "idle wake-ups",
           mine.idleWakeups, floor.idleWakeups, wakeupsHold ? "yes" : "NO");
    printf("| %-24s | %10.4f %%   | %10.4f %%   |        | <0.05 %% | %-4s |\n", "idle CPU",
           mine.idleShare * 100, floor.idleShare * 100, idleHolds ? "yes" : "NO");
    bool firstHolds = mine.allocationsFirst >= 0 && mine.allocationsFirst <= floor.allocationsFirst;
    bool manyHolds = mine.allocationsMany >= 0 && mine.allocationsMany <= floor.allocationsMany;
    printf("| %-24s | %10.2f     | %10.2f     |        | <=floor | %-4s |\n",
           "allocs/event, first 10", mine.allocationsFirst, floor.allocationsFirst,
           firstHolds ? "yes" : "NO");
    char many[32];
    snprintf(many, sizeof many, "allocs/event, next %d", allocationEvents);
    printf("| %-24s | %10.5f     | %10.5f     |        | <=floor | %-4s |\n", many,
           mine.allocationsMany, floor.allocationsMany, manyHolds ? "yes" : "NO");
    verdicts = verdicts && wakeupsHold && idleHolds && firstHolds && manyHolds;
    printf("\na process that only sleeps 50 ms at a time: %.1f wake-ups/s, %.4f %% of a core\n",
           sleeper.idleWakeups, sleeper.idleShare * 100);

    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    if (faults != 0) {
        printf("\nFAILED: %d missed or invented line(s)\n", faults);
        return 1;
    }
    printf("\nevery line as expected; targets %s\n", verdicts ? "all met" : "NOT all met");
    return 0;
}
