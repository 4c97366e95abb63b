// What a host may hand the listener as standard input: a closed descriptor, /dev/null, a
// descriptor it cannot read, a file, a pipe closed at once or after data, or a pipe held open and
// fed megabytes of binary data in odd chunks. The listener ends after "ready" with status 0 when
// its standard input ends or cannot be read, ignores whatever data comes, keeps reporting the
// selection meanwhile, and uses no CPU time while nothing happens.
#include "robust.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr uint16_t macSpace = 0x31;
constexpr int idleMs = 1000;
// A busy loop would take about all of it; waking for the poll's ticks takes next to nothing.
constexpr long idleCpuBoundMs = 150;

// The listener with this descriptor as its standard input, or with none when it is -1; run by
// the command of prefix when one is given; with its standard output and error closed when asked.
Child startWithInput(int input, const std::vector<std::string> &arguments,
                     const std::vector<std::string> &prefix = {}, bool closeOutputs = false,
                     const std::string &sanitizerOptions = "") {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    std::vector<std::string> argv = prefix;
    argv.push_back(HOLD_LISTENER);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char *> args;
    for (std::string &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    // Made before the fork: a writer thread may be running, so the child only duplicates
    // descriptors and executes.
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        std::string entryText = *entry;
        bool replaced = !sanitizerOptions.empty() && entryText.rfind("ASAN_OPTIONS=", 0) == 0;
        if (entryText.rfind("WAYLAND_DISPLAY=", 0) != 0 && !replaced)
            environment.push_back(entryText);
    }
    if (!sanitizerOptions.empty())
        environment.push_back("ASAN_OPTIONS=" + sanitizerOptions);
    std::vector<char *> envp;
    for (std::string &e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (input < 0)
            close(STDIN_FILENO);
        else
            dup2(input, STDIN_FILENO);
        if (closeOutputs) {
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
        } else {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    Child child;
    child.pid = pid;
    child.output = out[0];
    child.errors = err[0];
    return child;
}

std::string binaryData(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char &c : data)
        c = static_cast<char>(random());
    // Lines of the protocol among the noise change nothing either.
    for (size_t at = 0; at + 8 < size; at += 4099)
        data.replace(at, 8, "up\ndown\n");
    return data;
}

// Writes the data in chunks of odd sizes, then closes the descriptor when asked.
void feed(int fd, const std::string &data, bool closeAfter) {
    std::mt19937 random(7);
    for (size_t at = 0; at < data.size();) {
        size_t chunk = std::min<size_t>(data.size() - at, 1 + random() % 9973);
        ssize_t written = write(fd, data.data() + at, chunk);
        if (written <= 0)
            break;
        at += static_cast<size_t>(written);
    }
    if (closeAfter)
        close(fd);
}

struct Ending {
    const char *what;
    std::function<int()> makeInput; // the descriptor for standard input; -1 for none
};

class HostInput : public ::testing::Test {
  protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }
    std::vector<std::thread> writers;
    void TearDown() override {
        for (std::thread &writer : writers)
            writer.join();
    }
};

TEST_F(HostInput, AnInputThatEndsOrCannotBeReadEndsTheListenerAfterReady) {
    const std::string file = "/tmp/hold-input-" + std::to_string(getpid());
    const Ending endings[] = {
        {"a closed descriptor", [] { return -1; }},
        {"/dev/null", [] { return open("/dev/null", O_RDONLY | O_CLOEXEC); }},
        {"a descriptor open for writing only",
         [] { return open("/dev/null", O_WRONLY | O_CLOEXEC); }},
        {"a pipe closed at once",
         [] {
             int ends[2];
             pipe2(ends, O_CLOEXEC);
             close(ends[1]);
             return ends[0];
         }},
        {"a file of a megabyte of binary data",
         [&] {
             int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
             std::string data = binaryData(1 << 20, 1);
             (void)!write(fd, data.data(), data.size());
             lseek(fd, 0, SEEK_SET);
             unlink(file.c_str());
             return fd;
         }},
        {"a pipe closed after two megabytes of binary data",
         [this] {
             int ends[2];
             pipe2(ends, O_CLOEXEC);
             int writing = ends[1];
             writers.emplace_back([writing] { feed(writing, binaryData(2 << 20, 2), true); });
             return ends[0];
         }},
    };
    for (const Ending &ending : endings) {
        for (const std::vector<std::string> &arguments :
             {std::vector<std::string>{"--listen", "Space"},
              std::vector<std::string>{"--capture"}}) {
            SCOPED_TRACE(std::string(ending.what) + ", " + arguments[0]);
            int input = ending.makeInput();
            Child child = startWithInput(input, arguments);
            if (input >= 0)
                close(input);
            EXPECT_EQ(readLine(child, 10000), "ready");
            EXPECT_EQ(readLine(child, 10000), "<eof>");
            EXPECT_EQ(waitChild(child, 10000), 0);
            EXPECT_EQ(drainErrors(child), "");
            close(child.output);
            close(child.errors);
            for (std::thread &writer : writers)
                writer.join();
            writers.clear();
        }
    }
}

// With its standard output and error closed, the listener's first descriptors would be the
// server's connections, and its lines would go to the server. They must go nowhere.
TEST_F(HostInput, ClosedOutputsTakeNoLineToTheServer) {
    std::string strace = findProgram("strace");
    ASSERT_NE(strace, "") << "strace is not installed (scripts/install-deps installs it)";
    std::string log = "/tmp/hold-outputs-" + std::to_string(getpid());
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    // The sanitizer's leak check cannot stop the threads of a traced process.
    const char *sanitizer = getenv("ASAN_OPTIONS");
    Child child = startWithInput(
        ends[0], {"--listen", "Space"},
        {strace, "-f", "-qq", "-o", log, "-e", "trace=write,writev,connect,socket"}, true,
        std::string(sanitizer != nullptr ? sanitizer : "") + ":detect_leaks=0");
    close(ends[0]);
    // No line can tell that the listener is ready; its trace can.
    std::string trace;
    for (double start = nowMs(); trace.find("\"ready\\n\"") == std::string::npos;) {
        ASSERT_LT(nowMs() - start, 10000) << "no \"ready\" in the trace:\n" << trace;
        usleep(20000);
        std::ifstream file(log);
        trace.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    pressMacKey(macSpace);
    releaseMacKey(macSpace);
    close(ends[1]);
    EXPECT_EQ(waitChild(child, 10000), 0);
    std::ifstream file(log);
    trace.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    unlink(log.c_str());
    close(child.output);
    close(child.errors);

    std::istringstream calls(trace);
    int lines = 0;
    for (std::string call; std::getline(calls, call);) {
        std::smatch found;
        if (std::regex_search(
                call, found,
                std::regex("^\\d+ +(connect|socket|write|writev)\\((.*)\\) += (-?\\d+)"))) {
            std::string name = found[1].str(), arguments = found[2].str();
            int result = std::stoi(found[3].str());
            if (name == "socket" || name == "connect") {
                int descriptor = name == "socket" ? result : std::stoi(arguments);
                EXPECT_GT(descriptor, 2) << "a connection on a standard descriptor: " << call;
            } else if (std::regex_search(arguments, std::regex("\"(ready|down|up)\\\\n\""))) {
                ++lines;
                EXPECT_TRUE(arguments.rfind("1, ", 0) == 0 && result < 0)
                    << "a line went somewhere: " << call;
            }
        }
    }
    EXPECT_GE(lines, 1) << trace;
}

TEST_F(HostInput, DataOnAnOpenPipeIsIgnoredWhileTheSelectionIsReportedAndIdleCostsNothing) {
    Child child = startListener({"--listen", "Space"});
    ASSERT_EQ(readLine(child), "ready");

    long before = cpuMs(child.pid);
    EXPECT_TRUE(quietFor(child, idleMs));
    long idleAtStart = cpuMs(child.pid) - before;
    EXPECT_LT(idleAtStart, idleCpuBoundMs) << "CPU time over a second of waiting";

    // Four megabytes in odd chunks while the selection goes down and up: neither starves the
    // other, and the data is read (the writer would block for ever otherwise).
    std::atomic<bool> fed{false};
    std::string data = binaryData(4 << 20, 3);
    int input = child.input;
    double start = nowMs();
    std::thread writer([&] {
        feed(input, data, false);
        fed = true;
    });
    int rounds = 0;
    while (!fed || rounds < 3) {
        pressMacKey(macSpace);
        EXPECT_EQ(readLine(child), "down");
        releaseMacKey(macSpace);
        EXPECT_EQ(readLine(child), "up");
        if (++rounds > 2000 || HasFailure())
            break;
    }
    writer.join();
    double fedMs = nowMs() - start;
    EXPECT_TRUE(fed);

    before = cpuMs(child.pid);
    EXPECT_TRUE(quietFor(child, idleMs));
    long idleAfterData = cpuMs(child.pid) - before;
    EXPECT_LT(idleAfterData, idleCpuBoundMs) << "CPU time over a second after the data";

    // Held while idle: the poll asks the server every 50 ms, which must still cost next to nothing.
    pressMacKey(macSpace);
    EXPECT_EQ(readLine(child), "down");
    before = cpuMs(child.pid);
    EXPECT_TRUE(quietFor(child, idleMs));
    long idleHeld = cpuMs(child.pid) - before;
    EXPECT_LT(idleHeld, idleCpuBoundMs) << "CPU time over a second of a held selection";

    closeInput(child);
    EXPECT_EQ(readLine(child), "up");
    EXPECT_EQ(readLine(child), "<eof>");
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(drainErrors(child), "");
    releaseMacKey(macSpace);

    printf("host input: CPU time over %d ms idle: %ld ms at start, %ld ms after the data, "
           "%ld ms while held; 4 MiB read in %.0f ms with %d presses reported meanwhile\n",
           idleMs, idleAtStart, idleAfterData, idleHeld, fedMs, rounds);
    RecordProperty("idle_cpu_ms", std::to_string(idleAtStart));
    RecordProperty("held_idle_cpu_ms", std::to_string(idleHeld));
}

TEST_F(HostInput, CaptureIdlesWithoutCost) {
    Child child = startListener({"--capture"});
    ASSERT_EQ(readLine(child), "ready");
    long before = cpuMs(child.pid);
    EXPECT_TRUE(quietFor(child, idleMs));
    long idle = cpuMs(child.pid) - before;
    EXPECT_LT(idle, idleCpuBoundMs);
    closeInput(child);
    EXPECT_EQ(readLine(child), "<eof>");
    EXPECT_EQ(waitChild(child), 0);
    printf("host input: capture, CPU time over %d ms idle: %ld ms\n", idleMs, idle);
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
    return RUN_ALL_TESTS();
}
