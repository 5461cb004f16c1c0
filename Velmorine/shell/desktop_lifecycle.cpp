#include "Velmorine/shell/desktop_lifecycle.h"

#include <QGuiApplication>
#include <utility>

#include "Velmorine/reminders/reminder_service_client.h"
#include "Velmorine/shell/language_code.h"
#include "Velmorine/shell/launcher_count.h"
#include "Velmorine/workspace/main_queue.h"
#include "native/product/product_identifier.h"
#include "platform/desktop/application_activation.h"
#include "platform/desktop/desktop_notifications.h"
#include "platform/desktop/launcher_badge.h"
#include "platform/desktop/power_observer.h"
#include "platform/desktop/quit_signals.h"

namespace velmorine::shell {

DesktopLifecycle::Environment::Environment(QDBusConnection session, QDBusConnection system)
    : sessionBus(std::move(session)),
      systemBus(std::move(system)),
      productIdentifier(kProductIdentifier),
      mainQueue(workspace::postToMainQueue),
      text(processTextLookup()),
      preferredLanguages([] { return systemPreferredLanguages(processEnvironment()); }),
      quitEventLoop([] { QCoreApplication::exit(0); }),
      endProcess([] { ::_exit(0); }) {
  confirmation = std::make_shared<QuitAlert>(text);
  delays = eventLoopDelays();
}

DesktopLifecycle::Environment DesktopLifecycle::applicationEnvironment(
    const std::filesystem::path& executable) {
  Environment environment(QDBusConnection::sessionBus(), QDBusConnection::systemBus());
  if (const auto config =
          platform::userConfigFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"))) {
    environment.loginItem.emplace(*config, environment.productIdentifier + ".LoginHelper.desktop",
                                  platform::loginHelperProgram(executable),
                                  environment.productName);
  }
  environment.push = std::make_shared<QueuedPushRegistration>(
      reminders::ReminderServiceClient::shared(), platform::system_push_provider(),
      workspace::postToMainQueue);
  return environment;
}

DesktopLifecycle::DesktopLifecycle(Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)), termination_(terminationSteps()) {
  platform::DesktopNotifications::Options options;
  options.applicationName = environment_.productName;
  options.desktopEntry = environment_.productIdentifier;
  notifications_ =
      new platform::DesktopNotifications(environment_.sessionBus, std::move(options), this);
  notifications_->onAction = [this](const std::string& thread, const std::string& action) {
    notificationResponse(thread, std::nullopt, action);
  };
  badge_ = std::make_unique<platform::LauncherBadge>(environment_.sessionBus,
                                                     environment_.productIdentifier);
  activation_ = new platform::ApplicationActivation(
      environment_.sessionBus, environment_.productIdentifier, [this] { reopen(); }, this);
  // Closing the last window leaves the application running.
  if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    application->setQuitOnLastWindowClosed(false);
  }
}

DesktopLifecycle::~DesktopLifecycle() {
  if (model_) {
    model_->unreadChanged = nullptr;
    model_->incomingNotification = nullptr;
    model_->incomingFileNotification = nullptr;
    model_->languageChanged = nullptr;
  }
  if (environment_.push) {
    environment_.push->onStatus = nullptr;
    environment_.push->onRegistrationChanged = nullptr;
  }
}

void DesktopLifecycle::setLoginStatus(std::string status) {
  loginStatus_ = std::move(status);
  Q_EMIT loginStatusPublished();
}

void DesktopLifecycle::setNotificationStatus(std::string status) {
  notificationStatus_ = std::move(status);
  Q_EMIT notificationStatusPublished();
}

void DesktopLifecycle::setPushNotificationStatus(std::string status) {
  pushNotificationStatus_ = std::move(status);
  Q_EMIT pushNotificationStatusPublished();
}

std::string DesktopLifecycle::resolvedLanguage(const runtime::RuntimeSnapshot& snapshot) const {
  const auto preferred = environment_.preferredLanguages();
  return std::string(resolvedLanguageCode(snapshot.preferences.language, preferred));
}

void DesktopLifecycle::attach(workspace::WorkspaceModel& model) {
  if (model_) return;
  model_ = &model;
  QPointer<DesktopLifecycle> self(this);

  environment_.push->onStatus = [self](const std::string& status) {
    if (self) self->setPushNotificationStatus(status);
  };
  environment_.push->onRegistrationChanged = [weakModel = QPointer(&model)] {
    if (weakModel) weakModel->runtime().configureReminders();
  };

  // The snapshot whose hooks gathered notices is the model's now; its peers may go with the
  // next one.
  connect(&model, &workspace::WorkspaceModel::snapshotPublished, this,
          [this] { noticeOfPeer_.clear(); });
  // Both watchers run after the publishing call has returned. The second one keeps the
  // snapshot it was published with.
  connect(&model, &workspace::WorkspaceModel::snapshotPublished, this, [self, this] {
    environment_.mainQueue([self] {
      if (self) self->pendingNavigation();
    });
  });
  connect(&model, &workspace::WorkspaceModel::snapshotPublished, this, [self, this] {
    if (!model_) return;
    environment_.mainQueue([self, snapshot = model_->sharedSnapshot()] {
      if (!self || !self->model_ || !self->model_->hasReceivedSnapshot()) return;
      const bool enabled = snapshot->preferences.notificationsEnabled;
      if (self->observedNotificationPreference_ == enabled) return;
      self->observedNotificationPreference_ = enabled;
      self->refreshStatus();
    });
  });

  if (environment_.menus) {
    environment_.menus->install();
    environment_.menus->setLanguage(model.snapshot().preferences.language);
  }
  model.languageChanged = [self](const std::string& language) {
    if (self && self->environment_.menus) self->environment_.menus->setLanguage(language);
  };

  model.incomingNotification = [self](const runtime::RuntimePeer* peer,
                                      const runtime::RuntimeSnapshot& snapshot) {
    if (self) self->post(peer, snapshot, "notifications.message", "im.received");
  };
  model.incomingFileNotification = [self](const runtime::RuntimePeer* peer,
                                          const runtime::RuntimeSnapshot& snapshot) {
    if (self) self->post(peer, snapshot, "notifications.file", "transfer");
  };

  const auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  model.applicationActive =
      application == nullptr || QGuiApplication::applicationState() == Qt::ApplicationActive;
  model.unreadChanged = [self] {
    if (self) self->scheduleBadge();
  };
  observePower();
  if (application != nullptr) {
    activeConnection_ = connect(application, &QGuiApplication::applicationStateChanged, this,
                                &DesktopLifecycle::applicationStateChanged);
  }
  updateBadge();
  refreshStatus();
}

// A snapshot changes the counts once per new message: the badge follows once it has settled.
void DesktopLifecycle::scheduleBadge() {
  if (badgeScheduled_) return;
  badgeScheduled_ = true;
  environment_.mainQueue([self = QPointer(this)] {
    if (!self) return;
    self->badgeScheduled_ = false;
    self->updateBadge();
  });
}

void DesktopLifecycle::updateBadge() {
  if (!model_) return;
  badge_->show(
      launcherCount(model_->unread(), model_->snapshot().preferences.notificationsEnabled));
}

void DesktopLifecycle::observePower() {
  if (power_ != nullptr) return;
  power_ = new platform::PowerObserver(environment_.systemBus, environment_.productName,
                                       "Pausing the network before sleep", this);
  power_->onSleep = [this] { sleep(); };
  power_->onWake = [this] { wake(); };
  power_->onPowerOff = [this] { powerOff(); };
}

void DesktopLifecycle::sleep() {
  if (model_) model_->runtime().suspend();
}

void DesktopLifecycle::wake() {
  if (!systemEnding_ && model_) model_->runtime().resume();
}

void DesktopLifecycle::powerOff() {
  setSystemEnding();
  if (!model_) return;
  model_->attachments()->cancel();
  model_->attachments()->setError(transfer::ContentFailure::Case::cancelled);
  model_->runtime().suspend();
}

void DesktopLifecycle::applicationStateChanged(Qt::ApplicationState state) {
  if (state == Qt::ApplicationActive) {
    environment_.mainQueue([self = QPointer(this)] {
      if (self) self->becameActive();
    });
    return;
  }
  if (model_) model_->applicationActive = false;
}

void DesktopLifecycle::becameActive() {
  if (!model_) return;
  model_->applicationActive = true;
  model_->runtime().refreshDeviceName();
  if (model_->workspaceVisible()) model_->markWorkspaceVisible();
  refreshStatus();
}

void DesktopLifecycle::reopen() {
  if (!model_) return;
  if (model_->revealWorkspace) model_->revealWorkspace();
  // The closure may have let the model go.
  if (model_) model_->markWorkspaceVisible();
}

}  // namespace velmorine::shell
