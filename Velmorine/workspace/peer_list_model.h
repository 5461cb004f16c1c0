#pragma once

// The sidebar's peer list as an item model: one row per peer of the snapshot, in its order, or
// one placeholder row while there are none. Applying a snapshot touches only the rows that
// changed, so a peer coming online repaints one row whatever the list's length.

#include <QAbstractListModel>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Velmorine/workspace/peer_row.h"

namespace velmorine::workspace {

class PeerListModel : public QAbstractListModel {
  Q_OBJECT

 public:
  explicit PeerListModel(ViewEnvironment& environment, QObject* parent = nullptr);

  // Brings the rows up to the model's snapshot, unread counts and language.
  void refresh();

  // The row of a contact identifier, or -1.
  int rowOf(const std::string& contactID) const;
  bool showsPlaceholder() const { return peers_.empty(); }

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Row {
    runtime::RuntimePeer peer;
    std::int64_t unread = 0;
    PeerRowContent content;
  };

  std::int64_t unreadOf(const std::string& contactID) const;

  ViewEnvironment& environment_;
  std::vector<Row> peers_;
  SharedNames shared_;
  // What the rows were built with: a change of either rebuilds every row's text.
  std::string language_;
  QString placeholder_;
};

}  // namespace velmorine::workspace
