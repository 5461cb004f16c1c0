#pragma once

// The file work of the import, all relative to open folders and without following links.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "native/protocol/uuid.h"
#include "platform/files/unique_fd.h"

namespace velmorine::shell::import_files {

// Absolute, without "." and ".." and without a trailing separator.
std::filesystem::path standardised(const std::filesystem::path& path);

// Device and inode: what an item is, whatever path leads to it.
struct ItemIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const ItemIdentity&, const ItemIdentity&) = default;
};

// The item at `path` itself (a final link is not followed), or none when there is nothing.
// Throws std::system_error for any other failure.
std::optional<ItemIdentity> identityAt(const std::filesystem::path& path);
std::optional<ItemIdentity> identityAt(int folder, const std::string& name);
ItemIdentity identityOf(int fd);

// Whether `name` exists in the folder (as anything, links included).
bool existsAt(int folder, const std::string& name);

// Opens the folder `path` itself for reading; a link or non-folder throws invalidSource.
platform::UniqueFd openTreeRoot(const std::filesystem::path& path);
// Opens the folder `name` inside `folder`, refusing links (ELOOP) and other kinds (ENOTDIR) with
// invalidSource.
platform::UniqueFd openTreeFolder(int folder, const std::string& name);

// The names in an open folder, "." and ".." left out.
std::vector<std::string> entryNames(int folder);

// The tree check below an open folder: folders and regular files only.
void validateTree(int folder);

// Copies the tree below `from` into the empty folder `to`: folders and files keep their
// permission bits and times, file data goes by copy_file_range, and a link is copied as a link
// (for the later tree check of the copy to refuse). Nothing is synced. Never descends into
// `copyRoot`. `fileCopied` runs after each file.
void copyTree(int from, int to, const ItemIdentity& copyRoot,
              const std::function<void()>& fileCopied);

// Removes `name` in `folder` with everything below it.
void removeTree(int folder, const std::string& name);

// Renames within one folder, never replacing what is there (EEXIST), then makes the rename
// durable with an fsync of the folder.
void renameExclusively(int folder, const std::string& from, const std::string& to);
void syncFolder(int folder);

// The canonical upper-case text of a fresh UUID.
std::string freshUpperUuid();
// Whether `text` is exactly the canonical upper-case text of a UUID.
bool isUpperUuid(std::string_view text);

}  // namespace velmorine::shell::import_files
