// The rules of the device name: the check of every name, the choice of the effective name and
// the naming record of a document that has none.

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <array>

#include "Velmorine/store/device_name_preferences.h"
#include "Velmorine/store/document_fields.h"
#include "Velmorine/store/store_document.h"

namespace velmorine::store {

namespace {

constexpr std::size_t kMaximumNameBytes = 128;

// Computer names that say nothing about the device; compared with the lower-cased name.
constexpr std::array<std::string_view, 7> kGenericNames = {
    "iphone", "ipad", "ipod touch", "mac", "macintosh", "velmorine", "velmorine mac"};

// Display names that earlier versions set by themselves; not taken over as a custom name.
constexpr std::array<std::string_view, 2> kFormerDefaultNames = {"Velmorine", "Velmorine Mac"};

constexpr std::string_view kLastResortPrefix = "Mac \u00B7 ";

bool is_trimmed_space(UChar32 c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const auto type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

bool is_refused_character(UChar32 c) {
  // The embedding, override and isolate controls are named as well as covered by Cf, so that a
  // change of their category in a later Unicode version cannot let them in.
  if ((c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) return true;
  const auto type = u_charType(c);
  return type == U_CONTROL_CHAR || type == U_FORMAT_CHAR;
}

std::string lower_cased(std::string_view text) {
  std::string lowered;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
      .toLower(icu::Locale::getRoot())
      .toUTF8String(lowered);
  return lowered;
}

bool is_generic(std::string_view name) {
  const std::string lowered = lower_cased(name);
  for (const auto generic : kGenericNames) {
    if (lowered == generic) return true;
  }
  return false;
}

// The computer name when it normalises and is not generic.
std::optional<std::string> usable_computer_name(const std::optional<std::string>& computerName) {
  if (!computerName) return std::nullopt;
  auto name = DeviceNamePreferences::normalizedName(*computerName);
  if (!name || is_generic(*name)) return std::nullopt;
  return name;
}

std::optional<std::string> usable_custom_name(const DeviceNamePreferences& naming) {
  if (!naming.customName) return std::nullopt;
  return DeviceNamePreferences::normalizedName(*naming.customName);
}

}  // namespace

std::optional<std::string> DeviceNamePreferences::normalizedName(std::string_view name) {
  if (name.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
  const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
  const auto length = static_cast<int32_t>(name.size());
  // Offsets of the first and past the last character that is not trimmed.
  int32_t first = -1;
  int32_t end = 0;
  for (int32_t offset = 0; offset < length;) {
    const int32_t start = offset;
    UChar32 c = 0;
    U8_NEXT(bytes, offset, length, c);
    if (c < 0) return std::nullopt;  // not UTF-8
    if (is_trimmed_space(c)) continue;
    if (first < 0) first = start;
    end = offset;
  }
  if (first < 0) return std::nullopt;
  std::string trimmed(
      name.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(end - first)));
  if (trimmed.size() > kMaximumNameBytes) return std::nullopt;
  // Inside the name, control and format characters (tab and line breaks among them) refuse it.
  for (int32_t offset = 0; offset < static_cast<int32_t>(trimmed.size());) {
    UChar32 c = 0;
    U8_NEXT(reinterpret_cast<const uint8_t*>(trimmed.data()), offset,
            static_cast<int32_t>(trimmed.size()), c);
    if (is_refused_character(c)) return std::nullopt;
  }
  return trimmed;
}

DeviceNamePreferences DeviceNamePreferences::fromDisplayName(std::string_view displayName,
                                                             const IdentifierSource& newID) {
  DeviceNamePreferences naming;
  const auto name = normalizedName(displayName);
  bool former_default = false;
  if (name) {
    for (const auto former : kFormerDefaultNames) former_default |= *name == former;
  }
  if (name && !former_default) {
    naming.customName = *name;
    naming.hintDismissed = true;
  }
  naming.fallbackID = newID();
  return naming;
}

std::string DeviceNamePreferences::lastResortName(const core::Uuid& fallbackID) {
  // The first six characters of the upper-case text are hexadecimal digits (no "-" before 8).
  return std::string(kLastResortPrefix) + identifierText(fallbackID).substr(0, 6);
}

void DeviceNamePreferences::effectiveName(const std::optional<std::string>& computerName,
                                          AppPreferences& preferences,
                                          const IdentifierSource& newID) {
  if (!preferences.deviceNaming) {
    preferences.deviceNaming = fromDisplayName(preferences.displayName, newID);
  }
  const auto& naming = *preferences.deviceNaming;
  if (auto custom = usable_custom_name(naming)) {
    preferences.displayName = std::move(*custom);
  } else if (auto computer = usable_computer_name(computerName)) {
    preferences.displayName = std::move(*computer);
  } else {
    preferences.displayName = lastResortName(naming.fallbackID);
  }
}

void DeviceNamePreferences::rename(const std::optional<std::string>& newName,
                                   const std::optional<std::string>& computerName,
                                   AppPreferences& preferences, const IdentifierSource& newID) {
  if (preferences.deviceNaming) {
    preferences.deviceNaming->customName = newName ? normalizedName(*newName) : std::nullopt;
    preferences.deviceNaming->hintDismissed = true;
  }
  effectiveName(computerName, preferences, newID);
}

bool DeviceNamePreferences::usesFallbackName(const AppPreferences& preferences,
                                             const std::optional<std::string>& computerName) {
  if (!preferences.deviceNaming) return false;
  return !usable_custom_name(*preferences.deviceNaming) && !usable_computer_name(computerName);
}

}  // namespace velmorine::store
