#include "Velmorine/reminders/reminder_outbox.h"

#include <utility>

namespace velmorine::reminders {

namespace {

void run(const std::function<void()>& closure) {
  if (closure) closure();
}

}  // namespace

void ReminderOutbox::file(Item item) {
  std::string id = item.id;
  Filed filed{std::move(item), nextSerial_++};
  std::optional<Item> replaced = take(id);
  items_.emplace(std::move(id), std::move(filed));
  if (replaced) run(replaced->reject);
}

std::vector<std::string> ReminderOutbox::waitingPeers() const {
  std::vector<std::string> peers;
  peers.reserve(items_.size());
  for (const auto& [id, filed] : items_) peers.push_back(id);
  return peers;
}

const ReminderOutbox::Item* ReminderOutbox::item(const std::string& peerID) const {
  const auto found = items_.find(peerID);
  return found == items_.end() ? nullptr : &found->second.item;
}

std::optional<ReminderOutbox::Item> ReminderOutbox::take(const std::string& peerID) {
  auto found = items_.find(peerID);
  if (found == items_.end()) return std::nullopt;
  Item item = std::move(found->second.item);
  items_.erase(found);
  return item;
}

void ReminderOutbox::resolve(const network::AuthenticatedPeer& peer, double now) {
  std::optional<Item> item = take(peer.wireID);
  if (!item) return;
  if (now < item->deadline && peer.contactID == item->contact && peer.publicKey == item->key) {
    run(item->send);
  } else {
    run(item->reject);
  }
}

void ReminderOutbox::reject(const std::string& peerID, const std::optional<std::string>& contact) {
  const auto found = items_.find(peerID);
  if (found == items_.end()) return;
  if (contact && *contact != found->second.item.contact) return;
  std::optional<Item> item = take(peerID);
  run(item->reject);
}

void ReminderOutbox::expire(double now) {
  // The items as they stand now: one filed by a closure during the walk waits for the next.
  std::vector<std::pair<std::string, uint64_t>> present;
  present.reserve(items_.size());
  for (const auto& [id, filed] : items_) present.emplace_back(id, filed.serial);
  for (const auto& [id, serial] : present) {
    const auto found = items_.find(id);
    if (found == items_.end() || found->second.serial != serial) continue;
    if (found->second.item.deadline > now) continue;
    std::optional<Item> item = take(id);
    run(item->reject);
  }
}

void ReminderOutbox::rejectAll() {
  std::map<std::string, Filed> ended;
  ended.swap(items_);
  for (auto& [id, filed] : ended) run(filed.item.reject);
}

}  // namespace velmorine::reminders
