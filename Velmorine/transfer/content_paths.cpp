#include "Velmorine/transfer/content_paths.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;

// Decodes one scalar at `i`, advancing it; -1 for a malformed sequence.
int32_t nextScalar(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int length = 0;
  int32_t scalar = 0;
  int32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, scalar = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, scalar = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, scalar = lead & 0x07, minimum = 0x10000;
  } else {
    return -1;
  }
  if (i + static_cast<std::size_t>(length) > text.size()) return -1;
  for (int k = 1; k < length; ++k) {
    const unsigned char next = byte(i + static_cast<std::size_t>(k));
    if ((next & 0xC0) != 0x80) return -1;
    scalar = (scalar << 6) | (next & 0x3F);
  }
  if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return -1;
  i += static_cast<std::size_t>(length);
  return scalar;
}

bool isReservedDeviceName(std::string_view component) {
  std::string stem(component.substr(0, component.find('.')));
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         stem[3] >= '1' && stem[3] <= '9';
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (nextScalar(text, i) < 0) return false;
  }
  return true;
}

std::size_t utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const int32_t scalar = nextScalar(text, i);
    if (scalar < 0) {
      ++i;
      ++units;
      continue;
    }
    units += scalar >= 0x10000 ? 2 : 1;
  }
  return units;
}

bool hasForbiddenCharacter(std::string_view name) {
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    // Every byte of a multi-byte scalar is 0x80 or above, so bytes test the scalars below 128.
    if (byte < 32) return true;
    switch (c) {
      case '<':
      case '>':
      case ':':
      case '"':
      case '|':
      case '?':
      case '*':
        return true;
      default:
        break;
    }
  }
  return false;
}

std::vector<std::string> validatePath(std::string_view path) {
  if (path.size() > kMaxPathBytes) throw ContentFailure(Case::pathLimit);
  if (path.empty() || !isValidUtf8(path)) throw ContentFailure(Case::invalidPath);
  if (path.find('\\') != std::string_view::npos) throw ContentFailure(Case::invalidPath);
  std::vector<std::string> components;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") {
      throw ContentFailure(Case::invalidPath);
    }
    if (component.back() == '.' || component.back() == ' ') throw ContentFailure(Case::invalidPath);
    if (hasForbiddenCharacter(component)) throw ContentFailure(Case::invalidPath);
    if (utf16Length(component) > kMaxComponentUnits) throw ContentFailure(Case::pathLimit);
    if (isReservedDeviceName(component)) throw ContentFailure(Case::invalidPath);
    components.emplace_back(component);
    if (end == path.size()) break;
    start = end + 1;
  }
  return components;
}

std::string pathKey(std::string_view path) {
  UErrorCode status = U_ZERO_ERROR;
  static const icu::Normalizer2* const nfd = icu::Normalizer2::getNFDInstance(status);
  static const icu::Locale posix("en_US_POSIX");
  status = U_ZERO_ERROR;
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(path.data(), static_cast<int32_t>(path.size())));
  icu::UnicodeString key = nfd != nullptr ? nfd->normalize(text, status) : text;
  if (U_FAILURE(status)) key = text;
  key.toUpper(posix);
  std::string out;
  key.toUTF8String(out);
  return out;
}

}  // namespace velmorine::transfer
