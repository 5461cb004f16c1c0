#include "Velmorine/shell/legacy_import_error.h"

namespace velmorine::shell {

std::string_view caseName(LegacyMacImportError::Case errorCase) {
  switch (errorCase) {
    case LegacyMacImportError::Case::invalidSource:
      return "invalidSource";
    case LegacyMacImportError::Case::sourceBusy:
      return "sourceBusy";
    case LegacyMacImportError::Case::destinationUsed:
      return "destinationUsed";
    case LegacyMacImportError::Case::identityMismatch:
      return "identityMismatch";
    case LegacyMacImportError::Case::unfinished:
      return "unfinished";
  }
  return "unknown";
}

LegacyMacImportError::LegacyMacImportError(Case errorCase) : case_(errorCase) {
  description_ = "LegacyMacImportError.";
  description_.append(caseName(errorCase));
}

}  // namespace velmorine::shell
