#pragma once

// Data homes for the import tests: a home is A, with the keychain folder in it and the data
// folder D = A/"Velmorine"; data folders are made with the real store and history, so what the
// import reads is what the program writes.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/shell/legacy_import.h"
#include "Velmorine/shell/legacy_import_dialogs.h"
#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/local_store.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/keychain/keychain.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell::testing {

namespace fs = std::filesystem;

inline constexpr const char* kIdentityService = "org.velmorine.Velmorine.macos.identity";
inline constexpr const char* kKeychainFolderName = "velmorine-keychain";

inline store::SystemIdentityKeychain identityKeychainIn(const fs::path& home) {
  return store::SystemIdentityKeychain(kIdentityService, std::nullopt,
                                       platform::Keychain(home / kKeychainFolderName));
}

inline void writeFile(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<long>(bytes.size()));
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The store document of a folder, read from its file.
inline store::StoreDocument documentIn(const fs::path& folder) {
  return store::readStoreDocument(readFile(folder / store::LocalStore::kDocumentName));
}

// A data folder of the device whose identity `keychain` holds (created on first use), with
// `change` applied to its document.
inline void makeDataFolder(const fs::path& folder, store::IdentityKeychain& keychain,
                           const store::LocalStore::Change& change = {}) {
  store::LocalStore local(folder);
  local.loadOrCreateIdentity(keychain);
  if (change) local.update(change);
}

inline store::TrustRecord trustRecord() {
  return {core::Uuid::random(), std::vector<uint8_t>(32, 7), false, false};
}

inline store::SecurityAudit auditEntry() {
  return {core::Uuid::random(), store::Date{800000000}, core::Uuid::random(), "first-trust"};
}

inline store::PendingReceive pendingReceive() {
  store::PendingReceive pending;
  pending.journal.transferID = core::Uuid::random();
  pending.journal.stageName = ".stage";
  pending.journal.finalName = "Velmorine-x";
  pending.destinationBookmark = {1, 2, 3};
  return pending;
}

// One message of a peer in the folder's history.
inline void addHistoryRecord(const fs::path& folder, const std::string& text = "hello") {
  store::ConversationHistory history(folder / std::string(kHistoryFileName));
  store::ConversationHistoryRecord record;
  record.kind = "message";
  record.peer = core::Uuid::random().to_string();
  record.id = core::Uuid::random().to_string();
  record.payload.assign(text.begin(), text.end());
  history.execute("BEGIN IMMEDIATE");
  history.saveRecords({record}, {});
  history.execute("COMMIT");
}

inline std::size_t historyRecordCount(const fs::path& folder) {
  store::ConversationHistory history(folder / std::string(kHistoryFileName));
  return history.loadRecords(std::nullopt, std::nullopt, 200, false).records.size();
}

// A committed receive: its container folder "Received/Velmorine-<id>" with a file, and its index
// entry bookmarking the folder where it lies now.
inline core::Uuid addReceivedFolder(const fs::path& folder, std::string_view content = "picture") {
  const auto id = core::Uuid::random();
  const auto container = folder / "Received" / ("Velmorine-" + id.to_string());
  writeFile(container / "photo.jpg", content);
  store::LocalStore local(folder);
  local.update([&](store::StoreDocument& document) {
    document.received.push_back(
        {id, platform::create_bookmark(container, false), store::Date{800000000}});
  });
  return id;
}

inline void makeFifo(const fs::path& path) { ::mkfifo(path.c_str(), 0600); }

inline void makeSocket(const fs::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::close(fd);
}

inline std::string upperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// Every item below `root`, by relative path: "d" for a folder, "l:" and the target for a link,
// the content for a file. The lock file and whatever `leftOut` names (with all below it) are
// left out.
inline std::map<std::string, std::string> treeOf(const fs::path& root,
                                                 const std::vector<std::string>& leftOut = {}) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(fs::symlink_status(root))) return tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string relative = fs::relative(it->path(), root).string();
    const bool omitted = std::any_of(leftOut.begin(), leftOut.end(), [&](const std::string& left) {
      return relative == left || relative.starts_with(left + "/");
    });
    if (relative == store::LocalStore::kLockName || omitted) continue;
    const auto status = it->symlink_status();
    if (fs::is_symlink(status)) {
      tree[relative] = "l:" + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      tree[relative] = "d";
    } else if (fs::is_regular_file(status)) {
      tree[relative] = readFile(it->path());
    } else {
      tree[relative] = "special";
    }
  }
  return tree;
}

// The names in a folder that begin with `prefix`.
inline std::vector<std::string> namesStartingWith(const fs::path& folder, std::string_view prefix) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(prefix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline int modeOf(const fs::path& path) {
  struct stat status {};
  ::lstat(path.c_str(), &status);
  return static_cast<int>(status.st_mode & 07777);
}

// Another process holding an exclusive flock on a file (or folder) until this object goes.
class LockHolder {
 public:
  explicit LockHolder(const fs::path& path) {
    int ready[2], hold[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls in the child. Its copy of the write end would keep its own
      // wait from ever ending.
      ::close(hold[1]);
      ::close(ready[0]);
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      const char answer = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
      [[maybe_unused]] ssize_t written = ::write(ready[1], &answer, 1);
      char byte;
      [[maybe_unused]] ssize_t got = ::read(hold[0], &byte, 1);  // until the parent lets go
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    hold_ = hold[1];
    char answer = 'n';
    locked_ = ::read(ready[0], &answer, 1) == 1 && answer == 'y';
    ::close(ready[0]);
  }
  ~LockHolder() {
    if (hold_ >= 0) ::close(hold_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
  bool locked_ = false;
};

// A user's data home A, with the keychain beside the data folder.
class ImportHome {
 public:
  ImportHome() = default;
  explicit ImportHome(fs::path root) : root_(std::move(root)) {}

  const fs::path& root() const { return root_ ? *root_ : folder_.path(); }
  fs::path data() const { return root() / std::string(kLegacyDataFolderName); }
  fs::path pending() const { return root() / std::string(kPendingImportName); }
  std::shared_ptr<store::SystemIdentityKeychain> keychain() const {
    return std::make_shared<store::SystemIdentityKeychain>(identityKeychainIn(root()));
  }
  // Places of the import lying in A.
  std::vector<std::string> copies() const { return namesStartingWith(root(), kStagingCopyPrefix); }
  std::vector<std::string> previousData() const {
    return namesStartingWith(root(), kPreviousDataPrefix);
  }
  std::vector<std::string> unusedImports() const {
    return namesStartingWith(root(), kUnusedImportPrefix);
  }

 private:
  velmorine::testing::TemporaryFolder folder_;
  std::optional<fs::path> root_;
};

// A source data folder of the device of `home`: trust, audit, a history record, a committed
// receive, a hidden file; named "Velmorine" inside a folder of its own.
struct SourceFolder {
  velmorine::testing::TemporaryFolder parent;
  fs::path path = parent / "Velmorine";
  core::Uuid receivedID;

  explicit SourceFolder(store::IdentityKeychain& keychain, std::string displayName = "Source") {
    makeDataFolder(path, keychain, [&](store::StoreDocument& document) {
      document.preferences.displayName = displayName;
      document.preferences.networkEnabled = true;
      document.preferences.notificationsEnabled = true;
      document.preferences.destinationBookmark = std::vector<uint8_t>{9, 9};
      document.trust.emplace(core::Uuid::random().to_string(), trustRecord());
      document.audit.push_back(auditEntry());
    });
    addHistoryRecord(path);
    receivedID = addReceivedFolder(path);
    writeFile(path / ".hidden", "kept");
  }
};

// Dialogs that answer from a script and remember what they showed.
class ScriptedDialogs final : public LegacyImportDialogs {
 public:
  std::vector<LegacyImportAlert> alerts;
  std::vector<LegacyImportPicker> pickers;
  std::deque<std::optional<std::size_t>> alertAnswers;  // empty: the first button
  std::deque<std::optional<fs::path>> folderAnswers;    // empty: cancelled

  std::optional<std::size_t> runAlert(const LegacyImportAlert& alert) override {
    alerts.push_back(alert);
    if (alertAnswers.empty()) return 0;
    const auto answer = alertAnswers.front();
    alertAnswers.pop_front();
    return answer;
  }
  std::optional<fs::path> chooseFolder(const LegacyImportPicker& picker) override {
    pickers.push_back(picker);
    if (folderAnswers.empty()) return std::nullopt;
    const auto answer = folderAnswers.front();
    folderAnswers.pop_front();
    return answer;
  }
};

// Runs the Qt event loop until `done` holds; false when it does not within the time.
inline bool spinUntil(const std::function<bool()>& done,
                      std::chrono::seconds timeout = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
  }
  return true;
}

}  // namespace velmorine::shell::testing

namespace velmorine::shell::testing {

// What a call ended with, as a short text: "ok", the case of the import's or the store's error
// ("invalidSource", "LocalStoreError.alreadyRunning"), "history", "errno <name>" or "other".
inline std::string outcomeOf(const std::function<void()>& call) {
  try {
    call();
    return "ok";
  } catch (const LegacyMacImportError& error) {
    return std::string(caseName(error.errorCase()));
  } catch (const store::LocalStoreError& error) {
    return "LocalStoreError." + std::string(store::caseName(error.errorCase()));
  } catch (const store::ConversationHistoryFailure&) {
    return "history";
  } catch (const std::system_error& error) {
    return "errno " + std::string(::strerrorname_np(error.code().value()));
  } catch (...) {
    return "other";
  }
}

}  // namespace velmorine::shell::testing
