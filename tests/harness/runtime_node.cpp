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
// by default; a long stream is cheaper to print without) and quit (shut down, then exit; also at
// the end of stdin). Every snapshot, completion and diagnostic leaves as one JSON line on stdout,
// in the order the runtime queue produced them. A sendText completion carries the sent text, so
// that a test can match acceptances to what it sent.

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "Velmorine/network/discovery_service.h"
#include "Velmorine/reminders/unconfigured_reminder_client.h"
#include "Velmorine/runtime/vel_runtime.h"
#include "Velmorine/store/device_identity.h"
#include "Velmorine/store/keychain_service.h"
#include "native/protocol/frame_memory.h"
#include "platform/bundle/bundle.h"
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
      routes.push_back(
          {{"host", route.host}, {"port", route.port}, {"interface", route.interface}});
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
                         {"state", velmorine::transfer::rawValue(transfer.state)}});
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
                        {"local", endpointText(session->connection()->localEndpoint())},
                        {"remote", endpointText(session->connection()->endpoint())}});
  }
  return {{"event", "sessions"}, {"sessions", sessions}};
}

std::optional<std::string> textField(const json& command, const char* key) {
  const auto found = command.find(key);
  if (found == command.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

class Node {
 public:
  Node(MainQueue& main, std::shared_ptr<VelRuntime> runtime)
      : main_(main), runtime_(std::move(runtime)) {}

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
    } else if (op == "quit") {
      quit();
    } else {
      emit({{"event", "error"}, {"message", "unknown op"}, {"line", line}});
    }
  }

  void release() { runtime_.reset(); }

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

  Node node(main, runtime);
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
