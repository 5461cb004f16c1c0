// The transfer cards and the received-files library of the program's front end, offscreen, with
// its runtime on host A of a LAN of network namespaces and runtime-node on host B. B sends a
// folder of JPEGs, texts, PDFs and WAVs: accepted into the default folder, the card commits and
// shows its thumbnails, reveal reaches a scripted file manager on a private session bus, the
// library lists and previews each kind, and the trash takes the container and its record. A
// second offer accepted with Save As lands in the chosen folder. Needs root and iproute2; skips
// without them.

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QDBusConnection>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QPdfWriter>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <cmath>
#include <mutex>

#include "Velmorine/library/library_panes.h"
#include "Velmorine/library/media_preview.h"
#include "Velmorine/library/received_library_view.h"
#include "Velmorine/library/transfer_card.h"
#include "Velmorine/library/transfer_item_row.h"
#include "Velmorine/library/transfer_overview.h"
#include "Velmorine/shell/desktop_front_end.h"
#include "Velmorine/workspace/content_attachments.h"
#include "Velmorine/workspace/workspace_view.h"
#include "platform/desktop/file_manager.h"
#include "tests/Velmorine/runtime/runtime_hosts.h"
#include "tests/Velmorine/workspace/view_fixture.h"
#include "tests/harness/runtime_node_process.h"
#include "tests/harness/scoped_namespace.h"
#include "tests/support/private_bus.h"
#include "tests/support/temporary_folder.h"

// Qt Multimedia's PulseAudio client keeps what libpulse allocated for a connection that failed
// (no sound server here), and the PDF library keeps a little of a document it could not parse;
// both are those libraries' own.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libpulse.so\nleak:libQt6Pdf.so\n";
}

namespace velmorine::shell {

// The file manager's side of org.freedesktop.FileManager1: records what it was asked to show.
class ScriptedFileManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

 public:
  QStringList shownItems() const {
    std::lock_guard lock(mutex_);
    return shown_;
  }

 public Q_SLOTS:
  void ShowItems(const QStringList& uris, const QString&) {
    std::lock_guard lock(mutex_);
    shown_ += uris;
  }

 private:
  mutable std::mutex mutex_;
  QStringList shown_;
};

namespace {

namespace fs = std::filesystem;
using velmorine::runtime::testing::Lan;
using velmorine::testing::Json;
using velmorine::testing::RuntimeNodeProcess;
using velmorine::testing::ScopedNamespace;

constexpr int kWait = 60000;  // milliseconds for a condition to come true, while events run

void writeBytes(const fs::path& path, const QByteArray& bytes) {
  QFile file(QString::fromStdString(path.string()));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray jpeg(int n) {
  QImage image(320, 200, QImage::Format_RGB32);
  image.fill(QColor::fromHsv((n * 60) % 360, 200, 220));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPEG");
  return bytes;
}

void writePdf(const fs::path& path, int n) {
  QPdfWriter writer(QString::fromStdString(path.string()));
  QPainter painter(&writer);
  painter.drawText(QPointF(100, 100), QStringLiteral("Page of document %1").arg(n));
}

// Half a second of a tone, 16-bit mono PCM.
QByteArray wav(int n) {
  constexpr std::uint32_t rate = 8000, samples = rate / 2;
  QByteArray data;
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) data.append(static_cast<char>(value >> (8 * i)));
  };
  data.append("RIFF");
  put(36 + samples * 2, 4);
  data.append("WAVEfmt ");
  put(16, 4);
  put(1, 2);
  put(1, 2);
  put(rate, 4);
  put(rate * 2, 4);
  put(2, 2);
  put(16, 2);
  data.append("data");
  put(samples * 2, 4);
  for (std::uint32_t i = 0; i < samples; ++i) {
    put(static_cast<std::uint16_t>(
            static_cast<std::int16_t>(6000 * std::sin(i * 2 * M_PI * (300 + 40 * n) / rate))),
        2);
  }
  return data;
}

class LibraryHostsNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    lan = std::make_unique<Lan>("vlb" + std::to_string(::getpid()));
    if (!lan->create() || !lan->plug("a", 1) || !lan->plug("b", 2)) {
      GTEST_SKIP() << "cannot make network namespaces and a bridge with iproute2";
    }
    if (!bus.start()) GTEST_SKIP() << "dbus-daemon cannot run here";
    // The window's reveal reaches the file manager on this test's own session bus.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    fileManagerBus = bus.connect();
    ASSERT_TRUE(fileManagerBus.registerObject(platform::kFileManagerPath, &fileManager,
                                              QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(fileManagerBus.registerService(platform::kFileManagerService));
    workspace::testing::useViewTestLook();
  }

  // The folder B sends: five files of each kind.
  fs::path makeAlbum() {
    const fs::path album = bHome / "outgoing" / "Album";
    fs::create_directories(album);
    for (int i = 1; i <= 20; ++i) {
      char name[16];
      const char* kind = i <= 5 ? "jpg" : i <= 10 ? "txt" : i <= 15 ? "pdf" : "wav";
      std::snprintf(name, sizeof name, "%02d.%s", i, kind);
      const fs::path file = album / name;
      if (i <= 5) writeBytes(file, jpeg(i));
      if (i > 5 && i <= 10) writeBytes(file, QByteArray("Notes, part ") + QByteArray::number(i));
      if (i > 10 && i <= 15) writePdf(file, i);
      if (i > 15) writeBytes(file, wav(i));
    }
    return album;
  }

  // Host B: runtime-node in its namespace with networking on.
  bool runB() {
    const auto id = velmorine::testing::startSearchingNode(b, lan->ns("b"), bHome.path().string());
    if (id) bID = *id;
    return id.has_value();
  }

  // Waits for a line of B while A's events run.
  bool waitForB(const std::function<bool(const Json&)>& condition, size_t from) {
    return QTest::qWaitFor(
        [&] { return b->waitIndex(condition, from, std::chrono::seconds(0)).has_value(); }, kWait);
  }

  // B offers the album to A; the transfer as A sees it once it waits for a decision.
  std::string offerFromB(const fs::path& album) {
    const size_t mark = b->mark();
    b->send({{"op", "offer"}, {"peer", aID}, {"paths", Json::array({album.string()})}});
    std::string id;
    const bool offered = QTest::qWaitFor(
        [&] {
          for (const auto& transfer : model->snapshot().transfers) {
            if (!transfer.outgoing && transfer.state == transfer::TransferState::pending &&
                !seen.contains(transfer.id)) {
              id = transfer.id;
              return true;
            }
          }
          return false;
        },
        kWait);
    EXPECT_TRUE(offered) << "A never saw the offer";
    EXPECT_TRUE(waitForB(
        [](const Json& line) {
          return line.value("event", "") == "completion" && line.value("op", "") == "offer" &&
                 line["result"].is_string();
        },
        mark));
    seen.insert(id);
    return id;
  }

  const transfer::RuntimeTransfer* transferOf(const std::string& id) const {
    for (const auto& transfer : model->snapshot().transfers) {
      if (transfer.id == id) return &transfer;
    }
    return nullptr;
  }
  bool committed(const std::string& id) const {
    const auto* transfer = transferOf(id);
    return transfer != nullptr && transfer->state == transfer::TransferState::committed &&
           transfer->location.has_value();
  }
  std::optional<store::ReceiveIndexEntry> receivedEntry(const std::string& id) const {
    for (const auto& entry : model->snapshot().received) {
      if (entry.transferID.to_string() == id) return entry;
    }
    return std::nullopt;
  }
  fs::path locationOf(const std::string& id) const {
    const auto url = transfer::ContentUrl::parse(*transferOf(id)->location);
    return url ? url->path() : fs::path();
  }

  const runtime::RuntimePeer* peerB() const {
    for (const auto& peer : model->snapshot().peers) {
      if (peer.wireID == bID && !peer.historical) return &peer;
    }
    return nullptr;
  }

  template <typename Widget>
  Widget* find(const char* name = nullptr) const {
    auto* window = frontEnd->mainWindow();
    return name ? window->findChild<Widget*>(QString::fromLatin1(name))
                : window->findChild<Widget*>();
  }
  library::TransferCard* card(const std::string& id) const {
    auto* overview = find<library::TransferOverview>();
    auto* row = overview ? overview->row(id) : nullptr;
    return row ? row->card() : nullptr;
  }
  static QPushButton* button(QWidget* in, const char* name) {
    return in->findChild<QPushButton*>(QString::fromLatin1(name));
  }

  // Selects the listed row `name` in the library and previews it.
  bool preview(library::ReceivedLibraryView& view, const QString& name) {
    auto* listing = view.listing();
    for (int i = 0; i < listing->topLevelItemCount(); ++i) {
      if (listing->topLevelItem(i)->text(0) == name) {
        listing->setCurrentItem(listing->topLevelItem(i));
        auto* previewButton = button(&view, "library.preview");
        if (!QTest::qWaitFor([&] { return previewButton->isEnabled(); }, kWait)) return false;
        previewButton->click();
        return true;
      }
    }
    return false;
  }

  std::unique_ptr<Lan> lan;
  velmorine::testing::PrivateBus bus;
  QDBusConnection fileManagerBus{QString()};
  ScriptedFileManager fileManager;
  velmorine::testing::TemporaryFolder bHome;
  std::unique_ptr<RuntimeNodeProcess> b;
  std::string bID;
  std::string aID;
  std::set<std::string> seen;
  velmorine::testing::TemporaryFolder home;
  std::unique_ptr<workspace::WorkspaceModel> model;
  std::unique_ptr<DesktopFrontEnd> frontEnd;
};

TEST_F(LibraryHostsNetns, AFolderFromBThroughCardsAndLibrary_NeedsRootAndNamespaces) {
  const fs::path album = makeAlbum();
  ASSERT_TRUE(runB()) << "host B never searched";

  ScopedNamespace inA(lan->ns("a"));
  ASSERT_TRUE(inA.entered());
  const fs::path data = home / "data";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  model = std::make_unique<workspace::WorkspaceModel>(workspace::contentAttachmentFactory());
  FrontEndParts parts;
  parts.framesFile = home / "config" / "Velmorine" / "windows.ini";
  parts.view.panes = library::withLibraryPanes(std::move(parts.view.panes));
  frontEnd = std::make_unique<DesktopFrontEnd>(*model, workspace::testing::tableLookup(),
                                               std::move(parts));
  frontEnd->start();
  frontEnd->mainWindow()->resize(1100, 800);
  auto* toggle = frontEnd->workspace()->findChild<QPushButton*>(QStringLiteral("network.toggle"));
  ASSERT_NE(toggle, nullptr);
  toggle->click();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return model->snapshot().localID && peerB() != nullptr && peerB()->online; }, kWait))
      << "B never came online at A";
  aID = *model->snapshot().localID;
  // B dials A once it hears A.
  ASSERT_TRUE(waitForB(
      [&](const Json& line) {
        const Json* row = line.value("event", "") == "snapshot"
                              ? velmorine::testing::peerRow(line, aID)
                              : nullptr;
        return row != nullptr && (*row)["online"] == true;
      },
      0));
  b->send({{"op", "connectPeer"}, {"peer", aID}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return peerB() != nullptr && peerB()->safetyCode; }, kWait));

  // The offer, accepted into the default folder from the transfers overview.
  model->setSection(workspace::WorkspaceSection::transfers);
  const std::string first = offerFromB(album);
  ASSERT_FALSE(first.empty());
  ASSERT_TRUE(QTest::qWaitFor([&] { return card(first) != nullptr; }, kWait));
  button(card(first), "transfer.accept")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return committed(first) && receivedEntry(first); }, kWait))
      << "the transfer never committed into the index";
  const fs::path container = locationOf(first);
  EXPECT_EQ(container.parent_path(), data / "Velmorine" / "Received");
  EXPECT_EQ(container.filename(), "Velmorine-" + first);
  EXPECT_TRUE(fs::is_regular_file(container / "Album" / "20.wav"));

  // The card lists the folder's first page, with a thumbnail for each JPEG on it.
  std::vector<library::TransferItemRow*> images;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        images.clear();
        for (auto* row : card(first)->rows()) {
          if (row->item().entry.path.ends_with(".jpg")) images.push_back(row);
        }
        return !images.empty() && std::ranges::all_of(images, [](auto* row) {
          return row->thumbnail().has_value() && !row->thumbnail()->isNull();
        });
      },
      kWait))
      << "the card's thumbnails never came";
  EXPECT_EQ(card(first)->rows().size(), std::size_t{library::TransferCard::kItemsPerPage});

  // Reveal asks the file manager on the session bus.
  button(card(first), "transfer.showFinder")->click();
  const QString containerUrl =
      QUrl::fromLocalFile(QString::fromStdString(container.string())).toString(QUrl::FullyEncoded);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const auto shown = fileManager.shownItems();
        return std::ranges::any_of(shown, [&](const QString& url) {
          return QUrl(url).toLocalFile().toStdString() == container.string();
        });
      },
      kWait))
      << "the file manager was never asked to show " << containerUrl.toStdString();

  // The library lists the container and previews each kind.
  model->setSection(workspace::WorkspaceSection::received);
  auto* view = find<library::ReceivedLibraryView>();
  ASSERT_NE(view, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->isVisible(); }, kWait));
  view->choose(receivedEntry(first)->transferID);
  const auto listed = [&](const QString& name) {
    auto* listing = view->listing();
    for (int i = 0; i < listing->topLevelItemCount(); ++i) {
      if (listing->topLevelItem(i)->text(0) == name) return true;
    }
    return false;
  };
  ASSERT_TRUE(QTest::qWaitFor([&] { return listed(QStringLiteral("Album")); }, kWait));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        auto* listing = view->listing();
        for (int i = 0; i < listing->topLevelItemCount(); ++i) {
          if (listing->topLevelItem(i)->text(0) == QStringLiteral("Album")) {
            listing->setCurrentItem(listing->topLevelItem(i));
          }
        }
        return button(view, "library.browse")->isEnabled();
      },
      kWait));
  button(view, "library.browse")->click();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return view->listing()->topLevelItemCount() == 20 && listed("20.wav"); }, kWait))
      << "the album was never listed";

  ASSERT_TRUE(preview(*view, QStringLiteral("03.jpg")));
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->browser().preview().has_value(); }, kWait))
      << "no image preview";
  ASSERT_TRUE(preview(*view, QStringLiteral("07.txt")));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return view->quickLook()->kind() == library::QuickLookPreview::Kind::text; }, kWait))
      << "no text preview";
  ASSERT_TRUE(preview(*view, QStringLiteral("12.pdf")));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return view->quickLook()->kind() == library::QuickLookPreview::Kind::pdf; }, kWait))
      << "no PDF preview";
  ASSERT_TRUE(preview(*view, QStringLiteral("18.wav")));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return view->mediaPreview() != nullptr && view->mediaPreview()->url() &&
               view->mediaPreview()->url()->toLocalFile().endsWith(QStringLiteral("18.wav"));
      },
      kWait))
      << "no media preview";

  // The trash takes the whole container, and the record goes with it.
  button(view, "library.trash")->click();
  auto* alert = view->findChild<QMessageBox*>(QStringLiteral("library.trashAlert"));
  ASSERT_NE(alert, nullptr);
  alert->findChild<QPushButton*>(QStringLiteral("library.trashConfirm"))->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !receivedEntry(first).has_value(); }, kWait))
      << "the record stayed in the index";
  EXPECT_FALSE(fs::exists(container));
  EXPECT_TRUE(
      fs::is_regular_file(data / "Trash" / "files" / container.filename() / "Album" / "01.jpg"));

  // A second offer, accepted with Save As into a folder of the user's choice.
  const fs::path chosen = home / "Chosen";
  fs::create_directories(chosen);
  model->setSection(workspace::WorkspaceSection::transfers);
  const std::string second = offerFromB(album);
  ASSERT_FALSE(second.empty());
  ASSERT_TRUE(QTest::qWaitFor([&] { return card(second) != nullptr; }, kWait));
  button(card(second), "transfer.saveAs")->click();
  auto* dialog = find<QFileDialog>("transfer.chooseFolderDialog");
  ASSERT_NE(dialog, nullptr);
  dialog->setDirectory(QString::fromStdString(home.path().string()));
  dialog->selectFile(QStringLiteral("Chosen"));
  QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
  ASSERT_TRUE(QTest::qWaitFor([&] { return committed(second); }, kWait))
      << "the second transfer never committed";
  const fs::path saved = locationOf(second);
  EXPECT_EQ(fs::canonical(saved).string().rfind(fs::canonical(chosen).string(), 0), 0u)
      << saved << " is not in " << chosen;
  EXPECT_TRUE(fs::is_regular_file(saved / "Album" / "05.jpg"));

  bool closed = false;
  model->runtime().shutdown([&closed] { closed = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return closed; }, kWait));
  frontEnd.reset();
  model.reset();
  EXPECT_TRUE(b->stopsCleanly());
}

}  // namespace
}  // namespace velmorine::shell

#include "library_hosts_netns_test.moc"
