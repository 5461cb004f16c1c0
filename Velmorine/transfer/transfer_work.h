#pragma once

// The engine's private record of one transfer, on either side, beside the RuntimeTransfer it
// publishes. Everything here lives on the engine queue but `files`, which only file work on the
// io queue touches, and `cancellation`, which both queues read under its lock.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/transfer/atomic_receive.h"
#include "Velmorine/transfer/content_cancellation.h"
#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/content_url.h"
#include "Velmorine/transfer/incoming_manifest.h"
#include "Velmorine/transfer/prepared_batch.h"
#include "Velmorine/transfer/runtime_transfer.h"
#include "native/protocol/uuid.h"
#include "native/protocol/ve_frame.h"

namespace velmorine::transfer {

// Where a transfer's data stream stands: the sender produces FILE_BEGIN ("begin"), chunks and
// FILE_END ("chunks") and TRANSFER_COMPLETE ("done"); the receiver expects FILE_BEGIN or the end
// ("begin"), chunks or FILE_END ("chunks"), and has taken TRANSFER_COMPLETE ("committing").
enum class TransferPhase { begin, chunks, done, committing };

// The file side of a transfer: the open reader (sender) or the staged receive (receiver). Only
// work on the io queue touches it.
struct TransferFiles {
  std::unique_ptr<PreparedReader> reader;
  std::unique_ptr<AtomicReceive> receiver;
};

struct TransferWork {
  TransferWork(RuntimeTransfer transfer, std::string control, std::vector<std::uint8_t> key,
               double now)
      : snapshot(std::move(transfer)),
        controlID(std::move(control)),
        peerKey(std::move(key)),
        deadline(now + 60) {}

  RuntimeTransfer snapshot;
  // The control session the transfer was offered or received on: the lower-case hexadecimal
  // text of its handshake transcript hash.
  std::string controlID;
  std::vector<std::uint8_t> peerKey;
  std::shared_ptr<ContentCancellation> cancellation = std::make_shared<ContentCancellation>();
  std::shared_ptr<PreparedBatch> batch;        // sender
  std::unique_ptr<IncomingManifest> manifest;  // receiver
  std::vector<VEFrame> controlFrames;          // sender: the offer, until the manifest is out
  std::int64_t controlCursor = 0;              // 0 offer, 1..N entries, N+1 the end
  ContentDigest manifestHash;                  // over the MANIFEST_ENTRY headers taken so far
  std::optional<VEFrame> manifestOutput;       // built, not yet taken by the connection
  std::string offerID;
  std::optional<TransferPermit> permit;  // receiver
  std::optional<std::string> token;      // sender, until DATA_HELLO carries it
  double tokenDeadline = 0;
  std::optional<core::Uuid> dataSession;
  double deadline;
  std::shared_ptr<TransferFiles> files = std::make_shared<TransferFiles>();
  // The manifest's file entries (folders left out), in order.
  std::shared_ptr<const std::vector<ContentEntry>> fileEntries =
      std::make_shared<const std::vector<ContentEntry>>();
  std::int64_t nextFile = 0;
  bool dataClaimed = false;
  TransferPhase phase = TransferPhase::begin;
  std::optional<VEFrame> output;  // sender: the data frame built, not yet sent
  bool reading = false;           // sender: a frame is being produced on the io queue
  std::int64_t pendingIO = 0;     // receiver: data frames on the io queue

  // The transfer identifier the frames carry. The receiver's is the record's; the sender draws
  // a fresh one for each offer, so that an offer made again is never taken for the first one
  // by a receiver that saw it (the record keeps the batch's identifier).
  std::string wireID;
  // A token arrived with the acceptance: a failure from then on tells the receiver.
  bool tokenReceived = false;
  // Receiver: where the user chose to receive, and the receive's journal once it is laid out.
  std::optional<ContentUrl> destination;
  // Receiver: "receiver_committed" not yet taken by its session, sent again when it has room.
  std::optional<VEFrame> heldAcknowledgement;
};

// A deadline that never comes.
inline constexpr double kNoDeadline = std::numeric_limits<double>::infinity();

}  // namespace velmorine::transfer
