#pragma once

// What the about sheet reads from the program's info keys and resources: links that pass a
// strict check (a link that fails it is left out, never reported), whether this build is
// distributed directly, and the licence notices.

#include <QString>
#include <QUrl>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "platform/bundle/bundle.h"

namespace velmorine::settings {

inline constexpr const char* kPrivacyURLKey = "VelmorinePrivacyURL";
inline constexpr const char* kSupportURLKey = "VelmorineSupportURL";
inline constexpr const char* kDownloadURLKey = "VelmorineDownloadURL";
inline constexpr const char* kDistributionChannelKey = "VelmorineDistributionChannel";

// A secure web address from an info value: text, trimmed, parsing strictly, with the scheme
// "https" in any case, a host, and neither user name nor password. Nothing otherwise.
std::optional<QUrl> validatedInfoLink(const nlohmann::json* value);
std::optional<QUrl> validatedInfoLink(const platform::Bundle& bundle, std::string_view key);

// The download link: only for a build whose channel is exactly the text "direct".
std::optional<QUrl> downloadLink(const platform::Bundle& bundle);

// share/velmorine/ThirdPartyNotices.txt of the program at `executable`: beside Info.json.
std::filesystem::path noticesFile(const std::filesystem::path& executable);

// The whole file as UTF-8 text; empty when it is missing, unreadable or not UTF-8.
QString noticesText(const std::filesystem::path& file);

}  // namespace velmorine::settings
