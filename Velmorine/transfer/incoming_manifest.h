#pragma once

// What the receiver learns from the control session before it decides: the offer, one
// MANIFEST_ENTRY per entry and MANIFEST_END with a digest over the entries' headers, turned into
// a manifest or refused; the fields that describe a file on the data session, on both sides; and
// the one-time permit that admits the sender's data session.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Velmorine/network/authenticated_peer.h"
#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/content_entry.h"
#include "native/protocol/ve_frame.h"

namespace velmorine::transfer {

// MANIFEST_ENTRY header text one manifest may take in all.
inline constexpr std::uint64_t kMaxManifestHeaderBytes = 8388608;

class IncomingManifest {
 public:
  // From a TRANSFER_OFFER of `sender`. Throws ContentFailure: invalidManifest (a frame that does
  // not parse, another kind, a missing or mistyped field), entryLimit (not 1 to 4096 entries),
  // topLevelLimit (not 1 to 1024 items, or more than entries) or sizeLimit (above 2^46 bytes), in
  // that order.
  IncomingManifest(const VEFrame& offer, std::string_view sender);

  // Takes a MANIFEST_ENTRY or MANIFEST_END of `sender`. Throws ContentFailure (see the source);
  // a refused frame leaves the manifest as it was.
  void accept(const VEFrame& frame, std::string_view sender);

  std::string transferID;
  std::string offerID;
  std::string name;
  std::int64_t entryCount = 0;
  std::int64_t topLevelCount = 0;
  std::uint64_t totalBytes = 0;
  std::vector<ContentEntry> entries;
  ContentDigest hash;  // over the MANIFEST_ENTRY headers taken, as they travelled
  std::uint64_t headerBytes = 0;
  bool complete = false;
};

// The entry a MANIFEST_ENTRY's fields describe. Throws ContentFailure invalidManifest for a
// missing or mistyped "index", "path", "directory", "size" or "modifiedUTC"; a "sha256" that is
// not text counts as none.
ContentEntry contentEntryFromFields(const nlohmann::json& fields);

// The MANIFEST_ENTRY of `entry` from `localID` for the transfer `transferID` (the identifier the
// frames carry). Throws ContentFailure invalidManifest when no frame can be built.
VEFrame manifestEntryFrame(const ContentEntry& entry, std::string_view localID,
                           std::string_view transferID);

// "index", "path", "size" and "sha256" (empty text for an entry without a digest): how FILE_BEGIN
// and FILE_END describe a file; the caller adds "transferID".
nlohmann::json fileFields(const ContentEntry& entry);

// Whether FILE_BEGIN or FILE_END fields describe `entry` exactly; an entry without a digest
// matches only fields without "sha256" text.
bool entryMatches(const nlohmann::json& fields, const ContentEntry& entry);

// The receiver's one-time admission of the sender's data session.
struct TransferPermit {
  std::string token;  // 64 lower-case hexadecimal digits
  std::string transferID;
  std::string controlID;  // the control session that granted it
  std::string recipient;  // this device
  std::string sender;     // the peer's wire identifier
  std::vector<std::uint8_t> publicKey;
  double expiresAt = 0;  // uptime
  bool consumed = false;

  // True once, for DATA_HELLO fields that match in every respect, presented by the peer the
  // permit names, for the work's control session, before it expires; the permit is consumed then.
  bool admit(const nlohmann::json& fields, const network::AuthenticatedPeer& peer,
             std::string_view workControlID, double now);
};

// A number field as an unsigned count, or none when it is missing or not a number.
std::optional<std::uint64_t> numberField(const nlohmann::json& fields, const char* key);
// A text field, or none when it is missing or not text.
std::optional<std::string> textField(const nlohmann::json& fields, const char* key);

}  // namespace velmorine::transfer
