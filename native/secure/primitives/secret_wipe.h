#pragma once

#include <cstddef>

namespace velmorine::secure {

// Clears memory that held key material in a way the compiler may not drop as a dead store.
void wipe_secret(void* data, std::size_t length);

}  // namespace velmorine::secure
