#include "native/secure/primitives/secret_wipe.h"

#include <string.h>

namespace velmorine::secure {

void wipe_secret(void* data, std::size_t length) {
  if (data != nullptr && length != 0) explicit_bzero(data, length);
}

}  // namespace velmorine::secure
