// Opening, showing and trashing a file through the desktop, with a scripted file manager on a
// private session bus and a URL handler in place of the default applications.

#include "platform/desktop/file_manager.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDesktopServices>
#include <QTest>
#include <cstdlib>
#include <fstream>

#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::platform {

// What a file manager answers on org.freedesktop.FileManager1.
class ScriptedFileManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

 public:
  QStringList shown;
  QString startup;

 public Q_SLOTS:
  void ShowItems(const QStringList& uris, const QString& startupId) {
    shown = uris;
    startup = startupId;
  }
};

class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  std::vector<QUrl> urls;

 public Q_SLOTS:
  void record(const QUrl& url) { urls.push_back(url); }
};

namespace {

class FileManagerTest : public ::testing::Test {
 protected:
  FileManagerTest() {
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "record");
    std::ofstream(folder / "a file.txt") << "x";
  }
  ~FileManagerTest() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

  std::optional<bool> reveal(QDBusConnection bus) {
    std::optional<bool> result;
    revealItem(folder / "a file.txt", bus, [&](bool done) { result = done; });
    (void)QTest::qWaitFor([&] { return result.has_value(); }, 10000);
    return result;
  }

  velmorine::testing::TemporaryFolder folder;
  UrlRecorder recorder;
};

TEST_F(FileManagerTest, OpenHandsOverAFileUrl) {
  ASSERT_TRUE(openFile(folder / "a file.txt"));
  ASSERT_EQ(recorder.urls.size(), 1u);
  EXPECT_EQ(recorder.urls[0].scheme(), QStringLiteral("file"));
  EXPECT_EQ(recorder.urls[0].toLocalFile().toStdString(), (folder / "a file.txt").string());
}

TEST_F(FileManagerTest, RevealAsksTheFileManagerToShowTheItem) {
  testing::PrivateBus bus;
  ASSERT_TRUE(bus.start()) << "dbus-daemon cannot run";
  auto service = bus.connect();
  ScriptedFileManager manager;
  ASSERT_TRUE(service.registerObject(kFileManagerPath, &manager, QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(service.registerService(kFileManagerService));

  EXPECT_EQ(reveal(bus.connect()), true);
  ASSERT_EQ(manager.shown.size(), 1);
  EXPECT_EQ(QUrl(manager.shown[0]).toLocalFile().toStdString(), (folder / "a file.txt").string());
  EXPECT_TRUE(recorder.urls.empty());
}

TEST_F(FileManagerTest, WithoutAFileManagerRevealOpensTheParentFolder) {
  testing::PrivateBus bus;
  ASSERT_TRUE(bus.start()) << "dbus-daemon cannot run";
  EXPECT_EQ(reveal(bus.connect()), true);
  ASSERT_EQ(recorder.urls.size(), 1u);
  EXPECT_EQ(recorder.urls[0].toLocalFile().toStdString(), folder.path().string());

  EXPECT_EQ(reveal(QDBusConnection(QStringLiteral("velmorine-no-such-bus"))), true);
  EXPECT_EQ(recorder.urls.size(), 2u);
}

TEST_F(FileManagerTest, TrashMovesIntoTheUsersTrash) {
  velmorine::testing::TemporaryFolder data(folder.path());
  const char* previous = std::getenv("XDG_DATA_HOME");
  const std::string kept = previous ? previous : "";
  ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  std::filesystem::create_directories(folder / "container" / "inner");
  const bool moved = moveToTrash(folder / "container");
  const bool missing = moveToTrash(folder / "never");
  if (previous) {
    ::setenv("XDG_DATA_HOME", kept.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
  EXPECT_TRUE(moved);
  EXPECT_FALSE(missing);
  EXPECT_FALSE(std::filesystem::exists(folder / "container"));
  EXPECT_TRUE(std::filesystem::exists(data / "Trash" / "files" / "container" / "inner"));
  EXPECT_TRUE(std::filesystem::exists(data / "Trash" / "info" / "container.trashinfo"));
}

}  // namespace
}  // namespace velmorine::platform

#include "file_manager_test.moc"
