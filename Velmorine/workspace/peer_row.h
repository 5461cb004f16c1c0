#pragma once

// One peer of the sidebar's list: its platform symbol (a raised hand when blocked), its name, a
// line that tells apart peers sharing a name, its status, and an unread badge. The row is one
// list item painted by PeerRowDelegate, with one accessible text for all of it.

#include <QSet>
#include <QString>
#include <QStyledItemDelegate>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/runtime/runtime_snapshot.h"
#include "Velmorine/workspace/view_environment.h"

namespace velmorine::workspace {

// The names that more than one peer of a snapshot carries, compared case-folded; made once per
// snapshot, not once per row.
class SharedNames {
 public:
  SharedNames() = default;
  explicit SharedNames(const std::vector<runtime::RuntimePeer>& peers);
  bool contains(const std::string& name) const;

 private:
  QSet<QString> shared_;
};

// "<platform> · <first six hexadecimal digits of the identifier, upper case>" when the peer's
// name is shared and its wire identifier is a UUID; none otherwise.
std::optional<QString> disambiguationLine(const runtime::RuntimePeer& peer,
                                          const SharedNames& shared);

struct PeerRowContent {
  std::string symbol;
  QString name;
  std::optional<QString> disambiguation;
  QString status;
  std::int64_t unread = 0;
  // "peers.unread: <count>" when there is a badge.
  std::optional<QString> unreadLabel;
  // Everything the row shows, for assistive technology.
  QString accessibleText;
};

PeerRowContent peerRowContent(const runtime::RuntimePeer& peer, std::int64_t unread,
                              const SharedNames& shared, const ViewEnvironment& environment);

// Data roles of the peer list's items.
enum PeerListRole {
  kPeerIDRole = Qt::UserRole + 1,  // the contact identifier, empty for the placeholder row
  kPeerContentRole,                // a PeerRowContent
  kPlaceholderRole,                // true for the row shown while there are no peers
};

class PeerRowDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  explicit PeerRowDelegate(QObject* parent = nullptr);

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace velmorine::workspace

Q_DECLARE_METATYPE(velmorine::workspace::PeerRowContent)
