#pragma once

#include <string_view>

#include "Velmorine/store/store_document.h"

namespace velmorine::store {

// Whether a trust record is the one of an announced device: its claimed identifier, as lower-case
// text, equals `deviceID` and the fingerprint of its key equals `fingerprint` (64 lower-case
// hexadecimal digits). A key without a fingerprint never matches.
bool isTrustedEntry(const TrustRecord& record, std::string_view deviceID,
                    std::string_view fingerprint);

}  // namespace velmorine::store
