#include "tracker.h"
#include "selftesting.h"

#include <cstdio>
#include <cstring>

const char *selection = nullptr;
bool capture = false;
bool held = false;
bool waitForRelease = false;
bool assigned = false;
bool testing = false;
uint32_t downs = 0;
uint32_t ups = 0;

void report(const char *text) {
    if (testing) {
        if (strcmp(text, "down") == 0)
            downs++;
        else if (strcmp(text, "up") == 0)
            ups++;
        return;
    }
    fputs(text, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

static void assign(const char *name, bool pressed, bool modified) {
    if (assigned || !pressed || modified)
        return;
    assigned = true;
    if (testing)
        return;
    printf("assign %s\n", name);
    fflush(stdout);
}

void controlInput(const char *name, bool pressed, bool released, bool modified, bool repeat) {
    if (name == nullptr)
        return;
    if (capture) {
        assign(name, pressed, modified);
        return;
    }
    if (selection == nullptr || strcmp(name, selection) != 0)
        return;
    if (released) {
        // A release ends an initial hold and a hold alike, modifiers or not.
        waitForRelease = false;
        if (held) {
            held = false;
            report("up");
        }
        return;
    }
    if (!pressed || held || waitForRelease || repeat)
        return;
    // A modifier refuses a key, since the user is typing a shortcut; a mouse button still counts.
    if (modified && strncmp(name, "Mouse", 5) != 0)
        return;
    held = true;
    report("down");
}

void releaseIfMissing(bool pressedNow) {
    if (capture)
        return;
    if (held) {
        if (pressedNow || selection == nullptr)
            return;
        waitForRelease = false;
        held = false;
        report("up");
        return;
    }
    if (waitForRelease && !pressedNow && selection != nullptr)
        waitForRelease = false;
}
