// The IOKit HID access call the program uses to ask for the listen permission.
#pragma once

#include <cstdint>

extern "C" {

enum IOHIDRequestType : uint32_t {
    kIOHIDRequestTypePostEvent = 0,
    kIOHIDRequestTypeListenEvent = 1,
};

enum IOHIDAccessType : uint32_t {
    kIOHIDAccessTypeGranted = 0,
    kIOHIDAccessTypeDenied = 1,
    kIOHIDAccessTypeUnknown = 2,
};

bool IOHIDRequestAccess(IOHIDRequestType requestType);

} // extern "C"
