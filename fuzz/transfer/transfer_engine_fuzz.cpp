// A hostile peer against a receiving and sending engine: the input is a script of transfer frames
// that arrive on an authenticated control or data session, with the user's accept and the clock
// between them. Nothing may crash, a refusal must be the engine's own ContentFailure, and nothing
// may appear in the destination outside a stage.
//
// Input: records of one operation byte, then for the two frame operations a header and a payload,
// each as a 2-byte big-endian length and its bytes.
//   0  a frame on the control session       1  a frame on the data session
//   2  the user accepts every pending offer  3  the clock moves 20 s and the engine ticks
//   4  an offer of our own to the peer       5  the engine stops everything
// In a header, "@C" stands for the control session's identifier (its transcript hash in hex),
// "@T" and "@O" for the transfer and offer identifiers of our latest offer, which no fixed input
// could know; the peer's identifier, the token (64 "ab") and the engine's identifier are fixed.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "Velmorine/network/network_output_budget.h"
#include "Velmorine/network/secure_connection.h"
#include "Velmorine/network/secure_peer_session.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_preparation.h"
#include "Velmorine/transfer/transfer_engine.h"
#include "native/protocol/ve_protocol.h"
#include "native/secure/ve_secure_channel.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/uptime_clock.h"
#include "tests/Velmorine/network/fake_stream.h"

using namespace velmorine;
namespace fs = std::filesystem;

namespace {

constexpr const char* kEngineID = "00000000-0000-4000-8000-000000000001";
constexpr const char* kPeerID = "00000000-0000-4000-8000-000000000002";
using Session = std::shared_ptr<network::SecurePeerSession>;
using network::testing::FakeStream;
using network::testing::FakeStreamState;

fs::path fuzzRoot() {
  return fs::temp_directory_path() / ("velmorine-fuzz-" + std::to_string(::getpid()));
}

// Two sessions (control and data) between the engine's device and the peer, made once; each
// input gets a fresh engine on them.
class World {
 public:
  World() {
    root_ = fuzzRoot();
    fs::create_directories(root_ / "in");
    fs::create_directories(root_ / "out");
    velmorine::platform::UniqueFd file(
        ::open((root_ / "out" / "sent.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    const char bytes[] = "outgoing bytes";
    (void)::write(file.get(), bytes, sizeof bytes);
    queue_.sync([&] {
      control_ = connect(VEProtocol::kPurposeControl);
      data_ = connect(VEProtocol::kPurposeData);
    });
    settle();
    if (!control_.first->peer() || !data_.first->peer()) std::abort();
  }

  void run(const uint8_t* data, size_t size) {
    queue_.sync([&] {
      engine_ = makeEngine();
      engine_->dataSessionReady(data_.first);
    });
    size_t at = 0;
    auto take = [&](size_t count) -> const uint8_t* {
      if (size - at < count) return nullptr;
      const uint8_t* start = data + at;
      at += count;
      return start;
    };
    auto chunk = [&]() -> std::optional<std::vector<uint8_t>> {
      const uint8_t* length = take(2);
      if (!length) return std::nullopt;
      const size_t count = (size_t{length[0]} << 8) | length[1];
      const uint8_t* start = take(count);
      if (!start) return std::nullopt;
      return std::vector<uint8_t>(start, start + count);
    };
    for (int step = 0; step < 64 && at < size; ++step) {
      const uint8_t op = *take(1) % 6;
      if (op <= 1) {
        const auto header = chunk();
        const auto payload = chunk();
        if (!header || !payload) break;
        deliver(op == 1, *header, *payload);
      } else if (op == 2) {
        queue_.sync([&] {
          for (const auto& transfer : engine_->transfers()) {
            if (transfer.state == transfer::TransferState::pending) {
              engine_->accept(transfer.id, transfer::ContentUrl::file(root_ / "in", true));
            }
          }
        });
      } else if (op == 3) {
        clock_->advance(20);
        queue_.sync([&] { engine_->tick(); });
      } else if (op == 4) {
        queue_.sync([&] {
          try {
            transfer::ContentCancellation cancellation;
            engine_->offer(
                transfer::prepareBatch({transfer::ContentUrl::file(root_ / "out" / "sent.bin")},
                                       false, cancellation, {}, nullptr),
                kPeerID);
          } catch (const transfer::ContentFailure&) {
          }
        });
      } else {
        queue_.sync([&] { engine_->stopAll(); });
      }
      settle();
    }
    queue_.sync([&] { engine_->stopAll(); });
    settle();
    queue_.sync([&] { engine_.reset(); });
    // Whatever was staged went with the engine's end; nothing else was ever written here.
    for (const auto& item : fs::directory_iterator(root_ / "in")) {
      // A folder the script sent honestly and completely; anything else (a stage that outlived
      // its transfer, a stray file) is a fault.
      if (item.path().filename().string().rfind("Velmorine-", 0) != 0) std::abort();
      fs::remove_all(item.path());
    }
  }

 private:
  void deliver(bool onData, std::vector<uint8_t> headerBytes, std::vector<uint8_t> payload) {
    std::string header(headerBytes.begin(), headerBytes.end());
    std::string transferID, offerID;
    queue_.sync([&] {
      for (const auto& [id, work] : engine_->work) {
        if (work->snapshot.outgoing) {
          transferID = work->wireID;
          offerID = work->offerID;
        }
      }
    });
    for (const auto& [mark, value] : {std::pair<std::string, std::string>{"@C", controlID_},
                                      {"@T", transferID},
                                      {"@O", offerID}}) {
      for (size_t found; (found = header.find(mark)) != std::string::npos;) {
        header.replace(found, mark.size(), value);
      }
    }
    protocol::Frame frame;
    frame.type = protocol::frame_type_of_header(header).kind;
    frame.header_utf8 = std::move(header);
    frame.payload = std::move(payload);
    const VEFrame built(std::move(frame));
    const auto& session = onData ? data_.first : control_.first;
    queue_.sync([&] {
      try {
        if (onData) {
          engine_->handleDataFrame(built, session);
        } else {
          engine_->handleControlFrame(built, *session->peer(), session);
        }
      } catch (const transfer::ContentFailure&) {
        // A refusal; the runtime would close the session, which the next input gets back.
      }
    });
  }

  std::shared_ptr<transfer::TransferEngine> makeEngine() {
    transfer::TransferEngine::Services services;
    services.uptime = clock_;
    services.random = [](std::span<uint8_t> bytes) {
      std::fill(bytes.begin(), bytes.end(), uint8_t{0xab});
      return true;
    };
    auto engine = transfer::TransferEngine::create(
        queue_, [](const Session&, const VEFrame&) { return true; }, std::move(services));
    engine->localID = [] { return std::optional<std::string>(kEngineID); };
    engine->control = [this](const std::string& peer) -> Session {
      return peer == kPeerID ? control_.first : nullptr;
    };
    engine->openData = [this](const std::string&) -> Session { return data_.first; };
    return engine;
  }

  std::pair<Session, Session> connect(uint32_t purpose) {
    auto ours = std::make_shared<FakeStreamState>();
    auto theirs = std::make_shared<FakeStreamState>();
    streams_.emplace_back(ours, theirs);
    auto accepted = network::SecureConnection::over(
        std::make_unique<FakeStream>(ours),
        std::move(*VESecureChannel::withIdentity(local_, false, 0)), queue_, budget_);
    auto dialled = network::SecureConnection::over(
        std::make_unique<FakeStream>(theirs),
        std::move(*VESecureChannel::withIdentity(remote_, true, purpose)), queue_, budget_);
    auto engineSide =
        attach(std::move(accepted), kEngineID, local_, remote_, kPeerID, std::nullopt, 0);
    auto peerSide =
        attach(std::move(dialled), kPeerID, remote_, local_, kEngineID, kEngineID, purpose);
    return {engineSide, peerSide};
  }

  Session attach(std::shared_ptr<network::SecureConnection> connection, const char* self,
                 const std::shared_ptr<const VEIdentity>& identity,
                 const std::shared_ptr<const VEIdentity>& peerIdentity, const char* peer,
                 std::optional<std::string> expected, uint32_t purpose) {
    const std::string nonce(64, self == kEngineID ? 'a' : 'b');
    const std::string peerNonce(64, self == kEngineID ? 'b' : 'a');
    auto session = network::SecurePeerSession::create(
        std::move(connection),
        {self, nonce, identity, std::move(expected), purpose, nullptr, false});
    session->lookup = [peer, peerIdentity,
                       peerNonce](const std::string& id) -> std::optional<VEAnnouncement> {
      if (id != peer) return std::nullopt;
      const auto datagram = VEProtocol::discoveryWithID(
          peer, "Peer", *VEProtocol::fingerprint(peerIdentity->publicKey()), peerNonce, 4100, 15,
          1);
      return VEProtocol::parseDiscovery(*datagram, "00000000-0000-4000-8000-0000000000aa");
    };
    session->authenticate = [](const std::string& id, std::span<const uint8_t>) { return id; };
    session->onReady = [this, weak = std::weak_ptr<network::SecurePeerSession>(session)](
                           const network::AuthenticatedPeer&) {
      if (auto live = weak.lock();
          live && controlID_.empty() &&
          live->connection()->channel().purpose() == VEProtocol::kPurposeControl) {
        controlID_ = transfer::hexText(live->connection()->channel().transcriptHash());
      }
    };
    // What the engine sends is read and dropped by the peer's side.
    session->onFrame = [](const VEFrame&, const network::AuthenticatedPeer&) {};
    session->start();
    return session;
  }

  // Moves bytes and file work until a pass moves nothing.
  void settle() {
    for (int round = 0; round < 256; ++round) {
      bool progress = false;
      queue_.sync([&] {
        for (auto& [a, b] : streams_) {
          while (network::testing::stepStream(*a, b.get()) |
                 network::testing::stepStream(*b, a.get())) {
            progress = true;
          }
        }
      });
      bool fileWork = false;
      if (engine_) {
        queue_.sync([&] {
          for (const auto& [id, work] : engine_->work)
            fileWork |= work->pendingIO > 0 || work->reading;
        });
        std::promise<void> flushed;
        queue_.sync([&] { engine_->flush([&] { flushed.set_value(); }); });
        flushed.get_future().wait();
      }
      if (!progress && !fileWork) return;
    }
  }

  std::shared_ptr<platform::ManualUptimeClock> clock_ =
      std::make_shared<platform::ManualUptimeClock>(1000.0);
  platform::SerialQueue queue_{"fuzz.runtime", clock_};
  std::shared_ptr<network::NetworkOutputBudget> budget_ =
      std::make_shared<network::NetworkOutputBudget>();
  std::shared_ptr<const VEIdentity> local_ = *VEIdentity::generate();
  std::shared_ptr<const VEIdentity> remote_ = *VEIdentity::generate();
  std::vector<std::pair<std::shared_ptr<FakeStreamState>, std::shared_ptr<FakeStreamState>>>
      streams_;
  std::pair<Session, Session> control_;
  std::pair<Session, Session> data_;
  std::string controlID_;
  std::shared_ptr<transfer::TransferEngine> engine_;
  fs::path root_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The world lives as long as the process; its folder goes at exit.
  static World* world = [] {
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(fuzzRoot(), ignored);
    });
    return new World();
  }();
  world->run(data, size);
  return 0;
}
