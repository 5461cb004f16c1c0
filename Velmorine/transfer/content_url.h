#pragma once

// A URL as content work passes it around. A file URL names an absolute path, and a trailing "/"
// marks a folder ("file:///home/u/Photos%202/"); any other URL (a web address dropped onto the
// conversation) is kept as its text and refused wherever a file is needed.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmorine::transfer {

class ContentUrl {
 public:
  // `absolute` must begin with "/"; "." and ".." are kept as written (see standardized()).
  static ContentUrl file(const std::filesystem::path& absolute, bool directory = false);
  // Reads URL text: "file://" with an empty or "localhost" host and a percent-encoded absolute
  // path, or any other scheme. Nothing for text that is not a URL, a bad escape or a NUL byte.
  static std::optional<ContentUrl> parse(std::string_view text);

  bool isFile() const { return file_; }
  // The URL's text; file URLs percent-encode every byte outside the unreserved set and "/".
  std::string text() const;
  // File URLs: the decoded absolute path, without the folder's trailing "/" (except for "/").
  const std::filesystem::path& path() const { return path_; }
  bool hasDirectoryPath() const { return directory_; }
  std::string lastPathComponent() const;

  // This file URL with one more path component.
  ContentUrl appending(std::string_view component, bool directory) const;
  // The same file URL with "." components and ".." with their parent removed, and repeated "/"
  // folded; other URLs unchanged.
  ContentUrl standardized() const;

  friend bool operator==(const ContentUrl&, const ContentUrl&) = default;

 private:
  ContentUrl() = default;

  bool file_ = false;
  std::filesystem::path path_;  // file URLs
  bool directory_ = false;      // file URLs
  std::string other_;           // any other URL, as given
};

}  // namespace velmorine::transfer
