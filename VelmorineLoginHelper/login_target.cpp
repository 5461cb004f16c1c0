#include "VelmorineLoginHelper/login_target.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace velmorine::login {

namespace {

// Info.json's "BundleIdentifier", when the file is one JSON object and the value is text.
std::optional<std::string> infoIdentifier(const std::filesystem::path& info) {
  QFile file(QString::fromStdString(info.string()));
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  // Info.json is a few hundred bytes; a huge file is not ours.
  const QByteArray bytes = file.read(1 << 20);
  QJsonParseError error;
  const auto document = QJsonDocument::fromJson(bytes, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
  const auto value = document.object().value(QStringLiteral("BundleIdentifier"));
  if (!value.isString()) return std::nullopt;
  return value.toString().toStdString();
}

bool regularExecutable(const std::filesystem::path& program) {
  struct stat status {};
  return ::stat(program.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         ::access(program.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<LoginTarget> LoginTarget::resolve(const std::filesystem::path& helperPath,
                                                std::optional<std::string_view> identifier) {
  if (!identifier || !identifier->ends_with(kHelperSuffix)) return std::nullopt;
  const std::string mainIdentifier(
      identifier->substr(0, identifier->size() - kHelperSuffix.size()));
  if (mainIdentifier.empty()) return std::nullopt;

  const auto helper = helperPath.lexically_normal();
  if (!helper.is_absolute()) return std::nullopt;
  // The last three components must be the helper's place, component by component.
  const std::filesystem::path place(kHelperPlace);
  auto component = helper.end();
  std::filesystem::path prefix = helper;
  for (auto expected = place.end(); expected != place.begin();) {
    --expected;
    if (component == helper.begin()) return std::nullopt;
    --component;
    if (*component != *expected) return std::nullopt;
    prefix = prefix.parent_path();
  }

  LoginTarget target{prefix / "bin" / "velmorine", mainIdentifier};
  if (!regularExecutable(target.mainProgram)) return std::nullopt;
  if (infoIdentifier(prefix / "share" / "velmorine" / "Info.json") != mainIdentifier) {
    return std::nullopt;
  }
  return target;
}

}  // namespace velmorine::login
