// Event objects: what creation sets, the fields by number, flags, type changes and release.
#include "compat/CoreGraphics.h"
#include "compat/testing.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

class Events : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(compatLiveObjects(), 0); }
    void TearDown() override {
        compatFailCreation(nullptr);
        EXPECT_EQ(compatLiveObjects(), 0) << "an event outlived its last release";
    }
};

void expectOnlyField(CGEventRef event, CGEventField field, int64_t value) {
    for (uint32_t other = 0; other <= kCGKeyboardEventKeyboardType; ++other) {
        SCOPED_TRACE(other);
        auto asField = static_cast<CGEventField>(other);
        EXPECT_EQ(CGEventGetIntegerValueField(event, asField), other == field ? value : 0);
    }
}

struct KeyboardCase {
    CGKeyCode code;
    bool down;
    CGEventType type;
};

void PrintTo(const KeyboardCase &row, std::ostream *out) {
    *out << "code " << row.code << (row.down ? " down" : " up");
}

class KeyboardEvents : public Events, public testing::WithParamInterface<KeyboardCase> {};

TEST_P(KeyboardEvents, CarryTheirTypeAndKeyCodeOnly) {
    const KeyboardCase &row = GetParam();
    CGEventRef event = CGEventCreateKeyboardEvent(nullptr, row.code, row.down);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(compatLiveObjects(), 1);
    EXPECT_EQ(CGEventGetType(event), row.type);
    expectOnlyField(event, kCGKeyboardEventKeycode, row.code);
    EXPECT_EQ(CGEventGetFlags(event), 0u);
    CFRelease(event);
}

INSTANTIATE_TEST_SUITE_P(Codes, KeyboardEvents,
                         testing::Values(KeyboardCase{0, true, kCGEventKeyDown},
                                         KeyboardCase{0, false, kCGEventKeyUp},
                                         KeyboardCase{0x31, true, kCGEventKeyDown},
                                         KeyboardCase{0x7A, false, kCGEventKeyUp},
                                         KeyboardCase{0xFFFF, true, kCGEventKeyDown}));

struct MouseCase {
    CGEventType type;
    CGMouseButton button;
};

void PrintTo(const MouseCase &row, std::ostream *out) {
    *out << "type " << row.type << " button " << row.button;
}

class MouseEvents : public Events, public testing::WithParamInterface<MouseCase> {};

TEST_P(MouseEvents, CarryTheirTypeAndButtonNumberOnly) {
    const MouseCase &row = GetParam();
    CGEventRef event = CGEventCreateMouseEvent(nullptr, row.type, CGPoint{12.5, -3}, row.button);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(compatLiveObjects(), 1);
    EXPECT_EQ(CGEventGetType(event), row.type);
    expectOnlyField(event, kCGMouseEventButtonNumber, row.button);
    EXPECT_EQ(CGEventGetFlags(event), 0u);
    CFRelease(event);
}

INSTANTIATE_TEST_SUITE_P(
    Buttons, MouseEvents,
    testing::Values(MouseCase{kCGEventOtherMouseDown, kCGMouseButtonCenter},
                    MouseCase{kCGEventOtherMouseUp, static_cast<CGMouseButton>(3)},
                    MouseCase{kCGEventOtherMouseDown, static_cast<CGMouseButton>(4)},
                    MouseCase{kCGEventOtherMouseUp, static_cast<CGMouseButton>(31)},
                    MouseCase{kCGEventLeftMouseDown, kCGMouseButtonLeft},
                    MouseCase{kCGEventRightMouseUp, kCGMouseButtonRight}));

TEST_F(Events, EveryNumberedFieldHoldsItsOwn64BitValue) {
    CGEventRef event = CGEventCreateKeyboardEvent(nullptr, 0, true);
    ASSERT_NE(event, nullptr);
    for (uint32_t field = 0; field <= kCGKeyboardEventKeyboardType; ++field)
        CGEventSetIntegerValueField(event, static_cast<CGEventField>(field),
                                    (int64_t{1} << 40) * (field + 1) - 7);
    for (uint32_t field = 0; field <= kCGKeyboardEventKeyboardType; ++field) {
        SCOPED_TRACE(field);
        EXPECT_EQ(CGEventGetIntegerValueField(event, static_cast<CGEventField>(field)),
                  (int64_t{1} << 40) * (field + 1) - 7);
    }
    CGEventSetIntegerValueField(event, kCGKeyboardEventAutorepeat, -1);
    EXPECT_EQ(CGEventGetIntegerValueField(event, kCGKeyboardEventAutorepeat), -1);
    CFRelease(event);
}

TEST_F(Events, FieldsBeyondTheKnownOnesReadZeroAndIgnoreWrites) {
    CGEventRef event = CGEventCreateKeyboardEvent(nullptr, 0x24, true);
    ASSERT_NE(event, nullptr);
    for (uint32_t unknown : {11u, 12u, 58u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(unknown);
        auto field = static_cast<CGEventField>(unknown);
        CGEventSetIntegerValueField(event, field, 99);
        EXPECT_EQ(CGEventGetIntegerValueField(event, field), 0);
    }
    expectOnlyField(event, kCGKeyboardEventKeycode, 0x24);
    CFRelease(event);
}

TEST_F(Events, FlagsAreKeptWhole) {
    CGEventRef event = CGEventCreateKeyboardEvent(nullptr, 0, false);
    ASSERT_NE(event, nullptr);
    for (CGEventFlags flags : {CGEventFlags{kCGEventFlagMaskShift | kCGEventFlagMaskCommand},
                               CGEventFlags{kCGEventFlagMaskAlphaShift}, CGEventFlags{0},
                               CGEventFlags{0x8000000000000001ULL}, ~CGEventFlags{0}}) {
        CGEventSetFlags(event, flags);
        EXPECT_EQ(CGEventGetFlags(event), flags);
    }
    CFRelease(event);
}

TEST_F(Events, TypeChangesKeepTheFields) {
    CGEventRef event = CGEventCreateKeyboardEvent(nullptr, 0x0C, true);
    ASSERT_NE(event, nullptr);
    CGEventSetFlags(event, kCGEventFlagMaskControl);
    for (CGEventType type : {kCGEventKeyUp, kCGEventFlagsChanged, kCGEventTapDisabledByTimeout,
                             kCGEventTapDisabledByUserInput, kCGEventKeyDown}) {
        CGEventSetType(event, type);
        EXPECT_EQ(CGEventGetType(event), type);
        EXPECT_EQ(CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode), 0x0C);
        EXPECT_EQ(CGEventGetFlags(event), kCGEventFlagMaskControl);
    }
    CFRelease(event);
}

TEST_F(Events, EachEventLivesUntilItsRelease) {
    CGEventRef key = CGEventCreateKeyboardEvent(nullptr, 1, true);
    CGEventRef button =
        CGEventCreateMouseEvent(nullptr, kCGEventOtherMouseDown, CGPoint{}, kCGMouseButtonCenter);
    ASSERT_NE(key, nullptr);
    ASSERT_NE(button, nullptr);
    EXPECT_NE(key, button);
    EXPECT_EQ(compatLiveObjects(), 2);
    CFRelease(key);
    EXPECT_EQ(compatLiveObjects(), 1);
    EXPECT_EQ(CGEventGetIntegerValueField(button, kCGMouseEventButtonNumber), kCGMouseButtonCenter);
    CFRelease(button);
}

TEST_F(Events, FailedCreationReturnsNullAndCreatesNothing) {
    compatFailCreation("CGEventCreateKeyboardEvent");
    EXPECT_EQ(CGEventCreateKeyboardEvent(nullptr, 0, true), nullptr);
    EXPECT_EQ(compatLiveObjects(), 0);
    CGEventRef button =
        CGEventCreateMouseEvent(nullptr, kCGEventOtherMouseUp, CGPoint{}, kCGMouseButtonCenter);
    ASSERT_NE(button, nullptr);
    CFRelease(button);

    compatFailCreation("CGEventCreateMouseEvent");
    EXPECT_EQ(
        CGEventCreateMouseEvent(nullptr, kCGEventOtherMouseUp, CGPoint{}, kCGMouseButtonCenter),
        nullptr);
    EXPECT_EQ(compatLiveObjects(), 0);
}

} // namespace
