// The application's quitting as a test drives it from outside: a workspace model on its real
// runtime over $XDG_DATA_HOME (or, with "stalled", on a runtime whose shutdown never ends), the
// desktop lifecycle on the buses of $DBUS_SESSION_BUS_ADDRESS and $DBUS_SYSTEM_BUS_ADDRESS with
// its quit signals, the real quit alert, and a clock moved by the test. Commands are JSON lines
// on stdin:
//
//   {"op":"start"}                       starts the runtime
//   {"op":"quit"}                        a quit request from the menus; prints its reply
//   {"op":"click","role":"reject"|"accept"}  clicks the button of the open quit alert with
//                                        that role (cancel, confirm)
//   {"op":"advance","seconds":S}         moves the lifecycle's clock
//   {"op":"state"}                       prints the quit state
//
// It prints {"event":"snapshot",...} for each snapshot, {"event":"alert",...} when the alert
// shows, {"event":"reply",...} for each request, and {"event":"exiting"} when the event loop
// has ended in order; a process ended at the deadline prints nothing more.

#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "Velmorine/shell/desktop_lifecycle.h"
#include "Velmorine/shell/localization_tables.h"
#include "Velmorine/shell/text_lookup.h"
#include "platform/desktop/quit_signals.h"

namespace {

using Json = nlohmann::json;
using namespace velmorine;

void print(const Json& line) { std::cout << line.dump() << std::endl; }

// The composer's preparation, never used here beyond being cancelled.
class IdlePreparation final : public workspace::AttachmentPreparation {
 public:
  bool hasSelections() const override { return false; }
  std::optional<workspace::PreparedAttachments> prepared() const override { return {}; }
  bool preparing() const override { return false; }
  std::int64_t pendingImports() const override { return 0; }
  std::optional<transfer::ContentFailure::Case> error() const override { return error_; }
  void setError(std::optional<transfer::ContentFailure::Case> error) override { error_ = error; }
  const std::optional<std::string>& recipientID() const override { return recipient_; }
  bool choosing() const override { return false; }
  bool bindRecipient(const std::string&) override { return true; }
  void choose() override {}
  void clear() override {}
  void cancel() override {}
  void finishSent(const core::Uuid&) override {}
  std::int64_t beginImport() override { return 0; }
  void importFinished(std::vector<std::filesystem::path>, bool, std::int64_t) override {}

 private:
  std::optional<transfer::ContentFailure::Case> error_;
  std::optional<std::string> recipient_;
};

// A runtime that never finishes shutting down; it counts the requests.
class StalledRuntime final : public workspace::RuntimeOperations {
 public:
  int shutdowns = 0;
  void setOnSnapshot(std::function<void(runtime::RuntimeSnapshot)>) override {}
  void start() override {}
  void suspend() override {}
  void resume() override {}
  void shutdown(std::function<void()>) override { ++shutdowns; }
  void refreshDeviceName() override {}
  void configureReminders() override {}
  void connectPeer(std::string) override {}
  void selectConversation(std::string, bool) override {}
  void sendText(std::string, std::string, std::string, TextSent) override {}
  void resendMessage(std::string, std::string) override {}
  void cancelMessage(std::string, std::string) override {}
  void cancelReminder(std::string) override {}
  void clearConversation(std::string, std::string, Completion) override {}
  void setPeerBlocked(std::string, bool) override {}
  void resolveChangedKey(std::string, bool) override {}
  void verifyPeer(std::string) override {}
  void setNetworkEnabled(bool) override {}
  void updatePreferences(std::function<void(store::AppPreferences&)>) override {}
  void renameDevice(std::optional<std::string>, Completion) override {}
  void resetDevices(Completion) override {}
  void sendFiles(workspace::PreparedAttachments, std::string, FilesSent) override {}
  void acceptTransfer(std::string, std::filesystem::path) override {}
  void declineTransfer(std::string) override {}
  void cancelTransfer(std::string) override {}
  void retryTransfer(std::string) override {}
  void hideEndedTransfers(std::optional<std::string>, std::optional<std::string>,
                          Completion) override {}
  void recoverReceives(std::filesystem::path) override {}
  void removeReceivedRecord(std::string) override {}
  void relinkReceivedFolder(std::string, std::filesystem::path, ReceivedFolderRelinked) override {}
  void openReceivedFolder(ReceivedFolderOpened) override {}
};

class NoPush final : public shell::PushRegistration {
 public:
  void setDesired(bool, std::string) override {}
  void disable() override {}
  void contactForRoute(std::string, std::function<void(std::optional<std::string>)> done) override {
    done(std::nullopt);
  }
};

class ManualDelays final : public shell::MainQueueDelays {
 public:
  void after(double seconds, std::function<void()> work) override {
    due_.emplace(now_ + seconds, std::move(work));
  }
  void advance(double seconds) {
    now_ += seconds;
    while (!due_.empty() && due_.begin()->first <= now_) {
      auto work = std::move(due_.begin()->second);
      due_.erase(due_.begin());
      work();
    }
  }

 private:
  double now_ = 0;
  std::multimap<double, std::function<void()>> due_;
};

// Reports the quit alert when it shows.
class AlertWatcher final : public QObject {
 public:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::Show && object->objectName() == shell::kQuitAlertName) {
      auto* box = qobject_cast<QMessageBox*>(object);
      if (box != nullptr) {
        Json buttons = Json::array();
        for (auto* button : box->buttons()) {
          buttons.push_back(
              {{"text", button->text().toStdString()},
               {"role", box->buttonRole(button) == QMessageBox::AcceptRole ? "accept" : "reject"}});
        }
        print({{"event", "alert"},
               {"title", box->text().toStdString()},
               {"help", box->informativeText().toStdString()},
               {"buttons", buttons},
               {"default", box->defaultButton() ? box->defaultButton()->text().toStdString()
                                                : std::string()}});
      }
    }
    return false;
  }
};

QMessageBox* openAlert() {
  for (auto* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == shell::kQuitAlertName && widget->isVisible()) {
      return qobject_cast<QMessageBox*>(widget);
    }
  }
  return nullptr;
}

const char* replyName(shell::TerminationReply reply) {
  switch (reply) {
    case shell::TerminationReply::now:
      return "now";
    case shell::TerminationReply::cancel:
      return "cancel";
    case shell::TerminationReply::later:
      return "later";
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread: every thread the program starts keeps them blocked.
  platform::blockQuitSignals();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const bool stalled = argc > 1 && std::string(argv[1]) == "stalled";

  auto stalledRuntime = std::make_shared<StalledRuntime>();
  workspace::WorkspaceModel::Replacements replacements;
  if (stalled) replacements.runtime = stalledRuntime;
  workspace::WorkspaceModel model(
      [](std::optional<std::string>) { return std::make_shared<IdlePreparation>(); },
      std::move(replacements));

  shell::DesktopLifecycle::Environment environment(QDBusConnection::sessionBus(),
                                                   QDBusConnection::systemBus());
  environment.productIdentifier = "org.example.QuitChild";
  environment.push = std::make_shared<NoPush>();
  auto delays = std::make_shared<ManualDelays>();
  environment.delays = delays;
  const auto tables = shell::LocalizationTables::fromFolder(VELMORINE_LOCALIZATION_DIR);
  environment.text = [&tables](std::string_view key, std::string_view language) {
    static const std::vector<std::string> preferred{"en"};
    return shell::localizedString(tables, key, language, preferred);
  };
  environment.confirmation = std::make_shared<shell::QuitAlert>(environment.text);
  shell::DesktopLifecycle lifecycle(std::move(environment));
  lifecycle.attach(model);
  lifecycle.installQuitSignals();

  AlertWatcher watcher;
  application.installEventFilter(&watcher);

  QObject::connect(&model, &workspace::WorkspaceModel::snapshotPublished, [&] {
    print({{"event", "snapshot"},
           {"status", model.snapshot().status},
           {"work", model.hasWorkInProgress()},
           {"messages", model.snapshot().messages.size()}});
  });

  std::string pending;
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char buffer[4096];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
      input.setEnabled(false);  // the test went away; quitting is its to ask
      return;
    }
    pending.append(buffer, static_cast<size_t>(got));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      const Json line = Json::parse(pending.substr(0, newline), nullptr, false);
      pending.erase(0, newline + 1);
      if (!line.is_object()) continue;
      const std::string op = line.value("op", "");
      if (op == "start") {
        model.startRuntime()();
      } else if (op == "quit") {
        // Runs the alert modally: its reply comes once it is answered. Later commands arrive
        // meanwhile through the alert's own event loop.
        QTimer::singleShot(0, &lifecycle, [&] {
          print({{"event", "reply"}, {"reply", replyName(lifecycle.requestQuit())}});
        });
      } else if (op == "click") {
        const auto role =
            line.value("role", "") == "accept" ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        QTimer::singleShot(0, [role] {
          auto* box = openAlert();
          if (box == nullptr) return;
          for (auto* button : box->buttons()) {
            if (box->buttonRole(button) == role) button->click();
          }
        });
      } else if (op == "advance") {
        delays->advance(line.value("seconds", 0.0));
      } else if (op == "state") {
        print({{"event", "state"},
               {"state", shell::rawValue(lifecycle.terminationState())},
               {"systemEnding", lifecycle.systemEnding()},
               {"shutdowns", stalledRuntime->shutdowns}});
      }
    }
  });

  print({{"event", "ready"}});
  const int status = application.exec();
  print({{"event", "exiting"}, {"status", status}});
  return status;
}
