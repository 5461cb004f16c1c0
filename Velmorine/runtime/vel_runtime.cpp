#include "Velmorine/runtime/vel_runtime.h"

#include <sys/random.h>

#include <cctype>
#include <thread>
#include <utility>

#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/runtime/runtime_text.h"
#include "native/product/product_identifier.h"
#include "platform/bundle/bundle.h"

namespace velmorine::runtime {

namespace {

bool systemRandom(std::span<uint8_t> buffer) {
  size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = ::getrandom(buffer.data() + filled, buffer.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

std::string historyKey(std::string_view kind, std::string_view contact, std::string_view id) {
  std::string key;
  key.reserve(kind.size() + contact.size() + id.size() + 2);
  key += kind;
  key += ':';
  appendLowered(key, contact);
  key += ':';
  appendLowered(key, id);
  return key;
}

std::string messageKey(const RuntimeMessage& message) {
  return historyKey("message", message.contactID, message.id);
}

std::string transferKey(const transfer::RuntimeTransfer& transfer) {
  return historyKey("transfer", transfer.contactID, transfer.id);
}

bool sendOnSession(const std::shared_ptr<network::SecurePeerSession>& session,
                   const VEFrame& frame) {
  return session && session->send(frame);
}

std::shared_ptr<VelRuntime> VelRuntime::create(std::filesystem::path directory,
                                               std::shared_ptr<store::IdentityKeychain> keychain,
                                               std::shared_ptr<reminders::ReminderClient> reminders,
                                               network::DiscoveryFactory makeDiscovery,
                                               bool durableReceipts, FrameSender acknowledgeChat,
                                               FrameSender acknowledgeCommit,
                                               RuntimeEnvironment environment) {
  std::shared_ptr<VelRuntime> runtime(
      new VelRuntime(std::move(directory), std::move(keychain), std::move(reminders),
                     std::move(makeDiscovery), durableReceipts, std::move(acknowledgeChat),
                     std::move(acknowledgeCommit), std::move(environment)));
  // The budget may free room on any thread; it only hops onto the queue.
  std::weak_ptr<VelRuntime> weak = runtime;
  runtime->networkBudget->setOnAvailable([weak] {
    if (auto strong = weak.lock()) strong->outputBudgetAvailable();
  });
  return runtime;
}

VelRuntime::VelRuntime(std::filesystem::path directory,
                       std::shared_ptr<store::IdentityKeychain> keychain,
                       std::shared_ptr<reminders::ReminderClient> reminders,
                       network::DiscoveryFactory makeDiscovery, bool durableReceipts,
                       FrameSender acknowledgeChat, FrameSender acknowledgeCommit,
                       RuntimeEnvironment environment)
    : environment_(std::move(environment)),
      queue_(
          std::make_unique<platform::SerialQueue>(product_scoped("runtime"), environment_.uptime)),
      directoryURL(std::move(directory)),
      keychain(std::move(keychain)),
      durableReceipts(durableReceipts),
      acknowledgeChat(std::move(acknowledgeChat)),
      acknowledgeCommit(std::move(acknowledgeCommit)),
      makeDiscovery(std::move(makeDiscovery)),
      networkBudget(std::make_shared<network::NetworkOutputBudget>()),
      reminders(std::move(reminders)) {
  if (!environment_.computerName) {
    environment_.computerName = [] { return platform::computerName(); };
  }
  if (!environment_.random) environment_.random = systemRandom;
  if (!environment_.uptime) environment_.uptime = platform::system_uptime_clock();
  // A full directory makes room by forgetting a device that is neither trusted nor connected,
  // so forged announcements cannot push out the devices the user has.
  this->directory.isProtected = [this](const std::string& deviceID) {
    if (active.contains(deviceID) || connecting.contains(deviceID) ||
        hasOpenAuthenticatedSession(deviceID)) {
      return true;
    }
    const auto* index = trustIndex();
    if (!index) return false;
    return store->document().trust.contains(deviceID) || !index->claimsOf(deviceID).empty();
  };
}

VelRuntime::~VelRuntime() {
  if (!queue_) return;
  // What lives on the queue is torn down on it. Nothing can call into this runtime any more:
  // every callback holds it weakly.
  auto teardown = [this] {
    if (listener) listener->cancel();
    if (timer) timer->cancel();
    if (discovery) discovery->stop();
    sessions.clear();
    discovery.reset();
    timer.reset();
    listener.reset();
    transfers_.reset();
  };
  if (queue_->is_current()) {
    // The last owner let go on the queue itself (a weakly held closure that won the race); a
    // queue cannot be stopped from its own thread, so another thread does it.
    teardown();
    std::thread([queue = std::move(queue_)]() mutable { queue.reset(); }).detach();
  } else {
    queue_->sync(teardown);
  }
}

void VelRuntime::onQueue(std::function<void(VelRuntime&)> body) {
  queue_->async([self = shared_from_this(), body = std::move(body)] { body(*self); });
}

void VelRuntime::onQueueWeakly(std::function<void(VelRuntime&)> body) {
  queue_->async([weak = weakSelf(), body = std::move(body)] {
    if (auto self = weak.lock()) body(*self);
  });
}

void VelRuntime::onMain(std::function<void()> work) const {
  if (environment_.mainQueue) environment_.mainQueue(std::move(work));
}

void VelRuntime::diagnose(const std::string& code) const {
  if (onDiagnostic) onDiagnostic(code);
}

double VelRuntime::wallSeconds() const {
  const std::chrono::duration<double> since = environment_.wallClock().time_since_epoch();
  return since.count();
}

void VelRuntime::setOnSnapshot(std::function<void(RuntimeSnapshot)> handler) {
  queue_->sync([&] { onSnapshot = std::move(handler); });
}

void VelRuntime::setOnDiagnostic(std::function<void(std::string)> handler) {
  queue_->sync([&] { onDiagnostic = std::move(handler); });
}

void VelRuntime::start() {
  onQueue([](VelRuntime& self) { self.openStore(); });
}

void VelRuntime::suspend() {
  onQueue([](VelRuntime& self) { self.suspendOnQueue(); });
}

void VelRuntime::resume() {
  onQueue([](VelRuntime& self) { self.resumeOnQueue(); });
}

void VelRuntime::shutdown(std::function<void()> completion) {
  onQueue([completion = std::move(completion)](VelRuntime& self) mutable {
    self.shutdownOnQueue(std::move(completion));
  });
}

void VelRuntime::connectPeer(std::string peerID) {
  onQueueWeakly([peerID = std::move(peerID)](VelRuntime& self) { self.startRouteAttempt(peerID); });
}

void VelRuntime::sendText(std::string peerID, std::string text,
                          std::optional<std::string> contactID,
                          std::function<void(std::optional<SendRejection>)> completion) {
  onQueue([peerID = std::move(peerID), text = std::move(text), contactID = std::move(contactID),
           completion = std::move(completion)](VelRuntime& self) {
    const auto rejection = self.sendTextOnQueue(peerID, text, contactID);
    if (completion) self.onMain([completion, rejection] { completion(rejection); });
  });
}

void VelRuntime::selectConversation(std::string contactID, bool earlier) {
  onQueue([contactID = std::move(contactID), earlier](VelRuntime& self) {
    self.loadConversationOnQueue(contactID, earlier);
  });
}

void VelRuntime::setNetworkEnabled(bool value) {
  onQueue([value](VelRuntime& self) { self.setNetworkEnabledOnQueue(value); });
}

void VelRuntime::updatePreferences(std::function<void(store::AppPreferences&)> change) {
  onQueue(
      [change = std::move(change)](VelRuntime& self) { self.updatePreferencesOnQueue(change); });
}

void VelRuntime::refreshDeviceName() {
  onQueue([](VelRuntime& self) { self.refreshDeviceNameOnQueue(); });
}

void VelRuntime::renameDevice(std::optional<std::string> name, Completion completion) {
  onQueue([name = std::move(name), completion = std::move(completion)](VelRuntime& self) {
    const bool done = self.renameDeviceOnQueue(name);
    if (completion) self.onMain([completion, done] { completion(done); });
  });
}

void VelRuntime::hideEndedTransfers(TransferSelection selection, Completion completion) {
  onQueue([selection = std::move(selection), completion = std::move(completion)](VelRuntime& self) {
    const bool done = self.hideEndedTransfersOnQueue(selection);
    if (completion) self.onMain([completion, done] { completion(done); });
  });
}

void VelRuntime::resetDevices(Completion completion) {
  onQueue([completion = std::move(completion)](VelRuntime& self) {
    const bool done = self.resetDevicesOnQueue();
    if (completion) self.onMain([completion, done] { completion(done); });
  });
}

}  // namespace velmorine::runtime
