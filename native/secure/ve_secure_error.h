// Error objects of the secure bridge classes.
#pragma once

#include <cstdint>

#include "native/protocol/ve_error.h"

namespace velmorine {

// Domain "<product identifier>.secure", code the velsecure status, description
// its name ("timed_out", ...).
VEError ve_secure_error(uint32_t status);

}  // namespace velmorine
