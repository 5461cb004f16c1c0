#pragma once

// The program's org.freedesktop.Application object on the session bus: what a launcher or a
// second start of the program calls to bring the running one forward. The bus name itself is
// claimed by the program's entry; this exports the object at the path that name implies.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>
#include <string>

namespace velmorine::platform {

inline constexpr const char* kApplicationInterface = "org.freedesktop.Application";

// "/org/example/App" for the name "org.example.App" ("-" read as "_").
QString applicationObjectPath(const std::string& busName);

class ApplicationActivation : public QObject {
  Q_OBJECT

 public:
  ApplicationActivation(QDBusConnection bus, const std::string& busName,
                        std::function<void()> activate, QObject* parent = nullptr);
  ~ApplicationActivation() override;

  // False when the path was taken or there is no bus.
  bool exported() const { return exported_; }
  const QString& path() const { return path_; }

 private:
  friend class ApplicationAdaptor;
  void activated() {
    if (activate_) activate_();
  }

  QDBusConnection bus_;
  QString path_;
  std::function<void()> activate_;
  bool exported_ = false;
};

}  // namespace velmorine::platform
