#include "Velmorine/transfer/incoming_manifest.h"

#include <cmath>
#include <limits>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/content_paths.h"
#include "Velmorine/transfer/manifest_check.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;

[[noreturn]] void refuse(Case failure) { throw ContentFailure(failure); }

std::span<const std::uint8_t> headerOf(const VEFrame& frame) {
  const std::string& header = frame.frame().header_utf8;
  return {reinterpret_cast<const std::uint8_t*>(header.data()), header.size()};
}

}  // namespace

std::optional<std::uint64_t> numberField(const nlohmann::json& fields, const char* key) {
  const auto found = fields.find(key);
  if (found == fields.end()) return std::nullopt;
  if (found->is_number_unsigned()) return found->get<std::uint64_t>();
  if (found->is_number_integer()) {
    const auto value = found->get<std::int64_t>();
    if (value < 0) return std::nullopt;
    return static_cast<std::uint64_t>(value);
  }
  if (found->is_number_float()) {
    const double value = found->get<double>();
    if (!(value >= 0.0 && value < 18446744073709551616.0) || std::trunc(value) != value) {
      return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
  }
  return std::nullopt;
}

std::optional<std::string> textField(const nlohmann::json& fields, const char* key) {
  const auto found = fields.find(key);
  if (found == fields.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

IncomingManifest::IncomingManifest(const VEFrame& offer, std::string_view sender) {
  const auto fields = VEProtocol::transferFields(offer, sender);
  if (!fields || !fields->is_object()) refuse(Case::invalidManifest);
  if (offer.kind() != "TRANSFER_OFFER") refuse(Case::invalidManifest);
  const auto id = textField(*fields, "transferID");
  const auto frameID = textField(*fields, "frameID");
  const auto offered = textField(*fields, "name");
  const auto entries = numberField(*fields, "entryCount");
  const auto topLevel = numberField(*fields, "topLevelCount");
  const auto total = numberField(*fields, "totalBytes");
  if (!id || !frameID || !offered || !entries || !topLevel || !total) {
    refuse(Case::invalidManifest);
  }
  if (*entries < 1 || *entries > static_cast<std::uint64_t>(kMaxEntries)) refuse(Case::entryLimit);
  if (*topLevel < 1 || *topLevel > static_cast<std::uint64_t>(kMaxTopLevelItems) ||
      *topLevel > *entries) {
    refuse(Case::topLevelLimit);
  }
  if (*total > kMaxBatchBytes) refuse(Case::sizeLimit);
  transferID = *id;
  offerID = *frameID;
  name = *offered;
  entryCount = static_cast<std::int64_t>(*entries);
  topLevelCount = static_cast<std::int64_t>(*topLevel);
  totalBytes = *total;
}

void IncomingManifest::accept(const VEFrame& frame, std::string_view sender) {
  if (complete) refuse(Case::invalidManifest);
  const auto fields = VEProtocol::transferFields(frame, sender);
  if (!fields || !fields->is_object()) refuse(Case::invalidManifest);
  const auto id = textField(*fields, "transferID");
  if (!id || *id != transferID) refuse(Case::invalidManifest);

  if (frame.kind() == "MANIFEST_ENTRY") {
    if (entries.size() >= static_cast<std::size_t>(entryCount)) refuse(Case::entryLimit);
    const std::uint64_t length = frame.frame().header_utf8.size();
    if (length > kMaxManifestHeaderBytes - headerBytes) refuse(Case::entryLimit);
    ContentEntry entry = contentEntryFromFields(*fields);
    if (entry.index != static_cast<std::int64_t>(entries.size())) refuse(Case::invalidManifest);
    validatePath(entry.path);
    entries.push_back(std::move(entry));
    hash.update(headerOf(frame));
    headerBytes += length;
    return;
  }
  if (frame.kind() == "MANIFEST_END") {
    const auto count = numberField(*fields, "entryCount");
    if (!count || *count != static_cast<std::uint64_t>(entryCount) || *count != entries.size()) {
      refuse(Case::corrupt);
    }
    const auto digest = textField(*fields, "sha256");
    if (!digest || *digest != hash.hexOfCopy()) refuse(Case::corrupt);
    validateManifest(entries, topLevelCount, totalBytes);
    complete = true;
    return;
  }
  refuse(Case::invalidManifest);
}

ContentEntry contentEntryFromFields(const nlohmann::json& fields) {
  const auto index = numberField(fields, "index");
  const auto path = textField(fields, "path");
  const auto size = numberField(fields, "size");
  const auto modified = textField(fields, "modifiedUTC");
  const auto directory = fields.find("directory");
  const bool directoryKnown =
      directory != fields.end() && (directory->is_boolean() || directory->is_number());
  if (!index || *index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
      !path || !size || !modified || !directoryKnown) {
    refuse(Case::invalidManifest);
  }
  ContentEntry entry;
  entry.index = static_cast<std::int64_t>(*index);
  entry.path = *path;
  entry.directory = directory->is_boolean() ? directory->get<bool>() : *directory != 0;
  entry.size = *size;
  entry.modifiedUTC = *modified;
  entry.sha256 = textField(fields, "sha256");
  return entry;
}

VEFrame manifestEntryFrame(const ContentEntry& entry, std::string_view localID,
                           std::string_view transferID) {
  nlohmann::json fields = {{"index", entry.index},
                           {"path", entry.path},
                           {"size", entry.size},
                           {"directory", entry.directory},
                           {"modifiedUTC", entry.modifiedUTC},
                           {"transferID", transferID}};
  if (entry.sha256) fields["sha256"] = *entry.sha256;
  auto frame = VEProtocol::transferFrameWithKind("MANIFEST_ENTRY", localID, fields);
  if (!frame) refuse(Case::invalidManifest);
  return std::move(*frame);
}

nlohmann::json fileFields(const ContentEntry& entry) {
  return {{"index", entry.index},
          {"path", entry.path},
          {"size", entry.size},
          {"sha256", entry.sha256.value_or("")}};
}

bool entryMatches(const nlohmann::json& fields, const ContentEntry& entry) {
  const auto index = numberField(fields, "index");
  const auto path = textField(fields, "path");
  const auto size = numberField(fields, "size");
  const auto digest = textField(fields, "sha256");
  if (!index || *index != static_cast<std::uint64_t>(entry.index) || !path || *path != entry.path ||
      !size || *size != entry.size) {
    return false;
  }
  return entry.sha256 ? digest == entry.sha256 : !digest;
}

bool TransferPermit::admit(const nlohmann::json& fields, const network::AuthenticatedPeer& peer,
                           std::string_view workControlID, double now) {
  if (consumed || !(now < expiresAt)) return false;
  if (peer.wireID != sender || peer.publicKey != publicKey) return false;
  if (workControlID != controlID) return false;
  if (textField(fields, "sessionID") != controlID ||
      textField(fields, "transferID") != transferID ||
      textField(fields, "recipient") != recipient || textField(fields, "token") != token) {
    return false;
  }
  consumed = true;
  return true;
}

}  // namespace velmorine::transfer
