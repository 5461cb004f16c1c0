#pragma once

// A peer whose every frame the test writes: it offers a small folder to an engine over a real
// control session, reads the engine's answer, opens a data session and sends the file frames as
// the test tells it, in order or not, honest or not.

#include <string>
#include <vector>

#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/incoming_manifest.h"
#include "native/protocol/uuid.h"
#include "native/protocol/ve_protocol.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/Velmorine/transfer/engine_fixture.h"

namespace velmorine::transfer::testing {

class ScriptedSender {
 public:
  // `self` is a device without an engine, linked to `target`.
  ScriptedSender(EngineWorld& world, Device& self, Device& target)
      : world_(world), self_(self), target_(target) {
    files = {velmorine::testing::patternBytes(300000, 3), velmorine::testing::patternBytes(10, 4)};
    entries = {{0, "Docs", true, 0, kModified, std::nullopt},
               {1, "Docs/a.bin", false, files[0].size(), kModified,
                velmorine::testing::sha256Of(files[0])},
               {2, "Docs/b.bin", false, files[1].size(), kModified,
                velmorine::testing::sha256Of(files[1])}};
  }

  static constexpr const char* kModified = "2026-01-01T00:00:00.000Z";

  std::uint64_t totalBytes() const {
    std::uint64_t total = 0;
    for (const auto& file : files) total += file.size();
    return total;
  }

  VEFrame frame(const std::string& kind, nlohmann::json fields,
                const std::vector<std::uint8_t>& payload = {}) const {
    fields["transferID"] = transferID;
    auto built = VEProtocol::transferFrameWithKind(kind, self_.id, fields, payload);
    if (!built) {
      ADD_FAILURE() << "cannot build " << kind << " " << fields.dump();
      return VEFrame(protocol::Frame{});
    }
    return std::move(*built);
  }

  VEFrame offerFrame() const {
    return frame("TRANSFER_OFFER", {{"frameID", offerID},
                                    {"name", "Docs"},
                                    {"entryCount", entries.size()},
                                    {"topLevelCount", 1},
                                    {"totalBytes", totalBytes()}});
  }
  std::vector<VEFrame> entryFrames() const {
    std::vector<VEFrame> frames;
    for (const auto& entry : entries)
      frames.push_back(manifestEntryFrame(entry, self_.id, transferID));
    return frames;
  }
  // The end of a manifest whose entries went out as `sent` (each build has a frame identifier
  // of its own, so the digest is over the very frames sent).
  VEFrame endFrame(const std::vector<VEFrame>& sent) const {
    ContentDigest digest;
    for (const auto& entryFrame : sent) {
      const auto& header = entryFrame.frame().header_utf8;
      digest.update({reinterpret_cast<const std::uint8_t*>(header.data()), header.size()});
    }
    return frame("MANIFEST_END", {{"entryCount", entries.size()}, {"sha256", digest.hexOfCopy()}});
  }

  // Control frames.
  bool control(const VEFrame& sent) { return world_.send(self_.controls.at(target_.id), sent); }
  void offer() {
    control(offerFrame());
    const auto sent = entryFrames();
    for (const auto& entryFrame : sent) control(entryFrame);
    control(endFrame(sent));
  }
  // The token of the engine's accepting answer, or empty.
  std::string token() const {
    for (const auto& answer : self_.receivedOfKind("TRANSFER_RESPONSE")) {
      const auto fields = VEProtocol::transferFields(answer, target_.id);
      if (fields && fields->value("transferID", "") == transferID && fields->contains("token")) {
        return (*fields)["token"];
      }
    }
    return {};
  }

  // Data frames, on the data session last opened.
  Session openData() {
    data = world_.openData(self_, target_);
    world_.settle();
    return data;
  }
  nlohmann::json hello(const std::string& token) const {
    std::string session;
    world_.run([&] {
      session = hexText(self_.controls.at(target_.id)->connection()->channel().transcriptHash());
    });
    return {{"recipient", target_.id}, {"sessionID", session}, {"token", token}};
  }
  bool onData(const VEFrame& sent) { return world_.send(data, sent); }
  nlohmann::json fileFieldsOf(size_t file) const { return fileFields(entries[file + 1]); }
  VEFrame chunk(size_t file, std::uint64_t offset, std::uint64_t length) const {
    const auto& bytes = files[file];
    return frame(
        "FILE_CHUNK", {{"index", entries[file + 1].index}, {"offset", offset}},
        std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                  bytes.begin() + static_cast<std::ptrdiff_t>(offset + length)));
  }
  // The whole honest stream of one file.
  void sendFile(size_t file) {
    onData(frame("FILE_BEGIN", fileFieldsOf(file)));
    const auto& bytes = files[file];
    for (std::uint64_t offset = 0; offset < bytes.size(); offset += 262144) {
      onData(chunk(file, offset, std::min<std::uint64_t>(262144, bytes.size() - offset)));
    }
    onData(frame("FILE_END", fileFieldsOf(file)));
  }
  VEFrame complete(std::uint64_t bytes) const {
    return frame("TRANSFER_COMPLETE", {{"status", "sender_done"}, {"bytes", bytes}});
  }

  std::string transferID = core::Uuid::random().to_string();
  std::string offerID = core::Uuid::random().to_string();
  std::vector<ContentEntry> entries;
  std::vector<std::vector<std::uint8_t>> files;
  Session data;

 private:
  EngineWorld& world_;
  Device& self_;
  Device& target_;
};

}  // namespace velmorine::transfer::testing
