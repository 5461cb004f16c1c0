#include "Velmorine/store/local_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/files/durable_file.h"

namespace velmorine::store {

namespace {

using platform::throw_errno;
using platform::UniqueFd;

}  // namespace

std::optional<std::string> readStoreDocumentText(int folder) {
  struct stat status {};
  if (::fstatat(folder, LocalStore::kDocumentName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw_errno("fstatat");
  }
  // A symbolic link is refused even when its target is missing: what it points at is not ours
  // to replace.
  if (!S_ISREG(status.st_mode) || status.st_size < 0 ||
      static_cast<std::uint64_t>(status.st_size) > LocalStore::kMaximumDocumentSize) {
    throw LocalStoreError::corrupt();
  }
  UniqueFd file(
      ::openat(folder, LocalStore::kDocumentName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) {
    if (errno == ELOOP) throw LocalStoreError::corrupt();  // replaced by a link meanwhile
    throw_errno("openat");
  }
  if (::fstat(file.get(), &status) != 0) throw_errno("fstat");
  if (!S_ISREG(status.st_mode)) throw LocalStoreError::corrupt();
  // One byte more than the limit shows a file that grew past it since it was measured.
  std::string text(LocalStore::kMaximumDocumentSize + 1, '\0');
  std::size_t filled = 0;
  while (filled < text.size()) {
    const ssize_t got = ::read(file.get(), text.data() + filled, text.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw_errno("read");
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled > LocalStore::kMaximumDocumentSize) throw LocalStoreError::corrupt();
  text.resize(filled);
  return text;
}

namespace {

// Revisions count across every store of the process, so that none repeats.
std::uint64_t nextRevision() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

}  // namespace

LocalStore::LocalStore(const std::filesystem::path& folder) {
  platform::create_private_folders(folder);
  folder_ = platform::open_folder(folder);
  if (!folder_.valid()) {
    // The folder itself is a symbolic link, or something other than a folder.
    if (errno == ELOOP || errno == ENOTDIR) throw LocalStoreError::corrupt();
    throw_errno("open");
  }
  url_ = folder / kDocumentName;
  lock_ =
      UniqueFd(::openat(folder_.get(), kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock_.valid()) throw_errno("openat");
  // Each open makes its own open file description, so a second store on the folder is refused
  // also inside this process.
  if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
    lock_.reset();
    throw LocalStoreError::alreadyRunning();
  }
  // A throw from here on destroys the members, which closes the lock descriptor.
  if (auto text = readStoreDocumentText(folder_.get())) document_ = readStoreDocument(*text);
  revision_ = nextRevision();
}

bool LocalStore::acceptsChange(const StoreDocument& current, const StoreDocument& updated) {
  if (updated.schema != 1) return false;
  if (updated.trust.size() > kMaximumTrustRecords) return false;
  if (updated.audit.size() > kMaximumAuditEntries) return false;
  if (updated.pendingReceives && updated.pendingReceives->size() > kMaximumPendingReceives) {
    return false;
  }
  if (updated.received.size() > kMaximumReceivedEntries) return false;
  if (!auditIsAppendOnly(current.audit, updated.audit)) return false;
  if (current.identity && updated.identity != current.identity) return false;
  return true;
}

void LocalStore::update(const Change& change) {
  StoreDocument updated = document_;
  change(updated);
  if (!acceptsChange(document_, updated)) throw LocalStoreError::capacity();
  const std::string text = encodeStoreDocument(updated);
  if (text.size() > kMaximumDocumentSize) throw LocalStoreError::capacity();
  platform::replace_file_durably(folder_.get(), kDocumentName, std::as_bytes(std::span(text)));
  document_ = std::move(updated);
  revision_ = nextRevision();
}

}  // namespace velmorine::store
