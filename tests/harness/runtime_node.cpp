// runtime-node: the runtime on its own, driven headlessly for end-to-end tests. The product has
// no command line; only this driver does.
//
//   runtime-node [DATA_HOME]
//
// DATA_HOME (else $XDG_DATA_HOME, else ~/.local/share) holds the data folder "Velmorine" and the
// keychain, as for the program. Commands arrive on stdin, one JSON object a line, with "op" one
// of: start, setNetworkEnabled {enabled}, connectPeer {peer}, sendText {peer, text, contact?},
// selectConversation {contact, earlier?}, resendMessage {contact, message}, cancelMessage
// {contact, message}, clearConversation {peer, contact?}, setPeerBlocked {peer, blocked},
// resolveChangedKey {peer, keepSeparate}, verifyPeer {peer}, configureReminders, cancelReminder
// {peer}, updatePreferences {displayName?, language?, appearance?, notificationsEnabled?},
// renameDevice {name|null}, refreshDeviceName, resetDevices, hideEndedTransfers {peer?,
// transfer?}, suspend, resume, shutdown, sessions (what the runtime holds, read on its queue),
// snapshotMessages {messages} (whether snapshots list the messages and their history order, on
// by default; a long stream is cheaper to print without), offer {peer, paths} (prepares the
// files and folders into a batch and offers it; the completion gives the batch's transfer
// identifier) or offer {peer, batch} (offers a batch prepared before again), send {peer, paths}
// (prepares the files and folders and hands them to the attachment outbox; the completion gives
// the batch's identifier as "transfer" and null or the failure as "result"), retry {transfer}
// (puts an outgoing batch that waits for attention back into the outbox), accept {transfer,
// destination}, decline {transfer}, cancel {transfer}, store (the pending receives and the
// received index, read on the runtime queue), advanceClock {seconds} (moves the runtime's uptime
// forward, so deadlines pass without waiting) and quit (shut down, then exit; also at the end of
// stdin). Every snapshot, completion and diagnostic leaves as one JSON line on stdout, in the
// order the runtime queue produced them. A sendText completion carries the sent text, so that a
// test can match acceptances to what it sent.
//
// VELMORINE_NODE_KILL_AT names a point of a staged receive ("commit.renamed", ...), of the
// outbox's staging ("staging.copied") or of its enqueue ("outbox.enqueued") at which the node
// kills itself with SIGKILL, as a crash there would.

#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <expected>
#include <functional>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <unordered_map>

#include "Velmorine/network/discovery_service.h"
#include "Velmorine/reminders/unconfigured_reminder_client.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/keychain_service.h"
#include "Velmorine/transfer/content_preparation.h"
#include "native/protocol/frame_memory.h"
#include "platform/bundle/bundle.h"
#include "platform/dispatch/uptime_clock.h"
#include "platform/keychain/keychain.h"

namespace {

using nlohmann::json;
using velmorine::runtime::VelRuntime;

// The node's main queue: closures posted from any thread, run in order by main().
class MainQueue {
 public:
  void post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      work_.push_back(std::move(work));
    }
    ready_.notify_one();
  }
  // Runs posted work until `stop` has been called and the work before it has run.
  void run() {
    while (true) {
      std::function<void()> next;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return stopped_ || !work_.empty(); });
        if (work_.empty()) return;
        next = std::move(work_.front());
        work_.pop_front();
      }
      next();
    }
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    ready_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> work_;
  bool stopped_ = false;
};

// The system uptime moved forward by what the tests asked for.
class MovableUptimeClock final : public velmorine::platform::UptimeClock {
 public:
  double now() const override {
    std::lock_guard lock(mutex_);
    return velmorine::platform::system_uptime() + offset_;
  }
  double advance(double seconds) {
    std::lock_guard lock(mutex_);
    if (seconds > 0) offset_ += seconds;
    return velmorine::platform::system_uptime() + offset_;
  }

 private:
  mutable std::mutex mutex_;
  double offset_ = 0;
};

std::mutex outputMutex;
// Whether snapshots list their messages; read and written on the main queue only.
bool snapshotMessages = true;

void emit(const json& line) {
  // Peer names and texts are the network's: never let invalid UTF-8 stop the output.
  const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace);
  std::lock_guard lock(outputMutex);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

json optionalText(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

json snapshotJSON(const velmorine::runtime::RuntimeSnapshot& snapshot, uint64_t number,
                  bool withMessages) {
  json peers = json::array();
  for (const auto& peer : snapshot.peers) {
    json routes = json::array();
    for (const auto& route : peer.routes) {
      routes.push_back({{"host", route.host},
                        {"port", route.port},
                        {"interface", route.interface},
                        {"lastSeen", route.lastSeen}});
    }
    peers.push_back({{"id", peer.id},
                     {"wireID", peer.wireID},
                     {"name", peer.name},
                     {"platform", peer.platform},
                     {"online", peer.online},
                     {"safetyCode", optionalText(peer.safetyCode)},
                     {"blocked", peer.blocked},
                     {"verified", peer.verified},
                     {"keyChanged", peer.keyChanged},
                     {"historical", peer.historical},
                     {"routes", routes}});
  }
  json messages = json::array();
  json historyOrder = json::object();
  if (withMessages) {
    for (const auto& message : snapshot.messages) {
      messages.push_back({{"id", message.id},
                          {"peerID", message.peerID},
                          {"contactID", message.contactID},
                          {"text", message.text},
                          {"outgoing", message.outgoing},
                          {"delivery", velmorine::runtime::rawValue(message.delivery)}});
    }
    for (const auto& [key, order] : snapshot.historyOrder) historyOrder[key] = order;
  }
  json received = json::array();
  for (const auto& entry : snapshot.received) received.push_back(entry.transferID.to_string());
  json issues = json::array();
  for (const auto& issue : snapshot.issues) {
    issues.push_back(
        {{"interface", issue.interface}, {"operation", issue.operation}, {"code", issue.code}});
  }
  json transfers = json::array();
  for (const auto& transfer : snapshot.transfers) {
    transfers.push_back({{"id", transfer.id},
                         {"peerID", transfer.peerID},
                         {"contactID", transfer.contactID},
                         {"name", transfer.name},
                         {"outgoing", transfer.outgoing},
                         {"totalBytes", transfer.totalBytes},
                         {"bytes", transfer.bytes},
                         {"itemCount", transfer.itemCount},
                         {"state", velmorine::transfer::rawValue(transfer.state)},
                         {"error", optionalText(transfer.error)},
                         {"location", optionalText(transfer.location)},
                         {"canRetryQueued", transfer.canRetryQueued ? json(*transfer.canRetryQueued)
                                                                    : json(nullptr)}});
  }
  const auto& preferences = snapshot.preferences;
  return {{"event", "snapshot"},
          {"number", number},
          {"status", snapshot.status},
          {"enabled", snapshot.enabled},
          {"localID", optionalText(snapshot.localID)},
          {"peers", peers},
          {"messages", messages},
          {"messageCount", snapshot.messages.size()},
          {"historyOrder", historyOrder},
          {"earlierHistory", snapshot.earlierHistory},
          {"browsingHistory", snapshot.browsingHistory},
          {"issues", issues},
          {"transfers", transfers},
          {"received", received},
          {"preferences",
           {{"networkEnabled", preferences.networkEnabled},
            {"displayName", preferences.displayName},
            {"language", preferences.language},
            {"appearance", preferences.appearance},
            {"notificationsEnabled", preferences.notificationsEnabled}}},
          {"recoveryNeeded", snapshot.recoveryNeeded},
          {"queuedMessageIDs", snapshot.queuedMessageIDs},
          {"outboxPeers", snapshot.outboxPeers},
          {"reminderPeers", snapshot.reminderPeers},
          {"waitingReminderPeers", snapshot.waitingReminderPeers},
          {"deviceNameUsesFallback", snapshot.deviceNameUsesFallback}};
}

std::string endpointText(const std::optional<velmorine::platform::Endpoint>& endpoint) {
  return endpoint ? endpoint->host_text() + ":" + std::to_string(endpoint->port) : "";
}

// What the runtime holds of its sessions, for tests that count them; on the runtime queue.
json sessionsJSON(VelRuntime& runtime) {
  json sessions = json::array();
  for (const auto& [id, session] : runtime.sessions) {
    const auto& peer = session->peer();
    const auto active = peer ? runtime.active.find(peer->wireID) : runtime.active.end();
    sessions.push_back({{"id", id.to_string()},
                        {"peer", peer ? json(peer->wireID) : json(nullptr)},
                        {"nonce", peer ? json(peer->nonce) : json(nullptr)},
                        {"closed", session->closed()},
                        {"dialled", runtime.outgoingSessions.contains(id)},
                        {"active", active != runtime.active.end() && active->second == id},
                        {"purpose", session->connection()->channel().purpose()},
                        {"queued", session->connection()->queuedBytes()},
                        {"readingPaused", session->connection()->readingPaused()},
                        {"local", endpointText(session->connection()->localEndpoint())},
                        {"remote", endpointText(session->connection()->endpoint())}});
  }
  return {{"event", "sessions"}, {"sessions", sessions}};
}

// The receives the store holds as pending and its received index; on the runtime queue.
json storeJSON(VelRuntime& runtime) {
  json pending = json::array();
  json received = json::array();
  if (runtime.store) {
    const auto& document = runtime.store->document();
    if (document.pendingReceives) {
      for (const auto& [key, value] : *document.pendingReceives) pending.push_back(key);
    }
    for (const auto& entry : document.received) received.push_back(entry.transferID.to_string());
  }
  return {{"event", "store"}, {"pendingReceives", pending}, {"received", received}};
}

std::string failureText(velmorine::transfer::ContentFailure::Case failure) {
  return std::string(velmorine::transfer::rawValue(failure));
}

std::optional<std::string> textField(const json& command, const char* key) {
  const auto found = command.find(key);
  if (found == command.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

class Node {
 public:
  Node(MainQueue& main, std::shared_ptr<VelRuntime> runtime,
       std::shared_ptr<MovableUptimeClock> clock)
      : main_(main), runtime_(std::move(runtime)), clock_(std::move(clock)) {}

  // On the main queue. A command of the wrong shape is reported and skipped.
  void handle(const std::string& line) {
    try {
      run(line);
    } catch (const json::exception& error) {
      emit({{"event", "error"}, {"message", error.what()}, {"line", line}});
    }
  }

  void run(const std::string& line) {
    const json command = json::parse(line, nullptr, false);
    if (!command.is_object() || !command.contains("op") || !command["op"].is_string()) {
      emit({{"event", "error"}, {"message", "not a command"}, {"line", line}});
      return;
    }
    const std::string op = command["op"];
    auto done = [op](json result) {
      return [op, result = std::move(result)] {
        emit({{"event", "completion"}, {"op", op}, {"result", result}});
      };
    };
    auto& runtime = *runtime_;
    if (op == "start") {
      runtime.start();
    } else if (op == "setNetworkEnabled") {
      runtime.setNetworkEnabled(command.value("enabled", true));
    } else if (op == "connectPeer") {
      runtime.connectPeer(textField(command, "peer").value_or(""));
    } else if (op == "sendText") {
      const std::string text = textField(command, "text").value_or("");
      runtime.sendText(
          textField(command, "peer").value_or(""), text, textField(command, "contact"),
          [op, text](std::optional<velmorine::runtime::SendRejection> rejection) {
            emit({{"event", "completion"},
                  {"op", op},
                  {"text", text},
                  {"result", rejection ? json(std::string(velmorine::runtime::rawValue(*rejection)))
                                       : json(nullptr)}});
          });
    } else if (op == "selectConversation") {
      runtime.selectConversation(textField(command, "contact").value_or(""),
                                 command.value("earlier", false));
    } else if (op == "resendMessage") {
      runtime.resendMessage(textField(command, "contact").value_or(""),
                            textField(command, "message").value_or(""));
    } else if (op == "cancelMessage") {
      runtime.cancelMessage(textField(command, "contact").value_or(""),
                            textField(command, "message").value_or(""));
    } else if (op == "clearConversation") {
      runtime.clearConversation(textField(command, "contact"),
                                textField(command, "peer").value_or(""),
                                [done](bool result) { done(result)(); });
    } else if (op == "setPeerBlocked") {
      runtime.setPeerBlocked(textField(command, "peer").value_or(""),
                             command.value("blocked", true));
    } else if (op == "resolveChangedKey") {
      runtime.resolveChangedKey(textField(command, "peer").value_or(""),
                                command.value("keepSeparate", false));
    } else if (op == "verifyPeer") {
      runtime.verifyPeer(textField(command, "peer").value_or(""));
    } else if (op == "configureReminders") {
      runtime.configureReminders();
    } else if (op == "cancelReminder") {
      runtime.cancelReminder(textField(command, "peer").value_or(""));
    } else if (op == "snapshotMessages") {
      snapshotMessages = command.value("messages", true);
    } else if (op == "updatePreferences") {
      runtime.updatePreferences([command](velmorine::store::AppPreferences& preferences) {
        if (auto name = textField(command, "displayName")) preferences.displayName = *name;
        if (auto language = textField(command, "language")) preferences.language = *language;
        if (auto appearance = textField(command, "appearance")) {
          preferences.appearance = *appearance;
        }
        if (command.contains("notificationsEnabled")) {
          preferences.notificationsEnabled = command.value("notificationsEnabled", false);
        }
      });
    } else if (op == "renameDevice") {
      runtime.renameDevice(textField(command, "name"), [done](bool result) { done(result)(); });
    } else if (op == "refreshDeviceName") {
      runtime.refreshDeviceName();
    } else if (op == "resetDevices") {
      runtime.resetDevices([done](bool result) { done(result)(); });
    } else if (op == "hideEndedTransfers") {
      runtime.hideEndedTransfers({textField(command, "peer"), textField(command, "transfer")},
                                 [done](bool result) { done(result)(); });
    } else if (op == "suspend") {
      runtime.suspend();
    } else if (op == "resume") {
      runtime.resume();
    } else if (op == "shutdown") {
      runtime.shutdown(done(true));
    } else if (op == "sessions") {
      // Read on the runtime queue and printed through the main queue, like a snapshot: what
      // follows the line was built after it.
      runtime.queue().async([runtime = runtime_, &main = main_] {
        main.post([sessions = sessionsJSON(*runtime)] { emit(sessions); });
      });
    } else if (op == "offer") {
      offer(command);
    } else if (op == "send") {
      send(command);
    } else if (op == "retry") {
      runtime.retryTransfer(textField(command, "transfer").value_or(""));
    } else if (op == "accept") {
      runtime.acceptTransfer(textField(command, "transfer").value_or(""),
                             textField(command, "destination").value_or(""));
    } else if (op == "decline") {
      runtime.declineTransfer(textField(command, "transfer").value_or(""));
    } else if (op == "cancel") {
      runtime.cancelTransfer(textField(command, "transfer").value_or(""));
    } else if (op == "store") {
      runtime.queue().async([runtime = runtime_, &main = main_] {
        main.post([store = storeJSON(*runtime)] { emit(store); });
      });
    } else if (op == "advanceClock") {
      const double now = clock_->advance(command.value("seconds", 0.0));
      emit({{"event", "completion"}, {"op", op}, {"result", now}});
    } else if (op == "quit") {
      quit();
    } else {
      emit({{"event", "error"}, {"message", "unknown op"}, {"line", line}});
    }
  }

  void release() { runtime_.reset(); }

  // Prepares on a thread of its own (hashing may take a while), offers on the main queue.
  void offer(const json& command) {
    const std::string peer = textField(command, "peer").value_or("");
    auto offerBatch = [this, peer](std::shared_ptr<velmorine::transfer::PreparedBatch> batch) {
      batches_[batch->id().to_string()] = batch;
      runtime_->offerBatch(
          batch, peer,
          [](std::expected<std::string, velmorine::transfer::ContentFailure::Case> result) {
            emit({{"event", "completion"},
                  {"op", "offer"},
                  {"result",
                   result ? json(*result) : json({{"failure", failureText(result.error())}})}});
          });
    };
    if (const auto again = textField(command, "batch")) {
      const auto found = batches_.find(*again);
      if (found == batches_.end()) {
        emit({{"event", "completion"}, {"op", "offer"}, {"result", {{"failure", "unknown"}}}});
        return;
      }
      offerBatch(found->second);
      return;
    }
    prepareThen(command, [offerBatch](Prepared prepared) {
      if (!prepared) {
        emit({{"event", "completion"},
              {"op", "offer"},
              {"result", {{"failure", failureText(prepared.error())}}}});
        return;
      }
      offerBatch(*prepared);
    });
  }

  using Prepared = std::expected<std::shared_ptr<velmorine::transfer::PreparedBatch>,
                                 velmorine::transfer::ContentFailure::Case>;

  // Prepares the command's "paths" on a thread of its own (hashing may take a while); `done`
  // runs on the main queue.
  void prepareThen(const json& command, std::function<void(Prepared)> done) {
    std::vector<velmorine::transfer::ContentUrl> urls;
    for (const auto& path : command.value("paths", json::array())) {
      if (!path.is_string()) continue;
      const std::filesystem::path item = path.get<std::string>();
      urls.push_back(
          velmorine::transfer::ContentUrl::file(item, std::filesystem::is_directory(item)));
    }
    std::thread([this, urls, done = std::move(done)] {
      Prepared prepared;
      try {
        velmorine::transfer::ContentCancellation cancellation;
        prepared = velmorine::transfer::prepareBatch(urls, false, cancellation, {}, nullptr);
      } catch (...) {
        prepared = std::unexpected(velmorine::transfer::contentFailureOf(std::current_exception()));
      }
      main_.post([done, prepared] { done(prepared); });
    }).detach();
  }

  // Prepares on a thread of its own, then hands the batch to the outbox.
  void send(const json& command) {
    const std::string peer = textField(command, "peer").value_or("");
    prepareThen(command, [this, peer](Prepared prepared) {
      if (!prepared) {
        emit({{"event", "completion"},
              {"op", "send"},
              {"transfer", nullptr},
              {"result", {{"failure", failureText(prepared.error())}}}});
        return;
      }
      const std::string id = (*prepared)->id().to_string();
      runtime_->sendFiles(
          *prepared, peer, [id](std::optional<velmorine::transfer::ContentFailure::Case> result) {
            emit({{"event", "completion"},
                  {"op", "send"},
                  {"transfer", id},
                  {"result", result ? json({{"failure", failureText(*result)}}) : json(nullptr)}});
          });
    });
  }

  void quit() {
    if (quitting_) return;
    quitting_ = true;
    runtime_->shutdown([this] {
      emit({{"event", "quit"}});
      main_.stop();
    });
  }

 private:
  MainQueue& main_;
  std::shared_ptr<VelRuntime> runtime_;
  std::shared_ptr<MovableUptimeClock> clock_;
  std::unordered_map<std::string, std::shared_ptr<velmorine::transfer::PreparedBatch>> batches_;
  bool quitting_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  velmorine::protocol::keep_frame_buffers_on_heap();
  if (argc > 2) {
    std::fprintf(stderr, "usage: %s [DATA_HOME]\n", argv[0]);
    return 2;
  }
  // Both the data folder and the keychain follow XDG_DATA_HOME, as they do for the program.
  if (argc == 2 && ::setenv("XDG_DATA_HOME", argv[1], 1) != 0) return 2;

  MainQueue main;
  const auto dataFolder = velmorine::platform::applicationSupportFolder();
  auto keychain = std::make_shared<velmorine::store::SystemIdentityKeychain>(
      velmorine::store::keychainServiceBase() + velmorine::store::kIdentityServiceSuffix,
      velmorine::store::keychainAccessGroup());
  velmorine::runtime::RuntimeEnvironment environment;
  environment.mainQueue = [&main](std::function<void()> work) { main.post(std::move(work)); };
  auto clock = std::make_shared<MovableUptimeClock>();
  environment.uptime = clock;
  if (const char* point = std::getenv("VELMORINE_NODE_KILL_AT"); point && *point) {
    environment.receive.checkpoint = [stopAt = std::string(point)](std::string_view reached) {
      if (reached == stopAt) ::kill(::getpid(), SIGKILL);
    };
  }
  auto sender = velmorine::runtime::sendOnSession;
  auto runtime = VelRuntime::create(
      dataFolder, keychain, std::make_shared<velmorine::reminders::UnconfiguredReminderClient>(),
      velmorine::network::makeDiscoveryService, true, sender, sender, std::move(environment));

  uint64_t snapshots = 0;
  runtime->setOnSnapshot([&snapshots](velmorine::runtime::RuntimeSnapshot snapshot) {
    emit(snapshotJSON(snapshot, ++snapshots, snapshotMessages));
  });
  // Diagnostics come on the runtime queue; through the main queue they keep their place among
  // the snapshots.
  runtime->setOnDiagnostic([&main](std::string code) {
    main.post([code = std::move(code)] { emit({{"event", "diagnostic"}, {"code", code}}); });
  });

  Node node(main, runtime, clock);
  emit({{"event", "node"}, {"pid", ::getpid()}, {"dataFolder", dataFolder.string()}});

  // stdin is read on its own thread; each line is handled on the main queue.
  std::thread reader([&main, &node] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line.empty()) continue;
      main.post([&node, line] { node.handle(line); });
    }
    main.post([&node] { node.quit(); });
  });
  reader.detach();

  main.run();
  // The runtime and its queue go while the process is whole, so that the sanitizers see its
  // end. `exit` leaves main's objects alone: the reader may still sit in getline with them.
  node.release();
  runtime.reset();
  std::fflush(stdout);
  std::exit(0);
}
