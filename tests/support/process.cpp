#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char **environ;

namespace {

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string> &changes) {
    std::vector<std::string> merged;
    for (char **entry = environ; *entry != nullptr; entry++)
        merged.emplace_back(*entry);
    for (const std::string &change : changes) {
        std::string name = change.substr(0, change.find('='));
        std::erase_if(merged, [&](const std::string &e) {
            return e.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (change.find('=') != std::string::npos)
            merged.push_back(change);
    }
    return merged;
}

// Waits up to timeoutMs for fd to be readable (or at its end).
bool readable(int fd, long long timeoutMs) {
    if (timeoutMs < 0)
        timeoutMs = 0;
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int r = poll(&p, 1, static_cast<int>(timeoutMs));
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0;
    }
}

} // namespace

Child spawnChild(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                 const std::string &program) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    std::vector<std::string> environment = mergedEnvironment(env);
    std::vector<char *> args, envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &e : environment)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(program.empty() ? args[0] : program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    Child child;
    child.pid = pid;
    child.input = in[1];
    child.output = out[0];
    child.errors = err[0];
    return child;
}

Child forkChild(const std::function<int()> &body) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // The copy must not hold the host's ends, or its standard input never ends.
        close(in[1]);
        close(out[0]);
        close(err[0]);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        int status = body();
        fflush(nullptr);
        _exit(status);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    Child child;
    child.pid = pid;
    child.input = in[1];
    child.output = out[0];
    child.errors = err[0];
    return child;
}

std::string readLine(Child &child, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        size_t newline = child.pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = child.pending.substr(0, newline);
            child.pending.erase(0, newline + 1);
            return line;
        }
        long long left = deadline - nowMs();
        if (left <= 0 || !readable(child.output, left))
            return "<timeout>";
        char buffer[256];
        ssize_t n = read(child.output, buffer, sizeof buffer);
        if (n <= 0)
            return child.pending.empty() ? "<eof>" : std::exchange(child.pending, "");
        child.pending.append(buffer, static_cast<size_t>(n));
    }
}

bool quietFor(Child &child, int timeoutMs) {
    if (!child.pending.empty())
        return false;
    if (!readable(child.output, timeoutMs))
        return true;
    char buffer[256];
    ssize_t n = read(child.output, buffer, sizeof buffer);
    if (n > 0)
        child.pending.append(buffer, static_cast<size_t>(n));
    return n <= 0;
}

void closeInput(Child &child) {
    if (child.input >= 0)
        close(child.input);
    child.input = -1;
}

int waitChild(Child &child, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(child.pid, &status, WNOHANG);
        if (r == child.pid) {
            child.pid = -1;
            closeInput(child);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (nowMs() >= deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            child.pid = -1;
            closeInput(child);
            return -1;
        }
        usleep(1000);
    }
}

std::string drainErrors(Child &child) {
    std::string text;
    char buffer[256];
    while (readable(child.errors, 2000)) {
        ssize_t n = read(child.errors, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

Outcome runToEnd(const std::vector<std::string> &argv, const std::string &input,
                 const std::vector<std::string> &env, int timeoutMs, const std::string &program) {
    Child child = spawnChild(argv, env, program);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty())
        (void)!write(child.input, input.data(), input.size());
    closeInput(child);
    Outcome outcome{};
    std::string line;
    char buffer[256];
    long long deadline = nowMs() + timeoutMs;
    while (readable(child.output, deadline - nowMs())) {
        ssize_t n = read(child.output, buffer, sizeof buffer);
        if (n <= 0)
            break;
        outcome.output.append(buffer, static_cast<size_t>(n));
    }
    outcome.status = waitChild(child, static_cast<int>(std::max(0LL, deadline - nowMs())));
    outcome.errors = drainErrors(child);
    close(child.output);
    close(child.errors);
    return outcome;
}
