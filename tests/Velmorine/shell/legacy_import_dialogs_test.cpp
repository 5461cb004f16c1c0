// The import's dialogs as the user sees them: Qt's message box and folder dialog on the
// offscreen platform, answered from a timer once they show.

#include "Velmorine/shell/legacy_import_dialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "Velmorine/shell/legacy_import_gate.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/store/history/conversation_history_failure.h"
#include "Velmorine/store/local_store_error.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell {
namespace {

// Waits, on the event loop, for the next modal dialog and hands it to `answer` once.
class NextDialog {
 public:
  explicit NextDialog(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* dialog = QApplication::activeModalWidget();
      if (dialog == nullptr || !dialog->isVisible()) return;
      timer_.stop();
      answer_(dialog);
    });
    timer_.start();
  }

 private:
  std::function<void(QWidget*)> answer_;
  QTimer timer_;
};

struct ShownAlert {
  QString objectName, text, informativeText;
  QStringList buttons;
  QString defaultButton;
};

// Shows `show` and clicks the alert's button `click` (or presses Escape when none).
ShownAlert answerAlert(const std::function<void()>& show, std::optional<int> click) {
  ShownAlert shown;
  NextDialog next([&](QWidget* widget) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    ASSERT_NE(box, nullptr);
    shown.objectName = box->objectName();
    shown.text = box->text();
    shown.informativeText = box->informativeText();
    for (auto* button : box->buttons()) shown.buttons.push_back(button->text());
    if (box->defaultButton() != nullptr) shown.defaultButton = box->defaultButton()->text();
    if (click) {
      box->buttons()[*click]->click();
    } else {
      QTest::keyClick(box, Qt::Key_Escape);
    }
  });
  show();
  return shown;
}

QString text(std::string_view key, std::string_view language) {
  return QString::fromStdString(localizedString(key, language));
}

struct FailureCase {
  const char* name;
  std::function<std::exception_ptr()> failure;
  std::string_view key;
};

template <typename Error>
std::function<std::exception_ptr()> failing(Error error) {
  return [error] { return std::make_exception_ptr(error); };
}

using Case = LegacyMacImportError::Case;

class LegacyImportFailureAlert
    : public ::testing::TestWithParam<std::tuple<FailureCase, const char*>> {};

TEST_P(LegacyImportFailureAlert, ShowsTheKeyOfTheFailureInTheGivenLanguage) {
  const auto& [failureCase, language] = GetParam();
  QtLegacyImportDialogs dialogs;
  const auto shown =
      answerAlert([&] { presentLegacyImportFailure(dialogs, failureCase.failure(), language); }, 0);
  EXPECT_EQ(shown.objectName, QtLegacyImportDialogs::kAlertName);
  EXPECT_EQ(shown.text, text("migration.failed", language));
  EXPECT_EQ(shown.informativeText, text(failureCase.key, language));
  EXPECT_EQ(shown.buttons, QStringList{text("action.ok", language)});
  // The table of that language, not English shown in its place.
  if (std::string_view(language) != "en") {
    EXPECT_NE(shown.informativeText, text(failureCase.key, "en"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, LegacyImportFailureAlert,
    ::testing::Combine(
        ::testing::Values(
            FailureCase{"SourceBusy", failing(LegacyMacImportError(Case::sourceBusy)),
                        "migration.busy"},
            FailureCase{"StoreLocked", failing(store::LocalStoreError::alreadyRunning()),
                        "migration.busy"},
            FailureCase{"Unfinished", failing(LegacyMacImportError(Case::unfinished)),
                        "migration.unfinished"},
            FailureCase{"DestinationUsed", failing(LegacyMacImportError(Case::destinationUsed)),
                        "migration.used"},
            FailureCase{"InvalidSource", failing(LegacyMacImportError(Case::invalidSource)),
                        "migration.invalid"},
            FailureCase{"IdentityMismatch", failing(LegacyMacImportError(Case::identityMismatch)),
                        "migration.invalid"},
            FailureCase{"FileSystem",
                        failing(std::system_error(ENOSPC, std::generic_category(), "write")),
                        "migration.invalid"},
            FailureCase{"Keychain", failing(store::LocalStoreError::keychain(-26275)),
                        "migration.invalid"},
            FailureCase{"History", failing(store::ConversationHistoryFailure::storage(26)),
                        "migration.invalid"}),
        ::testing::Values("zh-Hans", "en", "ja", "ko", "ru")),
    [](const auto& tested) {
      std::string language = std::get<1>(tested.param);
      language.erase(std::remove(language.begin(), language.end(), '-'), language.end());
      return std::string(std::get<0>(tested.param).name) + "_" + language;
    });

TEST(LegacyImportAlerts, ReadyAlertSaysTheImportCompletesAtTheNextStart) {
  QtLegacyImportDialogs dialogs;
  const auto shown = answerAlert([&] { presentLegacyImportReady(dialogs, "ko"); }, 0);
  EXPECT_EQ(shown.text, text("migration.ready", "ko"));
  EXPECT_EQ(shown.informativeText, text("migration.restart", "ko"));
  EXPECT_EQ(shown.buttons, QStringList{text("action.ok", "ko")});
}

TEST(LegacyImportAlerts, FirstButtonIsTheDefaultAndEscapeTheLast) {
  QtLegacyImportDialogs dialogs;
  const LegacyImportAlert offer{"title", "help", {"choose", "later"}};
  std::optional<std::size_t> answer;
  const auto shown = answerAlert([&] { answer = dialogs.runAlert(offer); }, std::nullopt);
  EXPECT_EQ(shown.defaultButton, "choose");
  EXPECT_EQ(answer, 1u);
  answerAlert([&] { answer = dialogs.runAlert(offer); }, 1);
  EXPECT_EQ(answer, 1u);
  // Buttons stand in the platform's order; the answer is the button's place in the alert.
  const int choose = shown.buttons.indexOf("choose");
  answerAlert([&] { answer = dialogs.runAlert(offer); }, choose);
  EXPECT_EQ(answer, 0u);
}

// The folder picker.

struct ShownPicker {
  QString title, accept, message;
  bool foldersOnly = false, ownDialog = false;
  QString directory;
};

ShownPicker answerPicker(QtLegacyImportDialogs& dialogs, const LegacyImportPicker& picker,
                         const std::optional<std::filesystem::path>& choose,
                         std::optional<std::filesystem::path>& chosen) {
  ShownPicker shown;
  NextDialog next([&](QWidget* widget) {
    auto* dialog = qobject_cast<QFileDialog*>(widget);
    ASSERT_NE(dialog, nullptr);
    shown.title = dialog->windowTitle();
    shown.accept = dialog->labelText(QFileDialog::Accept);
    if (auto* label = dialog->findChild<QLabel*>(QtLegacyImportDialogs::kPickerMessageName)) {
      shown.message = label->text();
    }
    shown.foldersOnly = dialog->fileMode() == QFileDialog::Directory &&
                        dialog->testOption(QFileDialog::ShowDirsOnly);
    shown.ownDialog = dialog->testOption(QFileDialog::DontUseNativeDialog);
    shown.directory = dialog->directory().absolutePath();
    if (choose) {
      dialog->selectFile(QString::fromStdString(choose->string()));
      static_cast<QDialog*>(dialog)->accept();  // as the choose button does
    } else {
      dialog->reject();
    }
  });
  chosen = dialogs.chooseFolder(picker);
  return shown;
}

TEST(LegacyImportPicker, ChoosesOneFolderFromWhereItStarts) {
  velmorine::testing::TemporaryFolder home;
  std::filesystem::create_directories(home / "old" / "Velmorine");
  QtLegacyImportDialogs dialogs;
  const LegacyImportPicker picker{localizedString("migration.title", "ru"),
                                  localizedString("migration.picker", "ru"),
                                  localizedString("migration.choose", "ru"), home.path()};
  std::optional<std::filesystem::path> chosen;
  const auto shown = answerPicker(dialogs, picker, home / "old" / "Velmorine", chosen);
  EXPECT_EQ(shown.title, text("migration.title", "ru"));
  EXPECT_EQ(shown.accept, text("migration.choose", "ru"));
  EXPECT_EQ(shown.message, text("migration.picker", "ru"));
  EXPECT_TRUE(shown.foldersOnly);
  EXPECT_TRUE(shown.ownDialog);
  EXPECT_EQ(shown.directory.toStdString(), home.path().string());
  EXPECT_EQ(chosen, home / "old" / "Velmorine");
}

TEST(LegacyImportPicker, CancelChoosesNothing) {
  velmorine::testing::TemporaryFolder home;
  QtLegacyImportDialogs dialogs;
  std::optional<std::filesystem::path> chosen = home.path();
  answerPicker(dialogs, {"t", "m", "p", home.path()}, std::nullopt, chosen);
  EXPECT_FALSE(chosen);
}

}  // namespace
}  // namespace velmorine::shell
