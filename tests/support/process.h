// Running the program as a child process with pipes on its standard streams.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct Child {
    pid_t pid = -1;
    int input = -1;      // the child's standard input, for writing; -1 once closed
    int output = -1;     // the child's standard output, for reading
    int errors = -1;     // the child's standard error, for reading
    std::string pending; // output read but not yet taken as lines
};

// Starts program (argv[0] when empty) with argv; extra environment entries ("NAME=value") are
// added or replaced, and a value-less entry ("NAME") removes that variable.
Child spawnChild(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                 const std::string &program = "");

// Runs body in a forked copy of this process whose standard streams are pipes like a spawned
// child's; the copy exits with body's result.
Child forkChild(const std::function<int()> &body);

// The next line of the child's standard output without its newline, or "<timeout>" when none
// comes within the time, or "<eof>" when the output ends.
std::string readLine(Child &child, int timeoutMs = 2000);

// True when nothing at all arrives on standard output within the time.
bool quietFor(Child &child, int timeoutMs);

void closeInput(Child &child);

// Waits for the child to exit and returns its status (128 + signal when killed), or -1 when it
// does not exit within the time (it is then killed).
int waitChild(Child &child, int timeoutMs = 5000);

// Everything left on the child's standard error (reads until end of file).
std::string drainErrors(Child &child);

struct Outcome {
    int status;
    std::string output;
    std::string errors;
};

// Runs the program to its end with the given standard input (closed after it is written).
Outcome runToEnd(const std::vector<std::string> &argv, const std::string &input = "",
                 const std::vector<std::string> &env = {}, int timeoutMs = 5000,
                 const std::string &program = "");
