// The settings window over the real model, runtime and lifecycle: the device name, language,
// appearance and start at login; networking and the device reset; notifications; the about
// section with the import of older data; the one error alert; the keyboard.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QToolButton>
#include <set>

#include "Velmorine/settings/about_section.h"
#include "Velmorine/settings/about_view.h"
#include "Velmorine/settings/general_section.h"
#include "Velmorine/settings/network_section.h"
#include "Velmorine/settings/notification_section.h"
#include "Velmorine/shell/desktop_front_end.h"
#include "Velmorine/workspace/text_label.h"
#include "platform/desktop/desktop_notifications.h"
#include "tests/Velmorine/settings/settings_fixture.h"

namespace velmorine::settings::testing {
namespace {

class SettingsViewTest : public SettingsFixture {
 protected:
  GeneralSection& general() { return *view->general(); }
  std::string displayName() { return model->snapshot().preferences.displayName; }

  // Types `text` into the name field as the user would, replacing what it held.
  void type(const QString& text) {
    auto* field = general().nameField();
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
    ASSERT_EQ(field->text(), text);
  }

  // The text of the error alert's message, or none when no alert is open.
  std::optional<QString> alertMessage() {
    auto* alert = view->errorAlert();
    if (alert == nullptr || !alert->isVisible()) return std::nullopt;
    return alert->informativeText();
  }

  // Waits for the launcher to be told to show (or hide) the badge, from `from` on.
  bool badgeShown(bool visible, size_t from) {
    return QTest::qWaitFor(
        [&] {
          for (const auto& update : launcher->events("update", from)) {
            if (update["visible"].get<bool>() == visible) return true;
          }
          return false;
        },
        kWait);
  }

  void acknowledgeAlert() {
    auto* ok = buttonOf(view->errorAlert(), QMessageBox::RejectRole);
    ASSERT_NE(ok, nullptr);
    ok->click();
    QCoreApplication::processEvents();
  }
};

TEST_F(SettingsViewTest, OpeningFillsTheNameOverAnUnsavedEdit) {
  startRuntime();
  show();
  EXPECT_EQ(general().nameField()->text().toStdString(), displayName());
  type(QStringLiteral("Half typed"));
  view->hide();
  view->show();
  EXPECT_EQ(general().nameField()->text().toStdString(), displayName());
  EXPECT_FALSE(general().saveButton()->isEnabled()) << "the stored name cannot be saved again";
}

struct NameCase {
  const char* label;
  std::string typed;  // "@" stands for the current display name
  bool saveEnabled;
  // What Return ends with: the stored name, or "!" for the invalid-name alert.
  std::string outcome;
  // What the field shows afterwards ("@": the current display name).
  std::string fieldAfter;
};

std::string expand(const std::string& text, const std::string& name) {
  std::string out;
  for (char c : text) {
    if (c == '@') {
      out += name;
    } else {
      out += c;
    }
  }
  return out;
}

std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST_F(SettingsViewTest, SaveAndReturnFollowTheNameRule) {
  startRuntime();
  show();
  const std::string twoByte = "\u00e9";  // é: two UTF-8 bytes
  const NameCase cases[] = {
      {"blanks around a new name", "  Desk  ", true, "Desk", "Desk"},
      {"the exact name", "@", false, "@", "@"},
      {"blanks around the current name", "  @  ", true, "@", "  @  "},
      {"128 bytes of two-byte letters", repeated(twoByte, 64), true, repeated(twoByte, 64),
       repeated(twoByte, 64)},
      {"129 bytes", repeated(twoByte, 64) + "a", false, "!", repeated(twoByte, 64) + "a"},
      {"blanks only", "   ", false, "!", "   "},
      {"tab", "a\tb", false, "!", "a\tb"},
      {"zero-width joiner", "a\u200db", false, "!", "a\u200db"},
      {"right-to-left override", "a\u202eb", false, "!", "a\u202eb"},
      {"left-to-right isolate", "a\u2066b", false, "!", "a\u2066b"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.label);
    const std::string before = displayName();
    const std::string typed = expand(test.typed, before);
    auto* field = general().nameField();
    field->setFocus();
    // Typing cannot enter a tab or the format characters: the field takes them as pasted.
    field->setText(QString::fromStdString(typed));
    EXPECT_EQ(general().saveButton()->isEnabled(), test.saveEnabled);
    const auto calls = runtime->settingsCalls.size();
    QTest::keyClick(field, Qt::Key_Return);
    settle();
    if (test.outcome == "!") {
      EXPECT_EQ(alertMessage(), marked("en", "settings.invalidName"));
      EXPECT_EQ(runtime->settingsCalls.size(), calls) << "nothing goes to the runtime";
      acknowledgeAlert();
      EXPECT_FALSE(model->settingsErrorKey());
      EXPECT_EQ(displayName(), before);
    } else {
      ASSERT_EQ(runtime->settingsCalls.size(), calls + 1);
      EXPECT_EQ(runtime->settingsCalls.back(), "renameDevice '" + typed + "'");
      EXPECT_FALSE(alertMessage());
      EXPECT_EQ(displayName(), expand(test.outcome, before));
    }
    EXPECT_EQ(field->text().toStdString(), expand(test.fieldAfter, displayName()));
  }
}

TEST_F(SettingsViewTest, TheAutomaticNameWithoutACustomNameStillSucceeds) {
  startRuntime();
  show();
  const std::string automatic = displayName();
  click(general().automaticButton());
  settle();
  EXPECT_EQ(runtime->settingsCalls, (std::vector<std::string>{"renameDevice none"}));
  EXPECT_FALSE(model->settingsErrorKey());
  EXPECT_EQ(displayName(), automatic);

  type(QStringLiteral("Custom"));
  QTest::keyClick(general().nameField(), Qt::Key_Return);
  settle();
  ASSERT_EQ(displayName(), "Custom");
  click(general().automaticButton());
  settle();
  EXPECT_EQ(displayName(), automatic);
  EXPECT_EQ(general().nameField()->text().toStdString(), automatic);
}

TEST_F(SettingsViewTest, SavingBeforeTheStoreOpenedShowsTheSaveFailure) {
  show();
  type(QStringLiteral("Desk"));
  QTest::keyClick(general().nameField(), Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return alertMessage().has_value(); }, kWait));
  EXPECT_EQ(alertMessage(), marked("en", "deviceName.saveFailed"));
  EXPECT_EQ(general().nameField()->text(), QStringLiteral("Desk")) << "the typed text stays";
}

// Every text the view shows, but the literal language names, the name and the issue lines.
std::vector<QString> shownTexts(QWidget& root) {
  std::vector<QString> texts;
  for (auto* box : root.findChildren<QGroupBox*>()) texts.push_back(box->title());
  for (auto* label : root.findChildren<QLabel*>()) {
    if (label->isVisible() && !label->text().isEmpty() &&
        label->parentWidget()->objectName() != QStringLiteral("network.issues")) {
      texts.push_back(label->text());
    }
  }
  for (auto* button : root.findChildren<QAbstractButton*>()) {
    if (button->isVisible()) texts.push_back(button->text());
  }
  for (auto* picker : root.findChildren<QComboBox*>()) {
    if (picker->objectName() == QStringLiteral("settings.appearance")) {
      for (int i = 0; i < picker->count(); ++i) texts.push_back(picker->itemText(i));
    } else {
      texts.push_back(picker->itemText(0));
    }
  }
  return texts;
}

TEST_F(SettingsViewTest, ALanguageChoiceSendsOneChangeAndRedrawsEveryText) {
  startRuntime();
  show();
  for (const auto& text : shownTexts(*view)) {
    EXPECT_TRUE(text.startsWith(QStringLiteral("[en] "))) << text.toStdString();
  }
  auto* picker = general().languagePicker();
  EXPECT_EQ(picker->currentData().toString(), QStringLiteral("system"));
  const std::vector<std::string> literal{"简体中文", "English", "日本語", "한국어", "Русский"};
  for (int i = 1; i < picker->count(); ++i) {
    EXPECT_EQ(picker->itemText(i).toStdString(), literal[static_cast<std::size_t>(i - 1)]);
  }

  // The keyboard moves the picker three rows down, to Japanese: one change per row chosen.
  picker->setFocus();
  QTest::keyClick(picker, Qt::Key_End);
  settle();
  ASSERT_EQ(runtime->settingsCalls.size(), 1U);
  EXPECT_EQ(runtime->settingsCalls[0],
            "updatePreferences language=ru appearance=? notifications=off");
  EXPECT_EQ(picker->currentData().toString(), QStringLiteral("ru"));
  // The picker shows the stored value between a choice and its snapshot.
  QTest::keyClick(picker, Qt::Key_Up);
  settle();
  QTest::keyClick(picker, Qt::Key_Up);
  settle();
  ASSERT_EQ(runtime->settingsCalls.size(), 3U);
  EXPECT_EQ(runtime->settingsCalls[2],
            "updatePreferences language=ja appearance=? notifications=off");
  ASSERT_EQ(model->snapshot().preferences.language, "ja");
  for (const auto& text : shownTexts(*view)) {
    EXPECT_TRUE(text.startsWith(QStringLiteral("[ja] "))) << text.toStdString();
  }

  // Dialogs open in the language of the moment and follow a change while open.
  view->setConfirmDeviceReset(true);
  ASSERT_NE(view->resetConfirmation(), nullptr);
  EXPECT_EQ(view->resetConfirmation()->text(), marked("ja", "devices.reset"));
  model->runtime().updatePreferences([](store::AppPreferences& p) { p.language = "ko"; });
  settle();
  EXPECT_EQ(view->resetConfirmation()->text(), marked("ko", "devices.reset"));
  EXPECT_EQ(buttonOf(view->resetConfirmation(), QMessageBox::RejectRole)->text(),
            marked("ko", "action.cancel"));
}

TEST_F(SettingsViewTest, PickersReturnToTheStoredValueWhenTheStoreCannotBeWritten) {
  startRuntime();
  show();
  // A folder with something in it where the document was: no rename replaces it, also as root.
  const auto document = home / "data" / "Velmorine" / "state-v1.json";
  ASSERT_TRUE(std::filesystem::exists(document));
  std::filesystem::remove(document);
  std::filesystem::create_directories(document / "blocker");

  auto* appearance = general().appearancePicker();
  appearance->setFocus();
  QTest::keyClick(appearance, Qt::Key_End);
  EXPECT_EQ(appearance->currentData().toString(), QStringLiteral("system"))
      << "the picker shows the stored value until the runtime publishes";
  settle();
  EXPECT_EQ(model->snapshot().status, "storage.unavailable");
  EXPECT_EQ(appearance->currentData().toString(), QStringLiteral("system"));

  auto* language = general().languagePicker();
  language->setFocus();
  QTest::keyClick(language, Qt::Key_Down);
  settle();
  EXPECT_EQ(language->currentData().toString(), QStringLiteral("system"));
  EXPECT_EQ(runtime->settingsCalls.size(), 2U);
}

TEST_F(SettingsViewTest, TheLoginToggleShowsWhatTheSystemReports) {
  show();
  auto* toggle = general().loginToggle();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return general().loginCaption()->text() == marked("en", "startup.disabled"); }, kWait));
  EXPECT_FALSE(toggle->isChecked());

  toggle->setFocus();
  QTest::keyClick(toggle, Qt::Key_Space);
  EXPECT_TRUE(toggle->isChecked());
  EXPECT_EQ(general().loginCaption()->text(), marked("en", "startup.enabled"));
  EXPECT_TRUE(std::filesystem::exists(home / "config" / "autostart" /
                                      "org.example.SettingsTest.LoginHelper.desktop"));
  QTest::keyClick(toggle, Qt::Key_Return);
  EXPECT_FALSE(toggle->isChecked());
  EXPECT_EQ(general().loginCaption()->text(), marked("en", "startup.disabled"));

  // Without the helper the system cannot start it: switching on fails and the toggle stays off.
  std::filesystem::remove(helper);
  QTest::keyClick(toggle, Qt::Key_Space);
  EXPECT_FALSE(toggle->isChecked());
  EXPECT_EQ(general().loginCaption()->text(), marked("en", "startup.unavailable"));
  EXPECT_EQ(alertMessage(), marked("en", "startup.failed"));
}

TEST_F(SettingsViewTest, IssuesAreListedOneLineEachInTheirOrder) {
  show();
  EXPECT_EQ(view->network()->detailsButton(), nullptr);
  auto snapshot = model->snapshot();
  snapshot.issues = {{"en0", "bind", 1}, {"wlan0", "join", 19}, {"en0", "bind", 1}};
  model->apply(snapshot);
  auto* details = view->network()->detailsButton();
  ASSERT_NE(details, nullptr);
  EXPECT_EQ(details->text(), marked("en", "network.details"));
  EXPECT_FALSE(details->isChecked()) << "collapsed at first";
  const auto lines = view->network()->issueLines();
  ASSERT_EQ(lines.size(), 3);
  EXPECT_FALSE(lines[0]->isVisible());
  EXPECT_EQ(lines[0]->text(), QStringLiteral("en0 \u00b7 bind \u00b7 1"));
  EXPECT_EQ(lines[1]->text(), QStringLiteral("wlan0 \u00b7 join \u00b7 19"));
  EXPECT_EQ(lines[2]->text(), QStringLiteral("en0 \u00b7 bind \u00b7 1"));
  details->setFocus();
  QTest::keyClick(details, Qt::Key_Space);
  EXPECT_TRUE(lines[0]->isVisible());

  snapshot.issues.clear();
  model->apply(snapshot);
  EXPECT_EQ(view->network()->detailsButton(), nullptr);
  EXPECT_TRUE(view->network()->issueLines().isEmpty());
}

TEST_F(SettingsViewTest, TheNetworkToggleFollowsTheRuntimeNotTheClick) {
  // The runtime is not started: nothing leaves this test for the machine's network.
  show();
  auto* toggle = view->network()->networkToggle();
  EXPECT_FALSE(toggle->isChecked());
  EXPECT_EQ(view->network()->statusLine()->text(), marked("en", "network.paused"));
  toggle->setFocus();
  QTest::keyClick(toggle, Qt::Key_Space);
  EXPECT_FALSE(toggle->isChecked()) << "the click alone does not move it";
  EXPECT_EQ(runtime->settingsCalls, (std::vector<std::string>{"setNetworkEnabled true"}));
  click(view->network()->retryButton());
  EXPECT_EQ(runtime->settingsCalls,
            (std::vector<std::string>{"setNetworkEnabled true", "setNetworkEnabled true"}));

  // A snapshot moves it.
  auto snapshot = model->snapshot();
  snapshot.enabled = true;
  snapshot.status = "network.searching";
  model->apply(snapshot);
  EXPECT_TRUE(toggle->isChecked());
  EXPECT_EQ(view->network()->statusLine()->text(), marked("en", "network.searching"));
  QTest::keyClick(toggle, Qt::Key_Return);
  EXPECT_TRUE(toggle->isChecked());
  EXPECT_EQ(runtime->settingsCalls.back(), "setNetworkEnabled false");
}

TEST_F(SettingsViewTest, TheDeviceResetIsConfirmedOrCancelled) {
  startRuntime();
  show();
  click(view->network()->resetButton());
  auto* confirmation = view->resetConfirmation();
  ASSERT_NE(confirmation, nullptr);
  EXPECT_TRUE(confirmation->isVisible());
  EXPECT_EQ(confirmation->informativeText(), marked("en", "devices.resetDescription"));
  click(buttonOf(confirmation, QMessageBox::RejectRole));
  QCoreApplication::processEvents();
  EXPECT_FALSE(view->confirmDeviceReset());
  EXPECT_TRUE(runtime->settingsCalls.empty()) << "cancelling calls nothing";

  click(view->network()->resetButton());
  ASSERT_NE(view->resetConfirmation(), nullptr);
  click(buttonOf(view->resetConfirmation(), QMessageBox::AcceptRole));
  settle();
  EXPECT_EQ(runtime->settingsCalls, (std::vector<std::string>{"resetDevices"}));
  EXPECT_FALSE(alertMessage());
  EXPECT_FALSE(view->confirmDeviceReset());
}

TEST_F(SettingsViewTest, AResetBeforeTheStoreOpensShowsTheFailureUntilAcknowledged) {
  show();
  click(view->network()->resetButton());
  click(buttonOf(view->resetConfirmation(), QMessageBox::AcceptRole));
  ASSERT_TRUE(QTest::qWaitFor([&] { return alertMessage().has_value(); }, kWait));
  EXPECT_EQ(view->errorAlert()->text(), marked("en", "error.title"));
  EXPECT_EQ(alertMessage(), marked("en", "devices.resetFailed"));
  EXPECT_EQ(buttonOf(view->errorAlert(), QMessageBox::RejectRole)->text(),
            marked("en", "action.ok"));
  acknowledgeAlert();
  EXPECT_FALSE(model->settingsErrorKey());
  EXPECT_FALSE(alertMessage());

  // The next error presents the alert again.
  model->setSettingsErrorKey("notifications.failed");
  EXPECT_EQ(alertMessage(), marked("en", "notifications.failed"));
}

TEST_F(SettingsViewTest, SwitchingNotificationsOffClosesWhatWasPostedAndClearsTheBadge) {
  startRuntime();
  model->runtime().updatePreferences(
      [](store::AppPreferences& p) { p.notificationsEnabled = true; });
  settle();
  show();
  auto* toggle = view->notifications()->notificationsToggle();
  EXPECT_TRUE(toggle->isChecked());
  lifecycle->notifications().post({"peer-a", "A", "hello", "im.received", "Open"});
  lifecycle->notifications().post({"peer-b", "B", "files", "transfer", "Open"});
  const auto posted = notificationServer->awaitEvents("notify", 2);
  ASSERT_EQ(posted.size(), 2U);
  ASSERT_TRUE(QTest::qWaitFor([&] { return lifecycle->notifications().remembered() == 2; }, kWait));
  model->setUnread({{"peer-a", 3}});
  ASSERT_TRUE(badgeShown(true, 0));
  const auto updates = launcher->mark();

  toggle->setFocus();
  QTest::keyClick(toggle, Qt::Key_Space);
  EXPECT_TRUE(toggle->isChecked()) << "the toggle follows the next snapshot";
  const auto closed = notificationServer->awaitEvents("closeRequest", 2);
  ASSERT_EQ(closed.size(), 2U);
  std::set<unsigned> ids{closed[0]["id"].get<unsigned>(), closed[1]["id"].get<unsigned>()};
  EXPECT_EQ(ids,
            (std::set<unsigned>{posted[0]["id"].get<unsigned>(), posted[1]["id"].get<unsigned>()}));
  EXPECT_TRUE(badgeShown(false, updates));
  EXPECT_EQ(push->calls.back(), "disable");
  settle();
  EXPECT_FALSE(toggle->isChecked());
  EXPECT_FALSE(model->snapshot().preferences.notificationsEnabled);
}

TEST_F(SettingsViewTest, WithTheModelGoneSwitchingOffStillWithdrawsAndSavesNothing) {
  auto snapshot = model->snapshot();
  snapshot.preferences.notificationsEnabled = true;
  model->apply(snapshot);
  model->setUnread({{"peer-a", 2}});
  ASSERT_TRUE(badgeShown(true, 0));
  lifecycle->notifications().post({"peer-a", "A", "hello", "im.received", "Open"});
  const auto posted = notificationServer->awaitEvents("notify", 1);
  ASSERT_EQ(posted.size(), 1U);
  ASSERT_TRUE(QTest::qWaitFor([&] { return lifecycle->notifications().remembered() == 1; }, kWait));
  const auto updates = launcher->mark();
  model.reset();

  setNotificationsEnabled(false, nullptr, *lifecycle);
  const auto closed = notificationServer->awaitEvents("closeRequest", 1);
  ASSERT_EQ(closed.size(), 1U);
  EXPECT_EQ(closed[0]["id"], posted[0]["id"]);
  EXPECT_TRUE(badgeShown(false, updates));
  EXPECT_TRUE(runtime->settingsCalls.empty());

  // Switching on without a model still asks the server.
  const auto asked = notificationServer->mark();
  setNotificationsEnabled(true, nullptr, *lifecycle);
  EXPECT_FALSE(notificationServer->awaitEvents("capabilities", 1, asked).empty());
  EXPECT_TRUE(runtime->settingsCalls.empty());
}

TEST_F(SettingsViewTest, SwitchingNotificationsOnAsksTheServerAndShowsItsAnswer) {
  startRuntime();
  show();
  const auto asked = notificationServer->mark();
  auto* toggle = view->notifications()->notificationsToggle();
  toggle->setFocus();
  QTest::keyClick(toggle, Qt::Key_Space);
  EXPECT_FALSE(notificationServer->awaitEvents("capabilities", 1, asked).empty());
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return view->notifications()->statusLine()->text() == marked("en", "notifications.enabled");
      },
      kWait));
  settle();
  EXPECT_TRUE(toggle->isChecked());
  EXPECT_FALSE(alertMessage());
  EXPECT_EQ(view->notifications()->pushLine()->text(), marked("en", "notifications.push.off"));
}

TEST_F(SettingsViewTest, TheImportEntryExistsOnlyWhereTheBuildOffersIt) {
  show(/*importSupported=*/false);
  EXPECT_EQ(view->about()->importButton(), nullptr);
  EXPECT_EQ(view->about()->importProgress(), nullptr);
  EXPECT_TRUE(view->findChildren<QProgressBar*>().isEmpty());
  EXPECT_EQ(view->about()->versionLine()->text(),
            marked("en", "settings.version") + QStringLiteral(" \u00b7 1.2 (7)"));
}

TEST_F(SettingsViewTest, TheImportRunsOnePickerAtATimeAndReportsThroughTheShell) {
  show();
  auto* button = view->about()->importButton();
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(), marked("en", "migration.title"));

  // A message waiting to be sent keeps the import closed until it is gone.
  auto busy = model->snapshot();
  runtime::RuntimeMessage queued;
  queued.id = "m1";
  queued.peerID = "p";
  queued.outgoing = true;
  queued.delivery = runtime::MessageDelivery::queued;
  busy.messages = {queued};
  model->apply(busy);
  EXPECT_FALSE(button->isEnabled());
  busy.messages.clear();
  model->apply(busy);
  ASSERT_TRUE(button->isEnabled());

  struct Ending {
    const char* label;
    std::optional<bool> staged;  // none: a failure
    std::vector<std::string> presented;
  };
  const Ending endings[] = {
      {"the picker closed", false, {}},
      {"a folder staged", true, {"ready system"}},
      {"a failure", std::nullopt, {"failure system"}},
  };
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.label);
    import.presented.clear();
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
    ASSERT_TRUE(import.pending);
    EXPECT_TRUE(view->about()->importingLegacy());
    EXPECT_FALSE(button->isEnabled());
    EXPECT_TRUE(view->about()->importProgress()->isVisible());
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(import.languages.size(), static_cast<std::size_t>(&ending - endings + 1))
        << "no second picker";
    auto done = std::move(import.pending);
    import.pending = nullptr;
    if (ending.staged) {
      done(*ending.staged);
    } else {
      done(std::unexpected(std::make_exception_ptr(std::runtime_error("unreadable"))));
    }
    EXPECT_FALSE(view->about()->importingLegacy());
    EXPECT_TRUE(button->isEnabled());
    EXPECT_FALSE(view->about()->importProgress()->isVisible());
    EXPECT_EQ(import.presented, ending.presented);
    EXPECT_FALSE(alertMessage());
  }
}

TEST_F(SettingsViewTest, TheDetailsButtonOpensTheAboutSheetOnPrivacy) {
  show();
  auto* details = view->about()->detailsButton();
  details->setFocus();
  QTest::keyClick(details, Qt::Key_Return);
  auto* sheet = view->aboutSheet();
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->tab(), "privacy");
  EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
  QTest::keyClick(sheet, Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_FALSE(view->showAbout());
  EXPECT_EQ(view->aboutSheet(), nullptr);
}

TEST_F(SettingsViewTest, TabReachesEveryControl) {
  // The runtime is not started: the issues applied here stay.
  show();
  auto snapshot = model->snapshot();
  snapshot.issues = {{"en0", "bind", 1}};
  model->apply(snapshot);
  // The save button is reachable while it can save.
  general().nameField()->setText(QStringLiteral("Another"));
  general().nameField()->setFocus();
  std::vector<std::string> reached;
  for (int i = 0; i < 40; ++i) {
    auto* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    const auto name = focus->objectName().toStdString();
    if (!reached.empty() && name == reached.front()) break;
    reached.push_back(name);
    QTest::keyClick(focus, Qt::Key_Tab);
  }
  EXPECT_EQ(reached,
            (std::vector<std::string>{"deviceName.field", "deviceName.save", "deviceName.automatic",
                                      "settings.language", "settings.appearance", "startup.toggle",
                                      "network.toggle", "network.retry", "settings.resetDevices",
                                      "network.details", "notifications.toggle", "about.details",
                                      "migration.title"}));
}

TEST_F(SettingsViewTest, TheWindowLaysOutFourSectionsThatScroll) {
  startRuntime();
  show();
  auto boxes =
      view->scrollArea()->widget()->findChildren<QGroupBox*>(QString(), Qt::FindDirectChildrenOnly);
  std::sort(boxes.begin(), boxes.end(), [](auto* a, auto* b) { return a->y() < b->y(); });
  std::vector<std::string> order;
  for (auto* box : boxes) order.push_back(box->objectName().toStdString());
  EXPECT_EQ(order, (std::vector<std::string>{"settings.general", "network.settings",
                                             "notifications.title", "settings.about"}));
  EXPECT_GE(view->minimumWidth(), 540);
  EXPECT_GE(view->minimumHeight(), 600);
  const auto image = workspace::testing::screenshot(*view);
  const auto folder = std::filesystem::temp_directory_path() / "velmorine-screenshots";
  std::filesystem::create_directories(folder);
  image.save(QString::fromStdString((folder / "settings-window.png").string()));
  auto* bar = view->scrollArea()->verticalScrollBar();
  bar->setValue(bar->maximum());
  workspace::testing::screenshot(*view).save(
      QString::fromStdString((folder / "settings-window-end.png").string()));
  bar->setValue(0);
  // Shorter than its sections: the sections scroll, never squeezed.
  view->resize(540, 600);
  QCoreApplication::processEvents();
  EXPECT_TRUE(view->scrollArea()->verticalScrollBar()->maximum() > 0);
  EXPECT_FALSE(view->scrollArea()->horizontalScrollBar()->isVisible());
}

TEST_F(SettingsViewTest, TheFrontEndHostsTheWindowAndItsAboutOpensTheSheetOnPrivacy) {
  shell::FrontEndParts frontParts;
  frontParts.makeSettingsContent = [this](workspace::ViewEnvironment& environment,
                                          QWidget* parent) -> QWidget* {
    return new SettingsView(environment, *lifecycle, parts(), parent);
  };
  frontParts.view.makeAboutSheet = aboutSheetFactory(parts().about);
  shell::DesktopFrontEnd frontEnd(*model, workspace::testing::markedLookup(),
                                  std::move(frontParts));
  frontEnd.showSettings();
  auto* window = frontEnd.settingsWindow();
  ASSERT_NE(window, nullptr);
  auto* hosted = window->findChild<SettingsView*>();
  ASSERT_NE(hosted, nullptr);
  EXPECT_TRUE(hosted->isVisible());
  EXPECT_EQ(window->windowTitle(), marked("en", "settings.title"));

  auto* about = frontEnd.mainWindow()->findChild<QAction*>(QStringLiteral("menu.standard.about"));
  ASSERT_NE(about, nullptr);
  about->trigger();
  auto* sheet = frontEnd.mainWindow()->findChild<AboutView*>();
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->tab(), "privacy");
  EXPECT_EQ(sheet->tabBar()->tabText(0), marked("en", "about.privacy"));
  sheet->reject();
}

}  // namespace
}  // namespace velmorine::settings::testing
