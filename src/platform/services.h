// The platform's input-event services: the real frameworks on macOS, our own subset elsewhere.
#pragma once

#ifdef __APPLE__
#include <ApplicationServices/ApplicationServices.h>
#include <IOKit/hidsystem/IOHIDLib.h>
#else
#include "compat/CoreFoundation.h"
#include "compat/CoreGraphics.h"
#include "compat/IOKit.h"
#endif
