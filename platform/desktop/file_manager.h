#pragma once

// What the desktop does with a received file: open it with its default application, show it in
// the file manager, move it to the trash. Callers verify the item just before; these calls take
// the path as it is and report whether the desktop took it.

#include <QDBusConnection>
#include <filesystem>
#include <functional>

namespace velmorine::platform {

inline constexpr const char* kFileManagerService = "org.freedesktop.FileManager1";
inline constexpr const char* kFileManagerPath = "/org/freedesktop/FileManager1";

// Hands the file's URL (never a bare path, which a handler could read as an option) to the
// desktop's default application. False when none took it.
bool openFile(const std::filesystem::path& item);

// Asks the file manager to show the item selected (FileManager1.ShowItems on `bus`); when no file
// manager answers, opens the item's parent folder instead. `done` (optional) runs on the calling
// thread's event loop with whether either way worked.
void revealItem(const std::filesystem::path& item,
                QDBusConnection bus = QDBusConnection::sessionBus(),
                std::function<void(bool)> done = {});

// Moves the item to the user's trash ($XDG_DATA_HOME/Trash on its volume's rules). False when it
// could not be moved there.
bool moveToTrash(const std::filesystem::path& item);

}  // namespace velmorine::platform
