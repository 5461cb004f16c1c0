#include "Velmorine/transfer/manifest_check.h"

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/content_paths.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;

std::string joined(const std::vector<std::string>& components, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) path.push_back('/');
    path += components[i];
  }
  return path;
}

}  // namespace

bool isDigestText(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void validateManifest(const std::vector<ContentEntry>& entries, std::int64_t topLevelCount,
                      std::uint64_t totalBytes) {
  if (entries.empty() || entries.size() > static_cast<std::size_t>(kMaxEntries)) {
    throw ContentFailure(Case::entryLimit);
  }
  if (topLevelCount < 1 || topLevelCount > kMaxTopLevelItems) {
    throw ContentFailure(Case::topLevelLimit);
  }

  std::unordered_map<std::string, bool> keys;  // path key to its directory flag
  std::unordered_set<std::string> topLevelKeys;
  std::vector<std::vector<std::string>> split;
  split.reserve(entries.size());
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ContentEntry& entry = entries[i];
    split.push_back(validatePath(entry.path));
    if (entry.index != static_cast<std::int64_t>(i)) throw ContentFailure(Case::invalidManifest);
    if (!keys.emplace(pathKey(entry.path), entry.directory).second) {
      throw ContentFailure(Case::duplicatePath);
    }
    topLevelKeys.insert(pathKey(split.back().front()));
    if (entry.directory) {
      if (entry.size != 0 || entry.sha256) throw ContentFailure(Case::invalidManifest);
    } else {
      if (!entry.sha256 || !isDigestText(*entry.sha256)) {
        throw ContentFailure(Case::invalidManifest);
      }
      if (entry.size > kMaxFileBytes) throw ContentFailure(Case::sizeLimit);
      if (kMaxBatchBytes - sum < entry.size) throw ContentFailure(Case::sizeLimit);
      sum += entry.size;
    }
  }

  // An ancestor found once had its own ancestors checked then: deep trees stay linear.
  std::unordered_set<std::string> checkedAncestors;
  for (const auto& components : split) {
    for (std::size_t count = components.size() - 1; count > 0; --count) {
      std::string ancestor = joined(components, count);
      if (checkedAncestors.contains(ancestor)) break;
      const auto found = keys.find(pathKey(ancestor));
      if (found == keys.end() || !found->second) throw ContentFailure(Case::invalidManifest);
      checkedAncestors.insert(std::move(ancestor));
    }
  }

  if (topLevelKeys.size() != static_cast<std::size_t>(topLevelCount) || sum != totalBytes) {
    throw ContentFailure(Case::invalidManifest);
  }
}

}  // namespace velmorine::transfer
