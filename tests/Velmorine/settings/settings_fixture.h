#pragma once

// The settings window as the user meets it: the real model over a real runtime in a data folder
// of the test's own (networking off), the real lifecycle on private session and system buses
// with scripted notification server, launcher and login manager, texts marked with the language
// they were asked in, and an import of older data that the test answers.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/network/discovery_transport.h"
#include "Velmorine/reminders/reminder_service_client.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/settings/settings_view.h"
#include "Velmorine/shell/desktop_lifecycle.h"
#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/keychain_service.h"
#include "Velmorine/workspace/main_queue.h"
#include "Velmorine/workspace/vel_runtime_operations.h"
#include "platform/keychain/keychain.h"
#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/harness/desktop_bus_peer_process.h"
#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::settings::testing {

using velmorine::testing::BusPeer;
using velmorine::testing::Json;
using workspace::RuntimeOperations;

constexpr int kWait = 20000;  // milliseconds for a condition to come true while events run

// The real runtime's operations, with the settings operations written down as they pass.
class WitnessedRuntime final : public RuntimeOperations {
 public:
  explicit WitnessedRuntime(std::shared_ptr<RuntimeOperations> inner) : inner_(std::move(inner)) {}

  std::vector<std::string> settingsCalls;

  void setOnSnapshot(std::function<void(runtime::RuntimeSnapshot)> f) override {
    inner_->setOnSnapshot(std::move(f));
  }
  void start() override { inner_->start(); }
  void suspend() override { inner_->suspend(); }
  void resume() override { inner_->resume(); }
  void shutdown(std::function<void()> done) override { inner_->shutdown(std::move(done)); }
  void refreshDeviceName() override { inner_->refreshDeviceName(); }
  void configureReminders() override { inner_->configureReminders(); }
  void connectPeer(std::string wireID) override { inner_->connectPeer(std::move(wireID)); }
  void selectConversation(std::string contactID, bool earlier) override {
    inner_->selectConversation(std::move(contactID), earlier);
  }
  void sendText(std::string text, std::string wireID, std::string contactID,
                TextSent done) override {
    inner_->sendText(std::move(text), std::move(wireID), std::move(contactID), std::move(done));
  }
  void resendMessage(std::string messageID, std::string contactID) override {
    inner_->resendMessage(std::move(messageID), std::move(contactID));
  }
  void cancelMessage(std::string messageID, std::string contactID) override {
    inner_->cancelMessage(std::move(messageID), std::move(contactID));
  }
  void cancelReminder(std::string peerID) override { inner_->cancelReminder(std::move(peerID)); }
  void clearConversation(std::string wireID, std::string contactID, Completion done) override {
    inner_->clearConversation(std::move(wireID), std::move(contactID), std::move(done));
  }
  void setPeerBlocked(std::string peerID, bool blocked) override {
    inner_->setPeerBlocked(std::move(peerID), blocked);
  }
  void resolveChangedKey(std::string wireID, bool separate) override {
    inner_->resolveChangedKey(std::move(wireID), separate);
  }
  void verifyPeer(std::string wireID) override { inner_->verifyPeer(std::move(wireID)); }
  void setNetworkEnabled(bool enabled) override {
    settingsCalls.push_back(std::string("setNetworkEnabled ") + (enabled ? "true" : "false"));
    inner_->setNetworkEnabled(enabled);
  }
  void updatePreferences(std::function<void(store::AppPreferences&)> change) override {
    // What the change does to default preferences tells which setting it is.
    store::AppPreferences probe;
    probe.language = probe.appearance = "?";
    change(probe);
    settingsCalls.push_back("updatePreferences language=" + probe.language +
                            " appearance=" + probe.appearance +
                            " notifications=" + (probe.notificationsEnabled ? "on" : "off"));
    inner_->updatePreferences(std::move(change));
  }
  void renameDevice(std::optional<std::string> name, Completion done) override {
    settingsCalls.push_back("renameDevice " + (name ? "'" + *name + "'" : std::string("none")));
    inner_->renameDevice(std::move(name), std::move(done));
  }
  void resetDevices(Completion done) override {
    settingsCalls.push_back("resetDevices");
    inner_->resetDevices(std::move(done));
  }
  void sendFiles(workspace::PreparedAttachments batch, std::string wireID,
                 FilesSent done) override {
    inner_->sendFiles(std::move(batch), std::move(wireID), std::move(done));
  }
  void acceptTransfer(std::string transferID, std::filesystem::path destination) override {
    inner_->acceptTransfer(std::move(transferID), std::move(destination));
  }
  void declineTransfer(std::string transferID) override {
    inner_->declineTransfer(std::move(transferID));
  }
  void cancelTransfer(std::string transferID) override {
    inner_->cancelTransfer(std::move(transferID));
  }
  void retryTransfer(std::string transferID) override {
    inner_->retryTransfer(std::move(transferID));
  }
  void hideEndedTransfers(std::optional<std::string> contactID,
                          std::optional<std::string> transferID, Completion done) override {
    inner_->hideEndedTransfers(std::move(contactID), std::move(transferID), std::move(done));
  }
  void recoverReceives(std::filesystem::path destination) override {
    inner_->recoverReceives(std::move(destination));
  }
  void removeReceivedRecord(std::string transferID) override {
    inner_->removeReceivedRecord(std::move(transferID));
  }
  void relinkReceivedFolder(std::string transferID, std::filesystem::path folder,
                            ReceivedFolderRelinked done) override {
    inner_->relinkReceivedFolder(std::move(transferID), std::move(folder), std::move(done));
  }
  void openReceivedFolder(ReceivedFolderOpened done) override {
    inner_->openReceivedFolder(std::move(done));
  }

 private:
  std::shared_ptr<RuntimeOperations> inner_;
};

// The runtime the program builds, over `dataFolder`, with its keychain beside it.
inline std::shared_ptr<RuntimeOperations> realRuntime(const std::filesystem::path& dataFolder,
                                                      const std::filesystem::path& keychain) {
  auto identities = std::make_shared<store::SystemIdentityKeychain>(
      store::keychainServiceBase() + store::kIdentityServiceSuffix, store::keychainAccessGroup(),
      platform::Keychain(keychain));
  runtime::RuntimeEnvironment environment;
  environment.mainQueue = workspace::postToMainQueue;
  auto runtime = runtime::VelRuntime::create(
      dataFolder, std::move(identities), reminders::ReminderServiceClient::shared(),
      network::makeDiscoveryService, /*durableReceipts=*/true, runtime::sendOnSession,
      runtime::sendOnSession, std::move(environment));
  return std::make_shared<workspace::VelRuntimeOperations>(std::move(runtime),
                                                           workspace::postToMainQueue);
}

class RecordingPush final : public shell::PushRegistration {
 public:
  void setDesired(bool wanted, std::string) override {
    calls.push_back(wanted ? "desired true" : "desired false");
  }
  void disable() override { calls.push_back("disable"); }
  void contactForRoute(std::string, std::function<void(std::optional<std::string>)> done) override {
    done(std::nullopt);
  }
  std::vector<std::string> calls;
};

// The import of older data as the test answers it.
struct ScriptedImport {
  std::vector<std::string> languages;
  std::function<void(shell::LegacyImportOutcome)> pending;
  std::vector<std::string> presented;
};

class SettingsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    workspace::testing::useViewTestLook();
    ASSERT_TRUE(session.start()) << "dbus-daemon cannot run";
    ASSERT_TRUE(system.start());
    notificationServer = std::make_unique<BusPeer>("notifications", session.address());
    launcher = std::make_unique<BusPeer>("launcher", session.address());
    logind = std::make_unique<BusPeer>("logind", system.address());
    ASSERT_TRUE(notificationServer->start());
    ASSERT_TRUE(launcher->start());
    ASSERT_TRUE(logind->start());
    installHelper();

    runtime = std::make_shared<WitnessedRuntime>(
        realRuntime(home / "data" / "Velmorine", home / "keychain"));
    workspace::WorkspaceModel::Replacements replacements;
    replacements.runtime = runtime;
    model = std::make_unique<workspace::WorkspaceModel>(
        [](std::optional<std::string> recipient) {
          return std::make_shared<workspace::testing::FakePreparation>(std::move(recipient));
        },
        std::move(replacements));
    environment =
        std::make_unique<workspace::ViewEnvironment>(*model, workspace::testing::markedLookup());
    lifecycle = std::make_unique<shell::DesktopLifecycle>(lifecycleEnvironment());
    lifecycle->attach(*model);
  }

  void TearDown() override {
    view.reset();
    lifecycle.reset();
    if (model) {
      bool closed = false;
      model->runtime().shutdown([&] { closed = true; });
      EXPECT_TRUE(QTest::qWaitFor([&] { return closed; }, kWait));
    }
    model.reset();
  }

  shell::DesktopLifecycle::Environment lifecycleEnvironment() {
    lifecycleSession.emplace(session.connect());
    shell::DesktopLifecycle::Environment environment(*lifecycleSession, system.connect());
    environment.productIdentifier = "org.example.SettingsTest";
    environment.loginItem.emplace(home / "config", "org.example.SettingsTest.LoginHelper.desktop",
                                  helper, "Velmorine");
    environment.push = push;
    environment.preferredLanguages = [] { return std::vector<std::string>{"en"}; };
    environment.text = [](std::string_view key, std::string_view language) {
      return workspace::testing::markedLookup()(key, language);
    };
    environment.quitEventLoop = [] {};
    environment.endProcess = [] {};
    return environment;
  }

  void installHelper() {
    std::filesystem::create_directories(helper.parent_path());
    std::ofstream(helper) << "#!/bin/sh\nexit 0\n";
    ::chmod(helper.c_str(), 0755);
  }

  SettingsParts parts(bool importSupported = true) {
    SettingsParts parts;
    parts.about.bundle = [] {
      return platform::Bundle(
          nlohmann::json{{"ShortVersionString", "1.2"}, {"BundleVersion", "7"}});
    };
    parts.about.notices = home / "notices.txt";
    parts.legacyImportSupported = importSupported;
    parts.chooseImportSource = [this](std::string language,
                                      std::function<void(shell::LegacyImportOutcome)> done) {
      import.languages.push_back(std::move(language));
      import.pending = std::move(done);
    };
    parts.presentImportFailure = [this](const std::exception_ptr&, std::string_view language) {
      import.presented.push_back("failure " + std::string(language));
    };
    parts.presentImportReady = [this](std::string_view language) {
      import.presented.push_back("ready " + std::string(language));
    };
    return parts;
  }

  // The view, shown in a window of the settings window's size.
  SettingsView& show(bool importSupported = true) {
    view = std::make_unique<SettingsView>(*environment, *lifecycle, parts(importSupported));
    view->resize(620, 700);
    view->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    return *view;
  }

  // Starts the runtime (networking stays off) and waits for its store's first snapshot.
  void startRuntime() {
    model->startRuntime()();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return model->hasReceivedSnapshot() && !model->snapshot().localID; }, kWait));
    settle();
  }

  // Runs the main queue until the runtime has done everything asked of it so far and its
  // snapshot has been applied: a completion of its own queue comes after them.
  void settle() {
    bool done = false;
    model->runtime().hideEndedTransfers(std::nullopt, std::string("none"),
                                        [&](bool) { done = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, kWait));
    QCoreApplication::processEvents();
  }

  static void click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isVisible() && button->isEnabled()) << button->objectName().toStdString();
    button->click();
  }

  // The button of `alert` in `role`.
  static QAbstractButton* buttonOf(QMessageBox* alert, QMessageBox::ButtonRole role) {
    if (alert == nullptr) return nullptr;
    for (auto* button : alert->buttons()) {
      if (alert->buttonRole(button) == role) return button;
    }
    return nullptr;
  }

  static QString marked(const char* code, std::string_view key) {
    return QString::fromStdString(workspace::testing::markedLookup()(key, code));
  }

  velmorine::testing::TemporaryFolder home;
  velmorine::testing::PrivateBus session;
  velmorine::testing::PrivateBus system;
  std::optional<QDBusConnection> lifecycleSession;
  std::unique_ptr<BusPeer> notificationServer;
  std::unique_ptr<BusPeer> launcher;
  std::unique_ptr<BusPeer> logind;
  std::filesystem::path helper =
      home / "prefix" / "libexec" / "velmorine" / "velmorine-login-helper";
  std::shared_ptr<RecordingPush> push = std::make_shared<RecordingPush>();
  std::shared_ptr<WitnessedRuntime> runtime;
  std::unique_ptr<workspace::WorkspaceModel> model;
  std::unique_ptr<workspace::ViewEnvironment> environment;
  std::unique_ptr<shell::DesktopLifecycle> lifecycle;
  ScriptedImport import;
  std::unique_ptr<SettingsView> view;
};

}  // namespace velmorine::settings::testing
