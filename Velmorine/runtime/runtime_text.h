#pragma once

#include "native/protocol/ascii_case.h"

namespace velmorine::runtime {

using core::appendLowered;
using core::lowered;
using core::loweredASCII;

}  // namespace velmorine::runtime
