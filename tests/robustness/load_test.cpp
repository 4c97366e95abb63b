// A burst of 20,000 XTest events, other keys and buttons mixed with the selection, sent as fast
// as the connection takes them: every press and release of the selection must be reported, in
// order, and nothing else; the listener's memory must not grow from burst to burst. Prints the
// figures it measures.
#include "robust.h"
#include "xserver.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr int burstEvents = 20000;
constexpr int warmUpBursts = 4;
constexpr int bursts = 16; // those after the warm-up must not make the listener grow
// A burst that the listener falls behind on waits in its connection's queue, up to a whole burst
// of events (a megabyte and a half); the high-water mark of the heap follows that backlog. A
// leak of even one small block per event would add over seven megabytes after the warm-up.
constexpr long growthBoundKiB = 3072;
constexpr int keycodeOffset = 8;

struct Fake {
    uint8_t type; // XCB_KEY_PRESS, XCB_KEY_RELEASE, XCB_BUTTON_PRESS or XCB_BUTTON_RELEASE
    uint8_t detail;
};

// Other inputs, named or not, none of them a modifier: each goes down and later up again.
const Fake others[] = {
    {XCB_KEY_PRESS, KEY_S + keycodeOffset},
    {XCB_KEY_PRESS, KEY_D + keycodeOffset},
    {XCB_KEY_PRESS, KEY_F1 + keycodeOffset},
    {XCB_KEY_PRESS, KEY_ESC + keycodeOffset},
    {XCB_KEY_PRESS, KEY_F12 + keycodeOffset},
    {XCB_KEY_PRESS, KEY_GRAVE + keycodeOffset},
    {XCB_BUTTON_PRESS, 2},
    {XCB_BUTTON_PRESS, 8},
    {XCB_BUTTON_PRESS, 9},
    {XCB_BUTTON_PRESS, 10},
};
constexpr int otherCount = sizeof others / sizeof others[0];
const Fake selection = {XCB_KEY_PRESS, KEY_SPACE + keycodeOffset};

// A burst in which each input is pressed and released by turns and all end up; returns the
// number of presses of the selection.
int makeBurst(std::mt19937 &random, std::vector<Fake> &burst) {
    bool down[otherCount + 1] = {};
    int selectionPresses = 0;
    burst.clear();
    // Each press adds one event and one release owed, each release one event and one owed
    // fewer, so the count of both is even and ends at the burst's size exactly.
    int owed = 0;
    while (static_cast<int>(burst.size()) + owed < burstEvents) {
        int which = static_cast<int>(random() % (otherCount + 3));
        which =
            which > otherCount ? otherCount : which; // the selection about a quarter of the time
        const Fake &input = which == otherCount ? selection : others[which];
        uint8_t type = down[which] ? static_cast<uint8_t>(input.type + 1) : input.type;
        if (which == otherCount && !down[which])
            ++selectionPresses;
        owed += down[which] ? -1 : 1;
        down[which] = !down[which];
        burst.push_back({type, input.detail});
    }
    for (int which = 0; which <= otherCount; ++which) {
        const Fake &input = which == otherCount ? selection : others[which];
        if (down[which])
            burst.push_back({static_cast<uint8_t>(input.type + 1), input.detail});
    }
    return selectionPresses;
}

TEST(Load, EveryPressAndReleaseOfTheSelectionInABurstAndNoGrowth) {
    xcb_connection_t *xcb = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(xcb), 0);
    // AddressSanitizer holds freed blocks back from reuse, which would grow any program that
    // allocates; without that quarantine its size shows the program's own.
    const char *sanitizer = getenv("ASAN_OPTIONS");
    std::string options =
        std::string(sanitizer != nullptr ? sanitizer : "") + ":quarantine_size_mb=0";
    Child child = startListener({"--listen", "Space"}, {}, {"ASAN_OPTIONS=" + options});
    ASSERT_EQ(readLine(child), "ready");

    std::mt19937 random(20000);
    std::vector<Fake> burst;
    std::vector<long> resident;
    for (int round = 0; round < bursts; ++round) {
        SCOPED_TRACE("burst " + std::to_string(round));
        int presses = makeBurst(random, burst);
        double start = nowMs();
        for (const Fake &fake : burst)
            xcb_test_fake_input(xcb, fake.type, fake.detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        free(xcb_get_input_focus_reply(xcb, xcb_get_input_focus(xcb), nullptr));
        double sent = nowMs() - start;
        int downs = 0, ups = 0;
        bool inOrder = true;
        std::string expected = "down";
        for (int line = 0; line < 2 * presses; ++line) {
            std::string got = readLine(child, 10000);
            if (got == "<timeout>" || got == "<eof>") {
                ADD_FAILURE() << "after " << downs << " downs and " << ups << " ups of " << presses
                              << ": " << got;
                break;
            }
            inOrder = inOrder && got == expected;
            downs += got == "down";
            ups += got == "up";
            expected = expected == "down" ? "up" : "down";
        }
        double reported = nowMs() - start;
        EXPECT_TRUE(inOrder) << "\"down\" and \"up\" must come by turns";
        EXPECT_EQ(downs, presses);
        EXPECT_EQ(ups, presses);
        resident.push_back(residentKiB(child.pid));
        printf("load: burst %d: %zu events (%d presses of the selection) sent in %.0f ms "
               "(%.0f events/s), all reported after %.0f ms; VmRSS %ld KiB\n",
               round, burst.size(), presses, sent, burst.size() * 1000.0 / sent, reported,
               resident.back());
        RecordProperty("burst" + std::to_string(round) + "_reported_ms",
                       std::to_string(static_cast<long>(reported)));
        RecordProperty("burst" + std::to_string(round) + "_rss_kib",
                       std::to_string(resident.back()));
    }
    // A line that no press or release made would have broken the order or the counts of the
    // burst after it; after the last one, nothing may come.
    EXPECT_TRUE(quietFor(child, 300)) << "a line that no press or release made";

    long warm = 0, after = 0;
    for (int round = 0; round < bursts; ++round) {
        long &phase = round < warmUpBursts ? warm : after;
        phase = std::max(phase, resident[static_cast<size_t>(round)]);
    }
    EXPECT_LE(after - warm, growthBoundKiB)
        << "VmRSS grew from at most " << warm << " KiB to " << after << " KiB";
    printf("load: VmRSS at most %ld KiB over the first %d bursts, %ld KiB over the %d after them\n",
           warm, warmUpBursts, after, bursts - warmUpBursts);
    closeInput(child);
    EXPECT_EQ(readLine(child), "<eof>");
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(drainErrors(child), "");
    xcb_disconnect(xcb);
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
    return RUN_ALL_TESTS();
}
