// The other side of the desktop's D-Bus services, scripted by a test: driven by JSON lines on
// stdin, printing what it sees as JSON lines. One role a process:
//
//   desktop-bus-peer notifications ADDRESS   a notification server: records every call, answers
//       or holds its answers ({"op":"stall"}, {"op":"release"}), invokes actions and closes
//       notifications ({"op":"invoke","id":N,"action":"default"}, {"op":"close","id":N}).
//   desktop-bus-peer logind ADDRESS          the login manager: hands out delay inhibitors and
//       counts those still held ({"op":"inhibitors"}), announces sleep, wake and power-off
//       ({"op":"sleep","start":true|false}, {"op":"shutdown","start":true|false}).
//   desktop-bus-peer launcher ADDRESS        a dock: prints every launcher entry update.
//   desktop-bus-peer activate ADDRESS NAME   another process activating the application NAME.
//
// It prints {"event":"ready"} once it serves, then one line per event; it ends with its stdin.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QVariantMap>
#include <cstdio>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/desktop/application_activation.h"

namespace {

using Json = nlohmann::json;

void print(const Json& line) {
  std::cout << line.dump() << std::endl;  // flushed: the test waits for it
}

Json toJson(const QVariant& value) {
  switch (value.metaType().id()) {
    case QMetaType::Bool:
      return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
      return value.toLongLong();
    case QMetaType::QStringList: {
      Json list = Json::array();
      for (const auto& item : value.toStringList()) list.push_back(item.toStdString());
      return list;
    }
    default:
      return value.toString().toStdString();
  }
}

Json mapToJson(const QVariantMap& map) {
  Json object = Json::object();
  for (auto it = map.begin(); it != map.end(); ++it) object[it.key().toStdString()] = toJson(*it);
  return object;
}

class NotificationServer final : public QDBusVirtualObject {
 public:
  explicit NotificationServer(QDBusConnection bus) : bus_(std::move(bus)) {}

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const QString member = message.member();
    const auto arguments = message.arguments();
    if (member == "Notify" && arguments.size() == 8) {
      const uint replaces = arguments[1].toUInt();
      const uint id = replaces != 0 ? replaces : nextID_++;
      print(Json{{"event", "notify"},
                 {"id", id},
                 {"app", arguments[0].toString().toStdString()},
                 {"replaces", replaces},
                 {"summary", arguments[3].toString().toStdString()},
                 {"body", arguments[4].toString().toStdString()},
                 {"actions", toJson(arguments[5])},
                 {"hints", mapToJson(qdbus_cast<QVariantMap>(arguments[6]))},
                 {"timeout", arguments[7].toInt()}});
      auto reply = message.createReply(QVariant::fromValue(id));
      if (stalled_) {
        held_.push_back(reply);
      } else {
        connection.send(reply);
      }
      return true;
    }
    if (member == "GetCapabilities") {
      print({{"event", "capabilities"}});
      connection.send(message.createReply(QStringList{"actions", "body", "sound"}));
      return true;
    }
    if (member == "CloseNotification" && arguments.size() == 1) {
      const uint id = arguments[0].toUInt();
      print({{"event", "closeRequest"}, {"id", id}});
      connection.send(message.createReply());
      closed(id, 3);
      return true;
    }
    if (member == "GetServerInformation") {
      connection.send(message.createReply(QVariantList{"scripted", "velmorine-tests", "1", "1.2"}));
      return true;
    }
    return false;
  }

  void command(const Json& line) {
    const std::string op = line.value("op", "");
    if (op == "stall") {
      stalled_ = line.value("on", true);
      print({{"event", "stalled"}, {"on", stalled_}});
    } else if (op == "release") {
      for (const auto& reply : held_) bus_.send(reply);
      held_.clear();
      stalled_ = false;
    } else if (op == "invoke") {
      auto signal = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                               "org.freedesktop.Notifications", "ActionInvoked");
      signal << uint(line.value("id", 0u)) << QString::fromStdString(line.value("action", ""));
      bus_.send(signal);
      print({{"event", "invoked"}});
    } else if (op == "close") {
      closed(line.value("id", 0u), 2);
      print({{"event", "closed"}});
    }
  }

 private:
  void closed(uint id, uint reason) {
    auto signal = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                             "org.freedesktop.Notifications", "NotificationClosed");
    signal << id << reason;
    bus_.send(signal);
  }

  QDBusConnection bus_;
  uint nextID_ = 1;
  bool stalled_ = false;
  std::vector<QDBusMessage> held_;
};

class LoginManager final : public QDBusVirtualObject {
 public:
  explicit LoginManager(QDBusConnection bus) : bus_(std::move(bus)) {}
  ~LoginManager() override {
    for (const int fd : held_) ::close(fd);
  }

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const auto arguments = message.arguments();
    if (message.member() != "Inhibit" || arguments.size() != 4) return false;
    print({{"event", "inhibit"},
           {"what", arguments[0].toString().toStdString()},
           {"who", arguments[1].toString().toStdString()},
           {"why", arguments[2].toString().toStdString()},
           {"mode", arguments[3].toString().toStdString()}});
    // The caller holds the write end; its read end hangs up once every copy is closed.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    held_.push_back(ends[0]);
    connection.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))));
    ::close(ends[1]);
    return true;
  }

  void command(const Json& line) {
    const std::string op = line.value("op", "");
    if (op == "inhibitors") {
      int count = 0;
      for (const int fd : held_) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 0) == 0) ++count;  // neither hung up nor readable: still held
      }
      print({{"event", "inhibitors"}, {"held", count}});
    } else if (op == "sleep" || op == "shutdown") {
      auto signal =
          QDBusMessage::createSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     op == "sleep" ? "PrepareForSleep" : "PrepareForShutdown");
      signal << line.value("start", true);
      bus_.send(signal);
      print({{"event", "announced"}, {"op", op}});
    }
  }

 private:
  QDBusConnection bus_;
  std::vector<int> held_;
};

class LauncherListener final : public QObject {
  Q_OBJECT

 public Q_SLOTS:
  void update(const QString& uri, const QVariantMap& properties) {
    print({{"event", "update"},
           {"uri", uri.toStdString()},
           {"count", properties.value("count").toLongLong()},
           {"visible", properties.value("count-visible").toBool()},
           {"properties", mapToJson(properties)}});
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: desktop-bus-peer ROLE ADDRESS [NAME]\n";
    return 2;
  }
  QCoreApplication application(argc, argv);
  const std::string role = argv[1];
  auto bus = QDBusConnection::connectToBus(QString::fromUtf8(argv[2]), "peer");
  if (!bus.isConnected()) {
    std::cerr << "cannot connect to " << argv[2] << "\n";
    return 1;
  }

  if (role == "activate") {
    if (argc < 4) return 2;
    auto call = QDBusMessage::createMethodCall(
        QString::fromUtf8(argv[3]), velmorine::platform::applicationObjectPath(argv[3]),
        velmorine::platform::kApplicationInterface, "Activate");
    call << QVariantMap{};
    const auto reply = bus.call(call, QDBus::Block, 10000);
    print({{"event", "activated"},
           {"ok", reply.type() == QDBusMessage::ReplyMessage},
           {"error", reply.errorMessage().toStdString()}});
    return reply.type() == QDBusMessage::ReplyMessage ? 0 : 1;
  }

  std::function<void(const Json&)> command;
  NotificationServer notifications(bus);
  LoginManager logind(bus);
  LauncherListener launcher;
  if (role == "notifications") {
    if (!bus.registerVirtualObject("/org/freedesktop/Notifications", &notifications) ||
        !bus.registerService("org.freedesktop.Notifications")) {
      return 1;
    }
    command = [&](const Json& line) { notifications.command(line); };
  } else if (role == "logind") {
    if (!bus.registerVirtualObject("/org/freedesktop/login1", &logind) ||
        !bus.registerService("org.freedesktop.login1")) {
      return 1;
    }
    command = [&](const Json& line) { logind.command(line); };
  } else if (role == "launcher") {
    if (!bus.connect(QString(), QString(), "com.canonical.Unity.LauncherEntry", "Update", &launcher,
                     SLOT(update(QString, QVariantMap)))) {
      return 1;
    }
    command = [](const Json&) {};
  } else {
    std::cerr << "unknown role " << role << "\n";
    return 2;
  }

  // Commands, one JSON object a line; the end of stdin ends the program.
  std::string pending;
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char buffer[4096];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
      input.setEnabled(false);
      QCoreApplication::quit();
      return;
    }
    pending.append(buffer, static_cast<size_t>(got));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      const Json line = Json::parse(pending.substr(0, newline), nullptr, false);
      pending.erase(0, newline + 1);
      if (line.is_object()) command(line);
    }
  });
  // A round trip to the bus: everything asked of it above (names, matches) is in place.
  bus.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "GetId"));
  print({{"event", "ready"}});
  return application.exec();
}

#include "desktop_bus_peer.moc"
