#include "native/secure/ve_secure_error.h"

#include "native/product/product_identifier.h"
#include "native/secure/velsecure_status.h"

namespace velmorine {

VEError ve_secure_error(uint32_t status) {
  return VEError{product_scoped("secure"), status, velsecure_status_name(status)};
}

}  // namespace velmorine
