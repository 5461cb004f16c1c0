#include "Velmorine/settings/about_links.h"

#include <QFile>
#include <QStringDecoder>

namespace velmorine::settings {

std::optional<QUrl> validatedInfoLink(const nlohmann::json* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  const QString text = QString::fromStdString(value->get<std::string>()).trimmed();
  const QUrl url(text, QUrl::StrictMode);
  if (!url.isValid() || url.scheme().toLower() != QStringLiteral("https")) return std::nullopt;
  if (url.host().isEmpty()) return std::nullopt;
  // Credentials in a link would be handed to the browser and shown to whoever looks.
  if (!url.userInfo().isEmpty() || !url.userName().isEmpty() || !url.password().isEmpty()) {
    return std::nullopt;
  }
  return url;
}

std::optional<QUrl> validatedInfoLink(const platform::Bundle& bundle, std::string_view key) {
  return validatedInfoLink(bundle.infoValue(key));
}

std::optional<QUrl> downloadLink(const platform::Bundle& bundle) {
  const auto* channel = bundle.infoValue(kDistributionChannelKey);
  if (channel == nullptr || !channel->is_string() || channel->get<std::string>() != "direct") {
    return std::nullopt;
  }
  return validatedInfoLink(bundle, kDownloadURLKey);
}

std::filesystem::path noticesFile(const std::filesystem::path& executable) {
  return executable.parent_path().parent_path() / "share" / "velmorine" / "ThirdPartyNotices.txt";
}

QString noticesText(const std::filesystem::path& file) {
  QFile notices(QString::fromStdString(file.string()));
  if (!notices.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = notices.readAll();
  if (notices.error() != QFileDevice::NoError) return {};
  QStringDecoder decoder(QStringDecoder::Utf8);
  QString text = decoder(bytes);
  if (decoder.hasError()) return {};
  return text;
}

}  // namespace velmorine::settings
