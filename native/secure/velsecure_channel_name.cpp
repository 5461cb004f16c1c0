#include "native/secure/velsecure_channel_name.h"

namespace velmorine::protocol {

const char velsecure_v1_channel[16] = "velsecure-v1";

}  // namespace velmorine::protocol
