#pragma once

// Transfer engines in one process, joined by real peer sessions (handshake, HELLO, encryption)
// over streams that the test drives: every byte moves only inside `settle`, on the one queue
// that plays the runtime's, and time moves only when the test moves the clock. A device stands
// in for its runtime with hooks that record what the engine asked of them and fail on demand;
// a device without an engine is a scripted peer that sends whatever frames the test builds.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/network/network_output_budget.h"
#include "Velmorine/network/secure_connection.h"
#include "Velmorine/network/secure_peer_session.h"
#include "Velmorine/transfer/content_preparation.h"
#include "Velmorine/transfer/transfer_engine.h"
#include "native/protocol/ve_protocol.h"
#include "native/secure/ve_secure_channel.h"
#include "platform/dispatch/uptime_clock.h"
#include "tests/Velmorine/network/fake_stream.h"
#include "tests/Velmorine/network/session_fixtures.h"

namespace velmorine::transfer::testing {

using Session = std::shared_ptr<network::SecurePeerSession>;

// One end of the world: a device with its engine (or a scripted peer without one) and the
// hooks a runtime would install.
struct Device {
  std::string id;
  std::string name;
  std::string nonce;
  std::shared_ptr<const VEIdentity> identity;
  std::shared_ptr<TransferEngine> engine;

  // The peer's control session, by peer identifier.
  std::map<std::string, Session> controls;
  // Sessions that ended, with the peer they were with and whether they carried data.
  int closedControls = 0;
  int closedData = 0;
  // Frames the engine refused, by kind.
  std::vector<std::string> refused;
  // What a scripted peer received: the frame and whether it came on a data session.
  std::vector<std::pair<VEFrame, bool>> received;
  // The data sessions it opened or accepted, newest last.
  std::vector<Session> dataSessions;

  // What the hooks saw.
  std::vector<RuntimeTransfer> persisted;
  std::vector<store::ReceiveJournal> journals;
  std::vector<core::Uuid> commits;
  std::vector<store::ReceiveJournal> retired;
  int changes = 0;
  int storageFailures = 0;
  // Faults: a hook throws while its flag is set.
  std::function<bool(const RuntimeTransfer&)> persistFails;
  bool journalFails = false;
  bool commitFails = false;
  bool acknowledgementsRefused = false;
  bool openDataFails = false;
  bool localIDMissing = false;
  // Its streams keep their writes (a peer that stops reading), new ones too.
  bool writesHeld = false;
  // Each of its streams keeps its writes once this many bytes went out on it.
  std::optional<size_t> writeAllowance;

  // The frames of `kind` a scripted peer received.
  std::vector<VEFrame> receivedOfKind(const std::string& kind) const {
    std::vector<VEFrame> found;
    for (const auto& [frame, onData] : received) {
      if (frame.kind() == kind) found.push_back(frame);
    }
    return found;
  }
};

class EngineWorld {
 public:
  EngineWorld() = default;
  ~EngineWorld() {
    // What lives on the queue goes on it.
    run([&] {
      for (auto& device : devices_) {
        const auto controls = device->controls;
        const auto dataSessions = device->dataSessions;
        for (const auto& [peer, session] : controls) session->close(nullptr);
        for (const auto& session : dataSessions) session->close(nullptr);
        device->controls.clear();
        device->dataSessions.clear();
        device->engine.reset();
      }
      sessions_.clear();
    });
  }
  EngineWorld(const EngineWorld&) = delete;
  EngineWorld& operator=(const EngineWorld&) = delete;

  platform::SerialQueue& queue() { return queue_; }
  double now() const { return clock_->now(); }

  void run(const std::function<void()>& work) { queue_.sync(work); }

  // A device with an engine, or a scripted peer.
  Device& device(const std::string& name, bool withEngine = true) {
    auto device = std::make_unique<Device>();
    device->id = deviceIDFor(devices_.size());
    device->name = name;
    device->nonce = std::string(64, static_cast<char>('a' + devices_.size()));
    device->identity = *VEIdentity::generate();
    Device& made = *device;
    devices_.push_back(std::move(device));
    if (withEngine) run([&] { made.engine = makeEngine(made); });
    return made;
  }

  // `from` dials `to` for a control session; true once both ends hold it.
  bool link(Device& from, Device& to) {
    connect(from, to, VEProtocol::kPurposeControl);
    settle();
    return from.controls.contains(to.id) && to.controls.contains(from.id);
  }

  // Opens a data session from `from` to `to`, as a runtime's openData does; on the queue.
  Session openData(Device& from, Device& to) {
    return connect(from, to, VEProtocol::kPurposeData).first;
  }

  // Moves bytes, file work and results until nothing more happens.
  void settle() {
    std::string before;
    for (int round = 0; round < 100000; ++round) {
      bool progress = false;
      run([&] { progress = pumpStreams(); });
      for (auto& device : devices_) {
        if (!device->engine) continue;
        std::promise<void> flushed;
        run([&] { device->engine->flush([&] { flushed.set_value(); }); });
        flushed.get_future().wait();
      }
      std::string after;
      run([&] { after = signature(); });
      if (!progress && after == before) return;
      before = std::move(after);
    }
    ADD_FAILURE() << "the world never settled";
  }

  void advance(double seconds) {
    clock_->advance(seconds);
    settle();
  }
  // Moves the clock and runs each engine's tick, as the runtime's timer does once a second.
  void tickAfter(double seconds) {
    clock_->advance(seconds);
    run([&] {
      for (auto& device : devices_) {
        if (device->engine) device->engine->tick();
      }
    });
    settle();
  }

  // Holds back the writes of `device`'s end of every stream towards `peer` (a peer that stops
  // reading), or lets them go again.
  void holdWrites(Device& device, bool hold) {
    run([&] {
      device.writesHeld = hold;
      for (auto& link : streams_) {
        if (link.owner == &device) link.state->holdWrites = hold;
      }
    });
  }

  // Cuts every stream of `device`: its sessions end on both sides.
  void cut(Device& device) {
    run([&] {
      for (auto& link : streams_) {
        if (link.owner == &device || link.peerOwner == &device) {
          link.state->errorPending = std::make_error_code(std::errc::connection_reset);
          link.peer->errorPending = std::make_error_code(std::errc::connection_reset);
        }
      }
    });
    settle();
  }

  // The work of a transfer in `device`'s engine, on the queue.
  std::shared_ptr<TransferWork> work(Device& device, const std::string& id) {
    std::shared_ptr<TransferWork> found;
    run([&] {
      if (const auto entry = device.engine->work.find(id); entry != device.engine->work.end()) {
        found = entry->second;
      }
    });
    return found;
  }
  std::optional<RuntimeTransfer> transfer(Device& device, const std::string& id) {
    auto entry = work(device, id);
    if (!entry) return std::nullopt;
    std::optional<RuntimeTransfer> snapshot;
    run([&] { snapshot = entry->snapshot; });
    return snapshot;
  }
  // The one transfer an engine holds besides those listed in `besides`.
  std::optional<RuntimeTransfer> onlyTransfer(Device& device) {
    std::optional<RuntimeTransfer> found;
    run([&] {
      const auto all = device.engine->transfers();
      if (all.size() == 1) found = all.front();
    });
    return found;
  }

  // Sends a frame on a session from the queue.
  bool send(const Session& session, const VEFrame& frame) {
    bool sent = false;
    run([&] { sent = session->send(frame); });
    settle();
    return sent;
  }

  // The current wall time the engines stamp records with; every read moves it a millisecond,
  // so creation order is always strict.
  store::Date wallNow() { return store::Date{wall_ += 0.001}; }

 private:
  struct StreamLink {
    Device* owner;
    Device* peerOwner;
    std::shared_ptr<network::testing::FakeStreamState> state;
    std::shared_ptr<network::testing::FakeStreamState> peer;
    bool endDelivered = false;
    size_t written = 0;
  };

  // Devices made earlier sort first.
  static std::string deviceIDFor(size_t index) {
    char id[37];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012zx", index + 1);
    return id;
  }

  std::shared_ptr<TransferEngine> makeEngine(Device& device) {
    TransferEngine::Services services;
    services.uptime = clock_;
    services.wallClock = [this] { return wallNow(); };
    services.random = [counter = std::make_shared<int>(0)](std::span<std::uint8_t> bytes) {
      for (auto& byte : bytes) byte = static_cast<std::uint8_t>((*counter)++ * 37 + 11);
      return true;
    };
    auto engine = TransferEngine::create(
        queue_,
        [&device](const Session& session, const VEFrame& frame) {
          return !device.acknowledgementsRefused && session->send(frame);
        },
        std::move(services));
    engine->localID = [&device]() -> std::optional<std::string> {
      if (device.localIDMissing) return std::nullopt;
      return device.id;
    };
    engine->control = [&device](const std::string& peerID) -> Session {
      const auto found = device.controls.find(peerID);
      return found == device.controls.end() ? nullptr : found->second;
    };
    engine->openData = [this, &device](const std::string& peerID) -> Session {
      if (device.openDataFails) throw ContentFailure(ContentFailure::Case::access);
      for (auto& other : devices_) {
        if (other->id == peerID) return openData(device, *other);
      }
      throw ContentFailure(ContentFailure::Case::access);
    };
    engine->changed = [&device] { ++device.changes; };
    engine->persistSnapshot = [&device](const RuntimeTransfer& transfer) {
      if (device.persistFails && device.persistFails(transfer)) {
        throw std::runtime_error("history unavailable");
      }
      device.persisted.push_back(transfer);
    };
    engine->recordJournal = [&device](const store::ReceiveJournal& journal, const ContentUrl&) {
      if (device.journalFails) throw ContentFailure(ContentFailure::Case::io);
      device.journals.push_back(journal);
    };
    engine->recordCommit = [&device](const core::Uuid& id, const ContentUrl&) {
      if (device.commitFails) throw std::runtime_error("store unavailable");
      device.commits.push_back(id);
    };
    engine->retireJournal = [&device](const store::ReceiveJournal& journal) {
      device.retired.push_back(journal);
    };
    engine->storageFailed = [&device] { ++device.storageFailures; };
    return engine;
  }

  // A session pair: `from` dials `to` for `purpose`. On the queue or off it.
  std::pair<Session, Session> connect(Device& from, Device& to, uint32_t purpose) {
    std::pair<Session, Session> pair;
    auto body = [&] {
      auto ours = std::make_shared<network::testing::FakeStreamState>();
      auto theirs = std::make_shared<network::testing::FakeStreamState>();
      ours->holdWrites = from.writesHeld;
      theirs->holdWrites = to.writesHeld;
      streams_.push_back({&from, &to, ours, theirs});
      streams_.push_back({&to, &from, theirs, ours});
      auto dialChannel = VESecureChannel::withIdentity(from.identity, true, purpose);
      auto acceptChannel = VESecureChannel::withIdentity(to.identity, false, 0);
      auto dialled =
          network::SecureConnection::over(std::make_unique<network::testing::FakeStream>(ours),
                                          std::move(*dialChannel), queue_, budget_);
      auto accepted =
          network::SecureConnection::over(std::make_unique<network::testing::FakeStream>(theirs),
                                          std::move(*acceptChannel), queue_, budget_);
      pair.first = attach(from, to, std::move(dialled), purpose, true);
      pair.second = attach(to, from, std::move(accepted), purpose, false);
    };
    if (queue_.is_current()) {
      body();
    } else {
      run(body);
    }
    return pair;
  }

  Session attach(Device& self, Device& peer, std::shared_ptr<network::SecureConnection> connection,
                 uint32_t purpose, bool dialled) {
    network::SecurePeerSession::Configuration configuration{
        self.id,
        self.nonce,
        self.identity,
        dialled ? std::optional<std::string>(peer.id) : std::nullopt,
        dialled ? purpose : 0,
        nullptr,
        false};
    auto session = network::SecurePeerSession::create(std::move(connection), configuration);
    sessions_.push_back(session);
    const bool data = purpose == VEProtocol::kPurposeData;
    if (data) self.dataSessions.push_back(session);
    session->lookup = [&peer](const std::string& id) -> std::optional<VEAnnouncement> {
      if (id != peer.id) return std::nullopt;
      return network::testing::announcementOf(
          peer.id, *VEProtocol::fingerprint(peer.identity->publicKey()), peer.nonce);
    };
    session->authenticate = [](const std::string& id, std::span<const uint8_t>) {
      return "contact-" + id;
    };
    std::weak_ptr<network::SecurePeerSession> weak = session;
    session->onReady = [this, &self, weak, data](const network::AuthenticatedPeer& who) {
      auto live = weak.lock();
      if (!live) return;
      if (data) {
        if (self.engine) self.engine->dataSessionReady(live);
        return;
      }
      self.controls[who.wireID] = live;
      live->connection()->onWritable = [&self, id = who.wireID] {
        if (self.engine) self.engine->streamManifest(id);
      };
      (void)this;
    };
    session->onFrame = [&self, weak, data](const VEFrame& frame,
                                           const network::AuthenticatedPeer& who) {
      auto live = weak.lock();
      if (!live) return;
      if (!self.engine) {
        self.received.emplace_back(frame, data);
        return;
      }
      try {
        if (data) {
          self.engine->handleDataFrame(frame, live);
        } else {
          self.engine->handleControlFrame(frame, who, live);
        }
      } catch (...) {
        self.refused.push_back(frame.kind());
        live->close(std::make_exception_ptr(network::SecureConnectionFailure::closed()));
      }
    };
    session->onFailure = [&self, weak, data, id = session->connection()->id()](std::exception_ptr) {
      auto live = weak.lock();
      if (data) {
        ++self.closedData;
        if (self.engine) self.engine->dataSessionClosed(id);
        return;
      }
      ++self.closedControls;
      if (!live || !live->peer()) return;
      const std::string peerID = live->peer()->wireID;
      const auto current = self.controls.find(peerID);
      if (current == self.controls.end() || current->second != live) return;
      self.controls.erase(current);
      if (self.engine) self.engine->cancelPeer(peerID);
    };
    session->start();
    return session;
  }

  // One pass over every stream; a stream whose end was cancelled shows its peer the end.
  bool pumpStreams() {
    bool progress = false;
    // Stepping a stream may open new sessions, and so grow the list: entries are read by index.
    for (size_t i = 0; i < streams_.size(); ++i) {
      const auto state = streams_[i].state;
      const auto peer = streams_[i].peer;
      if (state->cancelled && !streams_[i].endDelivered && !peer->cancelled) {
        streams_[i].endDelivered = true;
        peer->endPending = true;
        progress = true;
      }
      // Writes go one at a time, so that an allowance stops them where it runs out.
      const Device* owner = streams_[i].owner;
      while (!state->holdWrites && !state->sends.empty() && !state->cancelled) {
        if (owner->writeAllowance && streams_[i].written >= *owner->writeAllowance) {
          state->holdWrites = true;
          break;
        }
        auto send = std::move(state->sends.front());
        state->sends.pop_front();
        streams_[i].written += send.bytes.size();
        peer->inbox.insert(peer->inbox.end(), send.bytes.begin(), send.bytes.end());
        if (send.completion) send.completion({});
        progress = true;
      }
      progress = network::testing::stepStream(*state, peer.get()) || progress;
    }
    return progress;
  }

  std::string signature() const {
    std::string text;
    for (const auto& device : devices_) {
      text += device->id + ":" + std::to_string(device->received.size()) + ":" +
              std::to_string(device->changes) + ";";
      if (!device->engine) continue;
      const auto& engine = *device->engine;
      text +=
          std::to_string(engine.data.size()) + "/" + std::to_string(engine.dataTransfers.size());
      for (const auto& [id, entry] : engine.work) {
        text += id + "," + std::string(rawValue(entry->snapshot.state)) + "," +
                std::to_string(entry->snapshot.bytes) + "," + std::to_string(entry->pendingIO) +
                "," + std::to_string(entry->reading) + "," + std::to_string(entry->nextFile) + "," +
                std::to_string(entry->controlCursor) + "," +
                std::to_string(entry->output.has_value()) + ";";
      }
    }
    return text;
  }

  std::shared_ptr<platform::ManualUptimeClock> clock_ =
      std::make_shared<platform::ManualUptimeClock>(1000.0);
  platform::SerialQueue queue_{"test.runtime", clock_};
  std::shared_ptr<network::NetworkOutputBudget> budget_ =
      std::make_shared<network::NetworkOutputBudget>();
  std::vector<std::unique_ptr<Device>> devices_;
  std::vector<StreamLink> streams_;
  std::vector<Session> sessions_;
  double wall_ = 800000000.0;
};

// A batch of the files and folders at `paths`, prepared as the composer does.
inline std::shared_ptr<PreparedBatch> prepared(const std::vector<std::filesystem::path>& paths) {
  std::vector<ContentUrl> urls;
  for (const auto& path : paths) {
    urls.push_back(ContentUrl::file(path, std::filesystem::is_directory(path)));
  }
  ContentCancellation cancellation;
  return prepareBatch(urls, false, cancellation, {}, nullptr);
}

// Every file and folder below `root`, relative, with its kind, mode and bytes: two trees that
// give the same listing arrived identical.
inline std::map<std::string, std::string> treeListing(const std::filesystem::path& root) {
  std::map<std::string, std::string> listing;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    struct stat status {};
    ::lstat(item.path().c_str(), &status);
    std::string description = S_ISDIR(status.st_mode) ? "d" : "f";
    description += std::to_string(status.st_mode & 07777);
    if (S_ISREG(status.st_mode)) {
      std::ifstream in(item.path(), std::ios::binary);
      description += ":" + std::string(std::istreambuf_iterator<char>(in), {});
    }
    listing[std::filesystem::relative(item.path(), root).string()] = description;
  }
  return listing;
}

// The same listing with every mode replaced by what a receive gives (0600 files, 0700 folders).
inline std::map<std::string, std::string> asReceived(std::map<std::string, std::string> listing) {
  for (auto& [path, description] : listing) {
    const auto colon = description.find(':');
    const std::string rest = colon == std::string::npos ? "" : description.substr(colon);
    description =
        description[0] == 'd' ? "d" + std::to_string(0700) : "f" + std::to_string(0600) + rest;
  }
  return listing;
}

// What a destination folder holds besides received folders: stages and journals left behind.
inline std::vector<std::string> leftovers(const std::filesystem::path& destination) {
  std::vector<std::string> found;
  for (const auto& item : std::filesystem::directory_iterator(destination)) {
    const std::string name = item.path().filename().string();
    if (name.rfind("Velmorine-", 0) != 0) found.push_back(name);
  }
  return found;
}

}  // namespace velmorine::transfer::testing
