// What the robustness tests share: the built program as a host starts it, and what /proc tells
// about a running child.
#pragma once

#include "process.h"

#include <string>
#include <sys/types.h>
#include <vector>

// The listener with these arguments, its standard streams piped, on the private X server; run
// by the command of prefix when one is given, with env's changes to the environment.
Child startListener(const std::vector<std::string> &arguments,
                    const std::vector<std::string> &prefix = {},
                    const std::vector<std::string> &env = {});

// The resident set size in KiB, or -1 when the process is gone.
long residentKiB(pid_t pid);

// User and system CPU time in milliseconds, or -1 when the process is gone.
long cpuMs(pid_t pid);

// Milliseconds on a clock that never jumps.
double nowMs();

// The full path of an installed program found on PATH, or "" when there is none.
std::string findProgram(const std::string &name);
