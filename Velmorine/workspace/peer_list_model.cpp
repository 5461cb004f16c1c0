#include "Velmorine/workspace/peer_list_model.h"

#include <algorithm>

namespace velmorine::workspace {

PeerListModel::PeerListModel(ViewEnvironment& environment, QObject* parent)
    : QAbstractListModel(parent), environment_(environment) {
  refresh();
}

std::int64_t PeerListModel::unreadOf(const std::string& contactID) const {
  const auto& unread = environment_.model().unread();
  const auto found = unread.find(contactID);
  return found == unread.end() ? 0 : found->second;
}

void PeerListModel::refresh() {
  const auto& snapshot = environment_.model().snapshot();
  const auto& peers = snapshot.peers;
  const QString placeholder =
      environment_.text(snapshot.enabled ? "peers.searching" : "network.paused");
  const bool languageChanged = environment_.language() != language_;
  language_ = environment_.language();

  const bool sameRows = peers.size() == peers_.size() &&
                        std::equal(peers.begin(), peers.end(), peers_.begin(),
                                   [](const runtime::RuntimePeer& peer, const Row& row) {
                                     return peer.id == row.peer.id;
                                   });
  if (!sameRows) {
    beginResetModel();
    shared_ = SharedNames(peers);
    peers_.clear();
    peers_.reserve(peers.size());
    for (const auto& peer : peers) {
      const auto unread = unreadOf(peer.id);
      peers_.push_back({peer, unread, peerRowContent(peer, unread, shared_, environment_)});
    }
    placeholder_ = placeholder;
    endResetModel();
    return;
  }

  if (peers_.empty()) {
    if (placeholder != placeholder_) {
      placeholder_ = placeholder;
      const auto index = this->index(0);
      Q_EMIT dataChanged(index, index);
    }
    return;
  }

  // Shared names change only with a name.
  const bool namesChanged = !std::equal(
      peers.begin(), peers.end(), peers_.begin(),
      [](const runtime::RuntimePeer& peer, const Row& row) { return peer.name == row.peer.name; });
  if (namesChanged) shared_ = SharedNames(peers);
  bool heightsChanged = false;
  for (std::size_t i = 0; i < peers.size(); ++i) {
    Row& row = peers_[i];
    const auto unread = unreadOf(peers[i].id);
    if (!languageChanged && !namesChanged && row.unread == unread && row.peer == peers[i]) continue;
    auto content = peerRowContent(peers[i], unread, shared_, environment_);
    if (!languageChanged && row.unread == unread && row.peer == peers[i] &&
        content.disambiguation == row.content.disambiguation) {
      continue;
    }
    heightsChanged |= content.disambiguation.has_value() != row.content.disambiguation.has_value();
    row.peer = peers[i];
    row.unread = unread;
    row.content = std::move(content);
    const auto index = this->index(static_cast<int>(i));
    Q_EMIT dataChanged(index, index);
  }
  // A row that gains or loses its second line changes height: the list lays out again.
  if (heightsChanged) {
    Q_EMIT layoutAboutToBeChanged();
    Q_EMIT layoutChanged();
  }
}

int PeerListModel::rowOf(const std::string& contactID) const {
  for (std::size_t i = 0; i < peers_.size(); ++i) {
    if (peers_[i].peer.id == contactID) return static_cast<int>(i);
  }
  return -1;
}

int PeerListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return peers_.empty() ? 1 : static_cast<int>(peers_.size());
}

QVariant PeerListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) return {};
  if (peers_.empty()) {
    switch (role) {
      case Qt::DisplayRole:
      case Qt::AccessibleTextRole:
        return placeholder_;
      case kPlaceholderRole:
        return true;
      case kPeerIDRole:
        return QString();
      default:
        return {};
    }
  }
  const Row& row = peers_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      return row.content.name;
    case Qt::AccessibleTextRole:
      return row.content.accessibleText;
    case Qt::ToolTipRole:
      return {};
    case kPeerIDRole:
      return QString::fromStdString(row.peer.id);
    case kPeerContentRole:
      return QVariant::fromValue(row.content);
    case kPlaceholderRole:
      return false;
    default:
      return {};
  }
}

Qt::ItemFlags PeerListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  if (peers_.empty()) return Qt::ItemIsEnabled;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

}  // namespace velmorine::workspace
