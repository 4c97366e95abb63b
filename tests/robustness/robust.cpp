#include "robust.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

Child startListener(const std::vector<std::string> &arguments,
                    const std::vector<std::string> &prefix, const std::vector<std::string> &env) {
    std::vector<std::string> argv = prefix;
    argv.push_back(HOLD_LISTENER);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // Only the X server is to be listened to, whatever the test's own session offers.
    std::vector<std::string> changes = {"WAYLAND_DISPLAY"};
    changes.insert(changes.end(), env.begin(), env.end());
    return spawnChild(argv, changes);
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string field;
    while (status >> field) {
        if (field == "VmRSS:") {
            long value = -1;
            status >> value;
            return value;
        }
    }
    return -1;
}

long cpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are counted from its closing ')'.
    size_t end = text.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stol(field);
        if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return (utime + stime) * 1000 / sysconf(_SC_CLK_TCK);
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string findProgram(const std::string &name) {
    const char *path = getenv("PATH");
    std::istringstream directories(std::string(path != nullptr ? path : "") + ":/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        std::string candidate = directory + "/" + name;
        if (!directory.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}
