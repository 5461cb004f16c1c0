#include "Velmorine/library/received_library_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <cstdlib>

#include "Velmorine/library/media_preview.h"
#include "tests/Velmorine/library/library_fixture.h"
#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::library {

// Receives the URLs the desktop would open.
class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  std::vector<QUrl> urls;

 public Q_SLOTS:
  void record(const QUrl& url) { urls.push_back(url); }
};

namespace {

using namespace testing;

const core::Uuid kFirst = *core::Uuid::parse("0a1b2c3d-0000-4000-8000-000000000001");
const core::Uuid kSecond = *core::Uuid::parse("9f8e7d6c-0000-4000-8000-000000000002");

class ReceivedLibraryViewTest : public workspace::testing::ViewFixture {
 protected:
  ReceivedLibraryViewTest() {
    std::filesystem::create_directories(container(kFirst));
    std::filesystem::create_directories(container(kSecond));
    desktop.open = [this](const std::filesystem::path& item) {
      opened.push_back(item);
      return openSucceeds;
    };
    desktop.reveal = [this](const std::filesystem::path& item) { revealed.push_back(item); };
    desktop.trash = [this](const std::filesystem::path& item) {
      trashed.push_back(item);
      return true;
    };
    desktop.chooseFolder = [this](QWidget*, const QString& message,
                                  std::function<void(std::optional<std::filesystem::path>)> done) {
      folderMessages.push_back(message);
      folderAnswers.push_back(std::move(done));
    };
  }

  std::filesystem::path container(const core::Uuid& id) const {
    return folder / ("Velmorine-" + id.to_string());
  }
  void receive(std::vector<std::pair<core::Uuid, double>> entries) {
    auto snapshot = model->snapshot();
    snapshot.received.clear();
    for (const auto& [id, at] : entries)
      snapshot.received.push_back(receivedEntry(container(id), id, at));
    model->apply(std::move(snapshot));
  }
  ReceivedLibraryView& view() {
    if (!view_) {
      view_ = std::make_unique<ReceivedLibraryView>(*environment, desktop,
                                                    ReceivedBrowser::Queues{worker, main});
      view_->resize(640, 600);
    }
    return *view_;
  }
  void settle() {
    while (worker->runOne() || main->runOne()) {
    }
  }
  void chooseAndSettle(const core::Uuid& id) {
    view().choose(id);
    settle();
  }
  void selectRow(const std::string& name) {
    for (int i = 0; i < view().listing()->topLevelItemCount(); ++i) {
      auto* item = view().listing()->topLevelItem(i);
      if (item->text(0).toStdString() == name) {
        view().listing()->setCurrentItem(item);
        return;
      }
    }
    ADD_FAILURE() << "no row " << name;
  }
  QPushButton* button(const char* name) {
    return view().findChild<QPushButton*>(QString::fromLatin1(name));
  }
  bool shown(const char* name) {
    const auto* widget = view().findChild<QWidget*>(QString::fromLatin1(name));
    return widget != nullptr && widget->isVisibleTo(&view());
  }

  velmorine::testing::TemporaryFolder folder;
  std::shared_ptr<ManualExecutor> worker = std::make_shared<ManualExecutor>();
  std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
  LibraryDesktop desktop;
  bool openSucceeds = true;
  std::vector<std::filesystem::path> opened, revealed, trashed;
  std::vector<QString> folderMessages;
  std::vector<std::function<void(std::optional<std::filesystem::path>)>> folderAnswers;
  std::unique_ptr<ReceivedLibraryView> view_;
};

TEST_F(ReceivedLibraryViewTest, NothingReceivedShowsTheEmptyState) {
  EXPECT_TRUE(shown("library.empty"));
  EXPECT_FALSE(shown("library.batch"));
  EXPECT_EQ(view().findChild<QLabel*>(QStringLiteral("library.count"))->text(),
            QStringLiteral("0"));
}

TEST_F(ReceivedLibraryViewTest, PickerListsNewestFirstWithShortIdentifiers) {
  receive({{kFirst, 1000}, {kSecond, 5000}});
  EXPECT_EQ(view().findChild<QLabel*>(QStringLiteral("library.count"))->text(),
            QStringLiteral("2"));
  auto* picker = view().picker();
  ASSERT_EQ(picker->count(), 3);
  EXPECT_EQ(picker->itemText(0), environment->text("library.choose"));
  EXPECT_TRUE(picker->itemText(1).endsWith(QStringLiteral(" \u00b7 9F8E7D6C")));
  EXPECT_TRUE(picker->itemText(2).endsWith(QStringLiteral(" \u00b7 0A1B2C3D")));
  EXPECT_FALSE(shown("library.container"));
}

TEST_F(ReceivedLibraryViewTest, ChoosingNothingAgainHidesTheContainerAndKeepsTheBrowser) {
  writeText(container(kFirst) / "a.txt", "a");
  receive({{kFirst, 1000}});
  view().picker()->setCurrentIndex(1);
  settle();
  ASSERT_TRUE(shown("library.container"));
  EXPECT_EQ(view().findChild<QLabel*>(QStringLiteral("library.path"))->text().toStdString(),
            "Velmorine-" + kFirst.to_string());
  EXPECT_FALSE(view().findChild<QToolButton*>(QStringLiteral("library.up"))->isEnabled());
  view().picker()->setCurrentIndex(0);
  EXPECT_FALSE(shown("library.container"));
  EXPECT_EQ(view().browser().nodes().size(), 1u);
}

TEST_F(ReceivedLibraryViewTest, PageRowFollowsOffsetAndMore) {
  for (int i = 0; i < 201; ++i) writeText(container(kFirst) / ("f" + std::to_string(i)), "x");
  receive({{kFirst, 1000}});
  chooseAndSettle(kFirst);
  ASSERT_TRUE(shown("library.next"));
  EXPECT_FALSE(button("library.previous")->isEnabled());
  EXPECT_TRUE(button("library.next")->isEnabled());
  button("library.next")->click();
  settle();
  EXPECT_EQ(view().browser().offset(), 200);
  EXPECT_TRUE(button("library.previous")->isEnabled());
  EXPECT_FALSE(button("library.next")->isEnabled());
  button("library.previous")->click();
  settle();
  EXPECT_EQ(view().browser().offset(), 0);

  std::filesystem::remove_all(container(kSecond));
  std::filesystem::create_directories(container(kSecond));
  writeText(container(kSecond) / "only", "x");
  receive({{kFirst, 1000}, {kSecond, 2000}});
  chooseAndSettle(kSecond);
  EXPECT_FALSE(shown("library.next"));
}

TEST_F(ReceivedLibraryViewTest, ItemActionsFollowTheSelection) {
  std::filesystem::create_directories(container(kFirst) / "Photos");
  writeText(container(kFirst) / "a.txt", "a");
  receive({{kFirst, 1000}});
  chooseAndSettle(kFirst);
  EXPECT_FALSE(button("library.preview")->isEnabled());
  EXPECT_FALSE(button("library.open")->isEnabled());
  selectRow("Photos");
  EXPECT_TRUE(shown("library.browse"));
  EXPECT_FALSE(shown("library.preview"));
  button("library.browse")->click();
  settle();
  EXPECT_EQ(view().browser().path(), (std::vector<std::string>{"Photos"}));
  EXPECT_EQ(view().findChild<QLabel*>(QStringLiteral("library.path"))->text(),
            QStringLiteral("Photos"));
  view().findChild<QToolButton*>(QStringLiteral("library.up"))->click();
  settle();
  selectRow("a.txt");
  EXPECT_FALSE(shown("library.browse"));
  EXPECT_TRUE(button("library.preview")->isEnabled());
  EXPECT_TRUE(button("library.open")->isEnabled());
}

struct HeightCase {
  int view;
  int preview;
};

class LibraryPreviewHeight : public ::testing::TestWithParam<HeightCase> {};

TEST_P(LibraryPreviewHeight, LeavesFourHundredPointsForTheRest) {
  EXPECT_EQ(ReceivedLibraryView::previewHeight(GetParam().view), GetParam().preview);
}

INSTANTIATE_TEST_SUITE_P(Table, LibraryPreviewHeight,
                         ::testing::Values(HeightCase{600, 200}, HeightCase{400, 96},
                                           HeightCase{1000, 220}, HeightCase{0, 96},
                                           HeightCase{495, 96}, HeightCase{497, 97}));

TEST_F(ReceivedLibraryViewTest, TextPreviewsInTheQuickLookAtThePreviewHeight) {
  writeText(container(kFirst) / "note.txt", "hello <b>there</b>");
  receive({{kFirst, 1000}});
  chooseAndSettle(kFirst);
  selectRow("note.txt");
  button("library.preview")->click();
  settle();
  ASSERT_EQ(view().quickLook()->kind(), QuickLookPreview::Kind::text);
  EXPECT_EQ(view().quickLook()->height(), 200);
  EXPECT_EQ(view().findChild<QPlainTextEdit*>()->toPlainText(),
            QStringLiteral("hello <b>there</b>"));
  // Another row ends the preview.
  view().listing()->clearSelection();
  EXPECT_EQ(view().quickLook()->kind(), QuickLookPreview::Kind::none);
}

TEST_F(ReceivedLibraryViewTest, OpenAfterConfirmationGoesToTheDesktopsUrlHandler) {
  UrlRecorder recorder;
  QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "record");
  desktop = systemLibraryDesktop();
  writeText(container(kFirst) / "a b.txt", "a");
  receive({{kFirst, 1000}});
  chooseAndSettle(kFirst);
  selectRow("a b.txt");
  button("library.open")->click();
  auto* alert = view().findChild<QMessageBox*>(QStringLiteral("library.openAlert"));
  ASSERT_NE(alert, nullptr);
  EXPECT_TRUE(recorder.urls.empty());
  alert->findChild<QPushButton*>(QStringLiteral("library.openConfirm"))->click();
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  ASSERT_EQ(recorder.urls.size(), 1u);
  EXPECT_EQ(recorder.urls[0],
            QUrl::fromLocalFile(QString::fromStdString((container(kFirst) / "a b.txt").string())));
}

TEST_F(ReceivedLibraryViewTest, AFileChangedSinceListedIsNotOpened) {
  writeText(container(kFirst) / "a.txt", "a");
  receive({{kFirst, 1000}});
  chooseAndSettle(kFirst);
  selectRow("a.txt");
  writeText(container(kFirst) / "a.txt", "changed");
  view().openSelected();
  EXPECT_TRUE(opened.empty());
  EXPECT_EQ(view().browser().error(), "library.missing");
  EXPECT_TRUE(shown("library.reconnect"));
}

TEST_F(ReceivedLibraryViewTest, RevealShowsTheSelectionOrTheContainer) {
  writeText(container(kFirst) / "a.txt", "a");
  receive({{kFirst, 1000}});
  chooseAndSettle(kFirst);
  button("library.reveal")->click();
  selectRow("a.txt");
  button("library.reveal")->click();
  EXPECT_EQ(revealed,
            (std::vector<std::filesystem::path>{container(kFirst), container(kFirst) / "a.txt"}));
}

TEST_F(ReceivedLibraryViewTest, TrashMovesTheWholeContainerAndDropsTheRecord) {
  velmorine::testing::TemporaryFolder data(folder.path());
  const char* previous = std::getenv("XDG_DATA_HOME");
  const std::string kept = previous ? previous : "";
  ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  desktop.trash = systemLibraryDesktop().trash;
  std::filesystem::create_directories(container(kFirst) / "sub");
  writeText(container(kFirst) / "sub" / "a.txt", "a");
  receive({{kFirst, 1000}});
  chooseAndSettle(kFirst);
  selectRow("sub");
  button("library.trash")->click();
  auto* alert = view().findChild<QMessageBox*>(QStringLiteral("library.trashAlert"));
  ASSERT_NE(alert, nullptr);
  alert->findChild<QPushButton*>(QStringLiteral("library.trashConfirm"))->click();
  if (previous) {
    ::setenv("XDG_DATA_HOME", kept.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
  EXPECT_FALSE(std::filesystem::exists(container(kFirst)));
  EXPECT_TRUE(std::filesystem::exists(data / "Trash" / "files" / container(kFirst).filename() /
                                      "sub" / "a.txt"));
  EXPECT_EQ(runtime->calls,
            (std::vector<std::string>{"removeReceivedRecord " + kFirst.to_string()}));
  EXPECT_FALSE(view().entryID());
  EXPECT_FALSE(shown("library.container"));
}

TEST_F(ReceivedLibraryViewTest, AReplacedContainerIsNotTrashed) {
  receive({{kFirst, 1000}});
  chooseAndSettle(kFirst);
  std::filesystem::rename(container(kFirst), folder / "moved");
  std::filesystem::create_directories(container(kFirst));
  view().trashContainer();
  EXPECT_TRUE(trashed.empty());
  EXPECT_EQ(view().browser().error(), "library.missing");
  EXPECT_TRUE(runtime->calls.empty());
}

TEST_F(ReceivedLibraryViewTest, ReconnectRelinksAndListsTheChosenFolder) {
  writeText(container(kFirst) / "a.txt", "a");
  receive({{kFirst, 1000}});
  std::filesystem::rename(container(kFirst), folder / "elsewhere");
  chooseAndSettle(kFirst);
  ASSERT_EQ(view().browser().error(), "library.missing");
  button("library.reconnect")->click();
  ASSERT_EQ(folderAnswers.size(), 1u);
  EXPECT_TRUE(
      folderMessages[0].endsWith(QString::fromStdString("\nVelmorine-" + kFirst.to_string())));
  folderAnswers[0](folder / "elsewhere");
  ASSERT_EQ(runtime->relinkFolders, (std::vector<std::filesystem::path>{folder / "elsewhere"}));
  runtime->relinkCompletions[0](receivedEntry(folder / "elsewhere", kFirst, 1000));
  settle();
  EXPECT_FALSE(view().browser().error());
  ASSERT_EQ(view().browser().nodes().size(), 1u);
}

TEST_F(ReceivedLibraryViewTest, HidingTheLibraryEndsThePreview) {
  writeText(container(kFirst) / "note.txt", "hi");
  receive({{kFirst, 1000}});
  view().show();
  chooseAndSettle(kFirst);
  selectRow("note.txt");
  view().browser().previewSelection();
  settle();
  ASSERT_TRUE(view().browser().quickLookURL());
  view().hide();
  EXPECT_FALSE(view().browser().quickLookURL());
}

TEST_F(ReceivedLibraryViewTest, KeyboardAlonePreviewsAndOpensAFile) {
  writeFile(container(kFirst) / "photo.png", encoded(twoColourImage({40, 20}), "png"));
  receive({{kFirst, 1000}});
  view().show();
  QApplication::setActiveWindow(&view());
  chooseAndSettle(kFirst);
  view().listing()->setFocus();
  // Focus makes the first row current; the space bar selects it.
  QTest::keyClick(view().listing(), Qt::Key_Space);
  ASSERT_EQ(view().browser().selected(), "photo.png");
  auto tabTo = [this](QWidget* target) {
    for (int i = 0; i < 40 && QApplication::focusWidget() != target; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    return QApplication::focusWidget() == target;
  };
  ASSERT_TRUE(tabTo(button("library.preview")));
  QTest::keyClick(button("library.preview"), Qt::Key_Space);
  settle();
  ASSERT_TRUE(view().browser().preview());
  EXPECT_EQ(view().findChild<QLabel*>(QStringLiteral("library.image"))->accessibleName(),
            QStringLiteral("photo.png"));
  ASSERT_TRUE(tabTo(button("library.open")));
  QTest::keyClick(button("library.open"), Qt::Key_Space);
  auto* alert = view().findChild<QMessageBox*>(QStringLiteral("library.openAlert"));
  ASSERT_NE(alert, nullptr);
  QTest::keyClick(alert, Qt::Key_Return);
  EXPECT_EQ(opened, (std::vector<std::filesystem::path>{container(kFirst) / "photo.png"}));
}

TEST_F(ReceivedLibraryViewTest, LooksRight) {
  // The picker shows the commit time in local time: the same picture in every time zone.
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  // One entry: the listing's order is the file system's.
  writeFile(container(kFirst) / "photo.png", encoded(twoColourImage({300, 150}), "png"));
  receive({{kFirst, 1000}});
  chooseAndSettle(kFirst);
  selectRow("photo.png");
  view().browser().previewSelection();
  settle();
  workspace::testing::expectMatchesReference(workspace::testing::screenshot(view()),
                                             "library-view");
}

}  // namespace
}  // namespace velmorine::library

#include "received_library_view_test.moc"
