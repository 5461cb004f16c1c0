#include "platform/bookmarks/bookmarks.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace velmorine::platform {

namespace {

// Layout, integers little-endian: magic, flags, device (8), inode (8), path length (4), path,
// UUID length (1), UUID.
constexpr std::string_view kMagic{"VELBMK1", 8};  // with its closing NUL
constexpr std::uint8_t kReadOnly = 1;
constexpr std::uint8_t kHasVolumeUuid = 2;
constexpr std::uint32_t kMaxPath = 4096;

struct Record {
  bool read_only = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string path;
  std::optional<std::string> volume_uuid;
};

void put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

  std::uint64_t integer(int bytes) {
    const auto raw = take(static_cast<std::size_t>(bytes));
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | raw[static_cast<std::size_t>(i)];
    return value;
  }
  std::string text(std::size_t length) {
    const auto raw = take(length);
    return {reinterpret_cast<const char*>(raw.data()), raw.size()};
  }
  bool at_end() const { return data_.empty(); }

 private:
  std::span<const std::uint8_t> take(std::size_t length) {
    if (length > data_.size()) throw BookmarkDataError("bookmark data is cut short");
    const auto raw = data_.first(length);
    data_ = data_.subspan(length);
    return raw;
  }
  std::span<const std::uint8_t> data_;
};

Record decode(std::span<const std::uint8_t> data) {
  Reader reader(data);
  if (reader.text(kMagic.size()) != kMagic) throw BookmarkDataError("not bookmark data");
  Record record;
  const auto flags = reader.integer(1);
  if ((flags & ~static_cast<std::uint64_t>(kReadOnly | kHasVolumeUuid)) != 0) {
    throw BookmarkDataError("unknown bookmark flags");
  }
  record.read_only = (flags & kReadOnly) != 0;
  record.device = reader.integer(8);
  record.inode = reader.integer(8);
  const auto path_length = reader.integer(4);
  if (path_length == 0 || path_length > kMaxPath) throw BookmarkDataError("bad bookmark path");
  record.path = reader.text(path_length);
  if (record.path.front() != '/' || record.path.find('\0') != std::string::npos) {
    throw BookmarkDataError("bad bookmark path");
  }
  const auto uuid_length = reader.integer(1);
  if ((flags & kHasVolumeUuid) != 0) {
    if (uuid_length == 0) throw BookmarkDataError("bad bookmark volume");
    record.volume_uuid = reader.text(uuid_length);
  } else if (uuid_length != 0) {
    throw BookmarkDataError("bad bookmark volume");
  }
  if (!reader.at_end()) throw BookmarkDataError("trailing bookmark bytes");
  return record;
}

struct stat lstat_or_throw(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "lstat");
  }
  return status;
}

}  // namespace

std::vector<std::uint8_t> create_bookmark(const std::filesystem::path& path, bool read_only,
                                          const VolumeUuidLookup& volume_uuid) {
  const std::string text = path.string();
  if (!path.is_absolute() || text.size() > kMaxPath) {
    throw std::system_error(EINVAL, std::generic_category(), "bookmark path");
  }
  const struct stat status = lstat_or_throw(text);
  std::optional<std::string> uuid = volume_uuid ? volume_uuid(status.st_dev) : std::nullopt;
  if (uuid && (uuid->empty() || uuid->size() > 255)) uuid.reset();

  std::vector<std::uint8_t> out(kMagic.begin(), kMagic.end());
  put(out, (read_only ? kReadOnly : 0) | (uuid ? kHasVolumeUuid : 0), 1);
  put(out, static_cast<std::uint64_t>(status.st_dev), 8);
  put(out, static_cast<std::uint64_t>(status.st_ino), 8);
  put(out, text.size(), 4);
  out.insert(out.end(), text.begin(), text.end());
  put(out, uuid ? uuid->size() : 0, 1);
  if (uuid) out.insert(out.end(), uuid->begin(), uuid->end());
  return out;
}

ResolvedBookmark resolve_bookmark(std::span<const std::uint8_t> data,
                                  const VolumeUuidLookup& volume_uuid) {
  const Record record = decode(data);
  const struct stat status = lstat_or_throw(record.path);
  bool same_volume = static_cast<std::uint64_t>(status.st_dev) == record.device;
  if (record.volume_uuid) {
    const auto now = volume_uuid ? volume_uuid(status.st_dev) : std::nullopt;
    same_volume = now == record.volume_uuid;
  }
  const bool same_item = same_volume && static_cast<std::uint64_t>(status.st_ino) == record.inode;
  return {record.path, !same_item, record.read_only};
}

bool start_security_scoped_access(const std::filesystem::path&) { return true; }

void stop_security_scoped_access(const std::filesystem::path&) {}

}  // namespace velmorine::platform
