#include "xserver.h"
