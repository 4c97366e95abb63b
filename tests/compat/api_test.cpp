// Holds the compat headers to the platform's own declarations: widths, signedness, enum types,
// constant values and exact function types. Code that compiles against these headers must compile
// against the platform's, and a wrong width or a bool for a Boolean would only show there.
#include "compat/CoreFoundation.h"
#include "compat/CoreGraphics.h"
#include "compat/IOKit.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace {

template <typename T, typename U>
constexpr bool same = std::is_same_v<T, U>;

// A handle to an opaque, mutable object of its own type.
template <typename Ref>
constexpr bool opaqueHandle =
    std::is_pointer_v<Ref> &&std::is_class_v<std::remove_pointer_t<Ref>> &&
    !std::is_const_v<std::remove_pointer_t<Ref>>;

template <typename Ref>
constexpr bool constOpaqueHandle = std::is_pointer_v<Ref>
    &&std::is_class_v<std::remove_pointer_t<Ref>> &&std::is_const_v<std::remove_pointer_t<Ref>>;

template <typename First, typename... Rest>
constexpr bool allDistinct() {
    if constexpr (sizeof...(Rest) == 0)
        return true;
    else
        return (!same<First, Rest> && ...) && allDistinct<Rest...>();
}

// An unscoped enum with a fixed underlying type: converts to its integer, never from one.
template <typename E, typename Underlying>
constexpr bool fixedEnum =
    std::is_enum_v<E> &&same<std::underlying_type_t<E>, Underlying>
        &&std::is_convertible_v<E, Underlying> && !std::is_convertible_v<Underlying, E>;

// Base typedefs.
static_assert(same<CFIndex, signed long> && sizeof(CFIndex) == 8);
static_assert(same<CFOptionFlags, unsigned long> && sizeof(CFOptionFlags) == 8);
static_assert(same<Boolean, unsigned char>);
static_assert(same<CFTypeRef, const void *>);
static_assert(constOpaqueHandle<CFAllocatorRef>);
static_assert(constOpaqueHandle<CFStringRef>);
static_assert(same<CFRunLoopMode, CFStringRef>);
static_assert(opaqueHandle<CFRunLoopRef>);
static_assert(opaqueHandle<CFRunLoopSourceRef>);
static_assert(opaqueHandle<CFRunLoopTimerRef>);
static_assert(opaqueHandle<CFMachPortRef>);
static_assert(opaqueHandle<CFFileDescriptorRef>);
static_assert(same<CFTimeInterval, double>);
static_assert(same<CFAbsoluteTime, CFTimeInterval>);
static_assert(same<CFFileDescriptorNativeDescriptor, int>);
static_assert(same<CGFloat, double>);
static_assert(opaqueHandle<CGEventRef>);
static_assert(opaqueHandle<CGEventSourceRef>);
static_assert(opaqueHandle<CGEventTapProxy>);
static_assert(same<CGEventMask, uint64_t>);
static_assert(same<CGEventFlags, uint64_t>);
static_assert(same<CGKeyCode, uint16_t>);
// Passing one kind of handle for another must not compile.
static_assert(allDistinct<CFRunLoopRef, CFRunLoopSourceRef, CFRunLoopTimerRef, CFMachPortRef,
                          CFFileDescriptorRef, CGEventRef, CGEventSourceRef, CGEventTapProxy,
                          CFAllocatorRef, CFStringRef>());

// CGPoint: two CGFloats, x then y, passed by value.
static_assert(std::is_standard_layout_v<CGPoint> && std::is_trivially_copyable_v<CGPoint>);
static_assert(same<decltype(CGPoint::x), CGFloat> && same<decltype(CGPoint::y), CGFloat>);
static_assert(offsetof(CGPoint, x) == 0 && offsetof(CGPoint, y) == sizeof(CGFloat));
static_assert(sizeof(CGPoint) == 2 * sizeof(CGFloat));

// Enumerations and their underlying types.
static_assert(fixedEnum<CGEventType, uint32_t>);
static_assert(fixedEnum<CGMouseButton, uint32_t>);
static_assert(fixedEnum<CGEventField, uint32_t>);
static_assert(fixedEnum<CGEventSourceStateID, int32_t>);
static_assert(fixedEnum<CGEventTapLocation, uint32_t>);
static_assert(fixedEnum<CGEventTapPlacement, uint32_t>);
static_assert(fixedEnum<CGEventTapOptions, uint32_t>);
static_assert(fixedEnum<IOHIDRequestType, uint32_t>);
static_assert(fixedEnum<IOHIDAccessType, uint32_t>);
static_assert(same<std::underlying_type_t<decltype(kCGEventFlagMaskShift)>, CGEventFlags>);
static_assert(same<std::underlying_type_t<decltype(kCFFileDescriptorReadCallBack)>, CFOptionFlags>);

// CGEventType.
static_assert(kCGEventNull == 0);
static_assert(kCGEventLeftMouseDown == 1);
static_assert(kCGEventLeftMouseUp == 2);
static_assert(kCGEventRightMouseDown == 3);
static_assert(kCGEventRightMouseUp == 4);
static_assert(kCGEventMouseMoved == 5);
static_assert(kCGEventLeftMouseDragged == 6);
static_assert(kCGEventRightMouseDragged == 7);
static_assert(kCGEventKeyDown == 10);
static_assert(kCGEventKeyUp == 11);
static_assert(kCGEventFlagsChanged == 12);
static_assert(kCGEventScrollWheel == 22);
static_assert(kCGEventTabletPointer == 23);
static_assert(kCGEventTabletProximity == 24);
static_assert(kCGEventOtherMouseDown == 25);
static_assert(kCGEventOtherMouseUp == 26);
static_assert(kCGEventOtherMouseDragged == 27);
static_assert(kCGEventTapDisabledByTimeout == 0xFFFFFFFEu);
static_assert(kCGEventTapDisabledByUserInput == 0xFFFFFFFFu);

// Mask helpers.
static_assert(same<decltype(CGEventMaskBit(kCGEventKeyDown)), CGEventMask>);
static_assert(CGEventMaskBit(kCGEventKeyDown) == (CGEventMask{1} << 10));
static_assert(CGEventMaskBit(kCGEventOtherMouseDragged) == (CGEventMask{1} << 27));
static_assert((CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp) |
               CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp)) ==
              0x06000C00u);
static_assert(same<std::remove_cv_t<decltype(kCGEventMaskForAllEvents)>, CGEventMask>);
static_assert(kCGEventMaskForAllEvents == UINT64_MAX);

// CGEventField.
static_assert(kCGMouseEventNumber == 0);
static_assert(kCGMouseEventClickState == 1);
static_assert(kCGMouseEventPressure == 2);
static_assert(kCGMouseEventButtonNumber == 3);
static_assert(kCGMouseEventDeltaX == 4);
static_assert(kCGMouseEventDeltaY == 5);
static_assert(kCGMouseEventInstantMouser == 6);
static_assert(kCGMouseEventSubtype == 7);
static_assert(kCGKeyboardEventAutorepeat == 8);
static_assert(kCGKeyboardEventKeycode == 9);
static_assert(kCGKeyboardEventKeyboardType == 10);

// CGEventFlags.
static_assert(kCGEventFlagMaskAlphaShift == 0x00010000);
static_assert(kCGEventFlagMaskShift == 0x00020000);
static_assert(kCGEventFlagMaskControl == 0x00040000);
static_assert(kCGEventFlagMaskAlternate == 0x00080000);
static_assert(kCGEventFlagMaskCommand == 0x00100000);
static_assert(kCGEventFlagMaskNumericPad == 0x00200000);
static_assert(kCGEventFlagMaskHelp == 0x00400000);
static_assert(kCGEventFlagMaskSecondaryFn == 0x00800000);
static_assert(kCGEventFlagMaskNonCoalesced == 0x00000100);
static_assert((kCGEventFlagMaskShift | kCGEventFlagMaskControl | kCGEventFlagMaskAlternate |
               kCGEventFlagMaskCommand) == 0x1E0000);

// Tap location, placement and options.
static_assert(kCGHIDEventTap == 0);
static_assert(kCGSessionEventTap == 1);
static_assert(kCGAnnotatedSessionEventTap == 2);
static_assert(kCGHeadInsertEventTap == 0);
static_assert(kCGTailAppendEventTap == 1);
static_assert(kCGEventTapOptionDefault == 0);
static_assert(kCGEventTapOptionListenOnly == 1);

// Event source states and mouse buttons.
static_assert(kCGEventSourceStatePrivate == -1);
static_assert(kCGEventSourceStateCombinedSessionState == 0);
static_assert(kCGEventSourceStateHIDSystemState == 1);
static_assert(kCGMouseButtonLeft == 0);
static_assert(kCGMouseButtonRight == 1);
static_assert(kCGMouseButtonCenter == 2);

// IOHID access.
static_assert(kIOHIDRequestTypePostEvent == 0);
static_assert(kIOHIDRequestTypeListenEvent == 1);
static_assert(kIOHIDAccessTypeGranted == 0);
static_assert(kIOHIDAccessTypeDenied == 1);
static_assert(kIOHIDAccessTypeUnknown == 2);

// CoreFoundation constants.
static_assert(same<decltype(kCFAllocatorDefault), const CFAllocatorRef>);
static_assert(same<decltype(kCFRunLoopDefaultMode), const CFRunLoopMode>);
static_assert(same<decltype(kCFRunLoopCommonModes), const CFRunLoopMode>);
static_assert(kCFFileDescriptorReadCallBack == 1);
static_assert(kCFFileDescriptorWriteCallBack == 2);

// Callback types.
static_assert(same<CFFileDescriptorCallBack, void (*)(CFFileDescriptorRef, CFOptionFlags, void *)>);
static_assert(same<CFRunLoopTimerCallBack, void (*)(CFRunLoopTimerRef, void *)>);
static_assert(
    same<CGEventTapCallBack, CGEventRef (*)(CGEventTapProxy, CGEventType, CGEventRef, void *)>);

// Context structures: member types in the platform's order, nothing else in between.
static_assert(std::is_standard_layout_v<CFFileDescriptorContext>);
static_assert(same<decltype(CFFileDescriptorContext::version), CFIndex>);
static_assert(same<decltype(CFFileDescriptorContext::info), void *>);
static_assert(same<decltype(CFFileDescriptorContext::retain), void *(*)(void *)>);
static_assert(same<decltype(CFFileDescriptorContext::release), void (*)(void *)>);
static_assert(same<decltype(CFFileDescriptorContext::copyDescription), CFStringRef (*)(void *)>);
static_assert(offsetof(CFFileDescriptorContext, version) == 0);
static_assert(offsetof(CFFileDescriptorContext, info) == 8);
static_assert(offsetof(CFFileDescriptorContext, retain) == 16);
static_assert(offsetof(CFFileDescriptorContext, release) == 24);
static_assert(offsetof(CFFileDescriptorContext, copyDescription) == 32);
static_assert(sizeof(CFFileDescriptorContext) == 40);

static_assert(std::is_standard_layout_v<CFRunLoopTimerContext>);
static_assert(same<decltype(CFRunLoopTimerContext::version), CFIndex>);
static_assert(same<decltype(CFRunLoopTimerContext::info), void *>);
static_assert(same<decltype(CFRunLoopTimerContext::retain), const void *(*)(const void *)>);
static_assert(same<decltype(CFRunLoopTimerContext::release), void (*)(const void *)>);
static_assert(
    same<decltype(CFRunLoopTimerContext::copyDescription), CFStringRef (*)(const void *)>);
static_assert(offsetof(CFRunLoopTimerContext, version) == 0);
static_assert(offsetof(CFRunLoopTimerContext, info) == 8);
static_assert(offsetof(CFRunLoopTimerContext, retain) == 16);
static_assert(offsetof(CFRunLoopTimerContext, release) == 24);
static_assert(offsetof(CFRunLoopTimerContext, copyDescription) == 32);
static_assert(sizeof(CFRunLoopTimerContext) == 40);

// CoreFoundation functions.
static_assert(same<decltype(&CFRelease), void (*)(CFTypeRef)>);
static_assert(same<decltype(&CFAbsoluteTimeGetCurrent), CFAbsoluteTime (*)()>);
static_assert(same<decltype(&CFRunLoopGetCurrent), CFRunLoopRef (*)()>);
static_assert(same<decltype(&CFRunLoopRun), void (*)()>);
static_assert(same<decltype(&CFRunLoopStop), void (*)(CFRunLoopRef)>);
static_assert(
    same<decltype(&CFRunLoopAddSource), void (*)(CFRunLoopRef, CFRunLoopSourceRef, CFRunLoopMode)>);
static_assert(
    same<decltype(&CFRunLoopAddTimer), void (*)(CFRunLoopRef, CFRunLoopTimerRef, CFRunLoopMode)>);
static_assert(same<decltype(&CFMachPortCreateRunLoopSource),
                   CFRunLoopSourceRef (*)(CFAllocatorRef, CFMachPortRef, CFIndex)>);
static_assert(same<decltype(&CFMachPortInvalidate), void (*)(CFMachPortRef)>);
static_assert(
    same<decltype(&CFFileDescriptorCreate),
         CFFileDescriptorRef (*)(CFAllocatorRef, CFFileDescriptorNativeDescriptor, Boolean,
                                 CFFileDescriptorCallBack, const CFFileDescriptorContext *)>);
static_assert(same<decltype(&CFFileDescriptorCreateRunLoopSource),
                   CFRunLoopSourceRef (*)(CFAllocatorRef, CFFileDescriptorRef, CFIndex)>);
static_assert(
    same<decltype(&CFFileDescriptorEnableCallBacks), void (*)(CFFileDescriptorRef, CFOptionFlags)>);
static_assert(same<decltype(&CFFileDescriptorInvalidate), void (*)(CFFileDescriptorRef)>);
static_assert(
    same<decltype(&CFRunLoopTimerCreate),
         CFRunLoopTimerRef (*)(CFAllocatorRef, CFAbsoluteTime, CFTimeInterval, CFOptionFlags,
                               CFIndex, CFRunLoopTimerCallBack, CFRunLoopTimerContext *)>);
static_assert(same<decltype(&CFRunLoopTimerInvalidate), void (*)(CFRunLoopTimerRef)>);

// CoreGraphics functions.
static_assert(same<decltype(&CGPreflightListenEventAccess), bool (*)()>);
static_assert(same<decltype(&CGEventTapCreate),
                   CFMachPortRef (*)(CGEventTapLocation, CGEventTapPlacement, CGEventTapOptions,
                                     CGEventMask, CGEventTapCallBack, void *)>);
static_assert(same<decltype(&CGEventTapEnable), void (*)(CFMachPortRef, bool)>);
static_assert(
    same<decltype(&CGEventCreateKeyboardEvent), CGEventRef (*)(CGEventSourceRef, CGKeyCode, bool)>);
static_assert(same<decltype(&CGEventCreateMouseEvent),
                   CGEventRef (*)(CGEventSourceRef, CGEventType, CGPoint, CGMouseButton)>);
static_assert(same<decltype(&CGEventGetType), CGEventType (*)(CGEventRef)>);
static_assert(same<decltype(&CGEventSetType), void (*)(CGEventRef, CGEventType)>);
static_assert(same<decltype(&CGEventGetIntegerValueField), int64_t (*)(CGEventRef, CGEventField)>);
static_assert(
    same<decltype(&CGEventSetIntegerValueField), void (*)(CGEventRef, CGEventField, int64_t)>);
static_assert(same<decltype(&CGEventGetFlags), CGEventFlags (*)(CGEventRef)>);
static_assert(same<decltype(&CGEventSetFlags), void (*)(CGEventRef, CGEventFlags)>);
static_assert(same<decltype(&CGEventSourceKeyState), bool (*)(CGEventSourceStateID, CGKeyCode)>);
static_assert(
    same<decltype(&CGEventSourceButtonState), bool (*)(CGEventSourceStateID, CGMouseButton)>);

// IOKit.
static_assert(same<decltype(&IOHIDRequestAccess), bool (*)(IOHIDRequestType)>);

} // namespace

// The checks above are made by the compiler; this reports that they held and checks the constants
// that only have a value once linked.
TEST(PlatformDeclarations, LinkedConstantsHaveThePlatformsValues) {
    EXPECT_EQ(kCFAllocatorDefault, nullptr);
    EXPECT_NE(kCFRunLoopDefaultMode, nullptr);
    EXPECT_NE(kCFRunLoopCommonModes, nullptr);
    EXPECT_NE(kCFRunLoopDefaultMode, kCFRunLoopCommonModes);
}
