// The command-line matcher over argument vectors made of arbitrary bytes. The input is split at
// its zero bytes into the elements of argv, the first being the program's name. Whatever the
// vector, the matcher must accept only the four forms, hand the listener a supported name that
// points into argv, and never look at the program's name.
#include "app/commandline.h"
#include "core/keys.h"
#include "core/tracker.h"

#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The input names, written out again so that the check does not lean on the program's table.
const char *const inputNames[] = {
    "KeyA",   "KeyB",   "KeyC",   "KeyD",   "KeyE",   "KeyF",      "KeyG",        "KeyH",
    "KeyI",   "KeyJ",   "KeyK",   "KeyL",   "KeyM",   "KeyN",      "KeyO",        "KeyP",
    "KeyQ",   "KeyR",   "KeyS",   "KeyT",   "KeyU",   "KeyV",      "KeyW",        "KeyX",
    "KeyY",   "KeyZ",   "Digit0", "Digit1", "Digit2", "Digit3",    "Digit4",      "Digit5",
    "Digit6", "Digit7", "Digit8", "Digit9", "Space",  "Backquote", "F6",          "F7",
    "F8",     "F9",     "F10",    "F11",    "F12",    "MouseBack", "MouseMiddle", "MouseForward",
};

bool isInputName(const char *text) {
    for (const char *name : inputNames) {
        if (strcmp(name, text) == 0)
            return true;
    }
    return false;
}

void check(bool condition, const char *promise) {
    if (!condition) {
        fprintf(stderr, "broken: %s\n", promise);
        abort();
    }
}

// The program's name lives here, poisoned while the matcher runs, so that reading it trips
// AddressSanitizer.
alignas(64) char programName[64];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The elements, each followed by its terminating zero.
    std::vector<std::string> pieces;
    if (size > 0) {
        pieces.emplace_back();
        for (size_t i = 0; i < size; ++i) {
            if (data[i] == 0)
                pieces.emplace_back();
            else
                pieces.back().push_back(static_cast<char>(data[i]));
        }
    }
    int argc = static_cast<int>(pieces.size());
    std::vector<const char *> argv;
    for (int i = 0; i < argc; ++i)
        argv.push_back(i == 0 ? programName : pieces[static_cast<size_t>(i)].c_str());
    argv.push_back(nullptr);
    if (argc > 0)
        snprintf(programName, sizeof programName, "%s", pieces[0].c_str());

    // Whatever the tracker held before must not leak into the answer.
    static const char stale[] = "stale";
    selection = stale;
    capture = size % 2 == 0;

    ASAN_POISON_MEMORY_REGION(programName, sizeof programName);
    Mode mode = matchCommandLine(argc, argv.data());
    ASAN_UNPOISON_MEMORY_REGION(programName, sizeof programName);

    const char *first = argc > 1 ? argv[1] : "";
    bool one = argc == 2, two = argc == 3;
    switch (mode) {
    case modeSelfTest:
        check(one && strcmp(first, "--self-test") == 0, "self-test only as the sole argument");
        break;
    case modeRequestPermission:
        check(one && strcmp(first, "--request-permission") == 0,
              "permission request only as the sole argument");
        break;
    case modeListen:
        if (capture) {
            check(one && strcmp(first, "--capture") == 0, "capture only as the sole argument");
            check(selection == nullptr, "capture has no selection");
        } else {
            check(two && strcmp(first, "--listen") == 0, "listen only with one name");
            check(selection == argv[2], "the selection is the argument itself");
            check(isInputName(selection) && supported(selection), "the selection is a name");
        }
        break;
    case modeUsage: {
        bool accepted = (one && (strcmp(first, "--self-test") == 0 ||
                                 strcmp(first, "--request-permission") == 0 ||
                                 strcmp(first, "--capture") == 0)) ||
                        (two && strcmp(first, "--listen") == 0 && isInputName(argv[2]));
        check(!accepted, "every one of the four forms is accepted");
        break;
    }
    default:
        check(false, "the answer is one of the modes");
    }
    // The table and the independent list agree on every element given.
    for (int i = 1; i < argc; ++i)
        check(supported(argv[i]) == isInputName(argv[i]), "supported knows exactly the names");
    return 0;
}
