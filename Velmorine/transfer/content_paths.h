#pragma once

// The rules that every sent and every received path obeys, and the key under which two paths
// count as the same.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmorine::transfer {

// Splits a "/"-separated relative path into its components. Throws ContentFailure pathLimit (a
// path above 1024 bytes, a component above 240 UTF-16 units) or invalidPath (empty, not UTF-8,
// a backslash, an empty, "." or ".." component, one ending with "." or a space, a forbidden
// character, or a reserved device name such as "nul.txt" or "COM1").
std::vector<std::string> validatePath(std::string_view path);

// True when the name holds a scalar below 32 or one of < > : " | ? *. Expects UTF-8.
bool hasForbiddenCharacter(std::string_view name);

// Canonical decomposition, then upper case: "Report.txt" and "REPORT.TXT", or a precomposed and
// a combining accent, have the same key. Expects UTF-8.
std::string pathKey(std::string_view path);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// The number of UTF-16 units of valid UTF-8 text.
std::size_t utf16Length(std::string_view text);

}  // namespace velmorine::transfer
