#pragma once

// What kind of file a name denotes, judged by its extension alone (the shared MIME database),
// never by opening it: the rows and the library choose thumbnails and previews by it before any
// byte is read.

#include <string_view>

namespace velmorine::library {

enum class FileKind {
  none,  // no extension, or one the database does not know
  image,
  movie,
  audio,
  plainText,  // any type that inherits text/plain
  pdf,
  other,
};

FileKind fileKindOfName(std::string_view name);

// Audio and video play in the media preview.
inline bool isAudiovisual(FileKind kind) {
  return kind == FileKind::movie || kind == FileKind::audio;
}

}  // namespace velmorine::library
