#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

#include "platform/files/unique_fd.h"

namespace velmorine::platform {

// The POSIX error of errno (EIO when errno is 0), as a std::system_error.
[[noreturn]] void throw_errno(const char* what);
[[noreturn]] void throw_errno(int error, const char* what);

// Creates `folder` and any missing parents with mode 0700; existing folders are kept as they are.
void create_private_folders(const std::filesystem::path& folder);

// Opens a folder itself (no-follow, close-on-exec), for *at() calls and for its fsync.
// Returns an invalid descriptor with errno set when it cannot be opened.
UniqueFd open_folder(const std::filesystem::path& folder);

// Replaces `name` inside the folder `folder_fd` with `bytes` so that after a crash or power cut
// the name holds either the old or the whole new content: a private temporary file (0600) is
// written and fsynced, renamed over `name`, and then the folder is fsynced. Throws
// std::system_error with the failing call's errno; the temporary file is removed on failure.
void replace_file_durably(int folder_fd, const std::string& name, std::span<const std::byte> bytes);

// The temporary name used by replace_file_durably for `name`.
std::string temporary_name_for(const std::string& name);

}  // namespace velmorine::platform
