#include "Velmorine/workspace/peer_row.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include "Velmorine/workspace/peer_list_model.h"
#include "Velmorine/workspace/peer_status.h"
#include "tests/Velmorine/workspace/view_fixture.h"

namespace velmorine::workspace::testing {
namespace {

struct StatusCase {
  const char* name;
  bool blocked, historical, keyChanged, online;
  std::string_view key;
};

class PeerStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(PeerStatus, FirstMatchingRuleWins) {
  runtime::RuntimePeer peer;
  peer.blocked = GetParam().blocked;
  peer.historical = GetParam().historical;
  peer.keyChanged = GetParam().keyChanged;
  peer.online = GetParam().online;
  EXPECT_EQ(peerStatusKey(peer), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PeerStatus,
    ::testing::Values(
        StatusCase{"blockedOverridesAll", true, true, true, true, "security.blocked"},
        StatusCase{"blockedOffline", true, false, false, false, "security.blocked"},
        StatusCase{"historyWithChangedKey", false, true, true, true, "peers.history"},
        StatusCase{"historyOnlineKeySame", false, true, false, true, "peers.online"},
        StatusCase{"historyOfflineKeySame", false, true, false, false, "peers.offline"},
        StatusCase{"changedKeyNotHistorical", false, false, true, false, "peers.offline"},
        StatusCase{"online", false, false, false, true, "peers.online"},
        StatusCase{"offline", false, false, false, false, "peers.offline"}),
    [](const auto& param) { return std::string(param.param.name); });

runtime::RuntimePeer named(std::string id, std::string name, std::string wireID,
                           std::string platform = "linux") {
  auto row = peer(std::move(id));
  row.name = std::move(name);
  row.wireID = std::move(wireID);
  row.platform = std::move(platform);
  return row;
}

constexpr const char* kFirstUUID = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";
constexpr const char* kSecondUUID = "a1b2c3d4-0000-4000-8000-000000000001";

TEST(Disambiguation, NamesSharedCaseInsensitivelyShowPlatformAndIdentifier) {
  const std::vector peers = {named("a", "Office", kFirstUUID),
                             named("b", "OFFICE", kSecondUUID, "ios"),
                             named("c", "Kitchen", kFirstUUID)};
  const SharedNames shared(peers);
  EXPECT_EQ(disambiguationLine(peers[0], shared), QStringLiteral("linux \u00b7 3F2504"));
  EXPECT_EQ(disambiguationLine(peers[1], shared), QStringLiteral("ios \u00b7 A1B2C3"));
  EXPECT_EQ(disambiguationLine(peers[2], shared), std::nullopt);
}

TEST(Disambiguation, NeedsAUUIDWireIdentifier) {
  const std::vector peers = {named("a", "Office", "not-a-uuid"), named("b", "Office", kSecondUUID)};
  const SharedNames shared(peers);
  EXPECT_EQ(disambiguationLine(peers[0], shared), std::nullopt);
  EXPECT_TRUE(disambiguationLine(peers[1], shared).has_value());
}

TEST(Disambiguation, FoldsCaseBeyondASCII) {
  const std::vector peers = {named("a", "Straße", kFirstUUID), named("b", "STRASSE", kSecondUUID),
                             named("c", "Ärzte", kFirstUUID), named("d", "äRZTE", kSecondUUID)};
  const SharedNames shared(peers);
  EXPECT_TRUE(disambiguationLine(peers[2], shared).has_value());
  EXPECT_TRUE(disambiguationLine(peers[3], shared).has_value());
}

class PeerRowContentTest : public ViewFixture {
 protected:
  PeerRowContentTest() : ViewFixture(markedLookup()) {}
};

TEST_F(PeerRowContentTest, BlockedPeersShowARaisedHandWhateverTheirPlatform) {
  auto blocked = named("a", "Office", kFirstUUID, "macos");
  blocked.blocked = true;
  EXPECT_EQ(peerRowContent(blocked, 0, SharedNames(), *environment).symbol, "hand.raised");
  blocked.blocked = false;
  EXPECT_EQ(peerRowContent(blocked, 0, SharedNames(), *environment).symbol, "desktopcomputer");
}

TEST_F(PeerRowContentTest, BadgeAndAccessibleTextMergeTheRow) {
  const auto row = named("a", "Office", kFirstUUID);
  const auto none = peerRowContent(row, 0, SharedNames(), *environment);
  EXPECT_EQ(none.unreadLabel, std::nullopt);
  EXPECT_EQ(none.accessibleText, QStringLiteral("Office, [en] Online"));

  const std::vector peers = {row, named("b", "office", kSecondUUID)};
  const auto many = peerRowContent(row, 1000, SharedNames(peers), *environment);
  EXPECT_EQ(many.unreadLabel, QStringLiteral("[en] Unread messages: 1000"));
  EXPECT_EQ(many.accessibleText,
            QStringLiteral("Office, linux \u00b7 3F2504, [en] Online, [en] Unread messages: 1000"));
}

class PeerListModelTest : public ViewFixture {
 protected:
  PeerListModelTest() : ViewFixture(markedLookup()) {}
};

TEST_F(PeerListModelTest, WithoutPeersOneRowThatCannotBeSelectedSaysWhy) {
  PeerListModel list(*environment);
  ASSERT_EQ(list.rowCount(), 1);
  EXPECT_EQ(list.index(0).data().toString(), QStringLiteral("[en] Networking is paused"));
  EXPECT_FALSE(list.flags(list.index(0)) & Qt::ItemIsSelectable);
  runtime::RuntimeSnapshot searching;
  searching.enabled = true;
  model->apply(searching);
  list.refresh();
  EXPECT_EQ(list.index(0).data().toString(),
            QStringLiteral("[en] Looking for devices on your network"));
}

TEST_F(PeerListModelTest, APeerComingOnlineChangesOnlyItsRow) {
  std::vector<runtime::RuntimePeer> peers;
  for (int i = 0; i < 20; ++i) peers.push_back(peer("p" + std::to_string(i), false));
  applyPeers(peers);
  PeerListModel list(*environment);
  ASSERT_EQ(list.rowCount(), 20);
  QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
  QSignalSpy reset(&list, &QAbstractItemModel::modelReset);
  QSignalSpy layout(&list, &QAbstractItemModel::layoutChanged);
  peers[7].online = true;
  applyPeers(peers);
  list.refresh();
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 7);
  EXPECT_EQ(reset.count(), 0);
  EXPECT_EQ(layout.count(), 0);
  EXPECT_EQ(list.index(7).data(kPeerContentRole).value<PeerRowContent>().status,
            QStringLiteral("[en] Online"));

  // An unread count is a change of its row too.
  model->setUnread({{"p3", 2}});
  list.refresh();
  EXPECT_EQ(changed.count(), 2);
  EXPECT_EQ(changed[1][0].value<QModelIndex>().row(), 3);
}

TEST_F(PeerListModelTest, ANameBecomingSharedRelaysTheListOutAndALanguageRetitlesEveryRow) {
  std::vector peers = {named("a", "Office", kFirstUUID), named("b", "Kitchen", kSecondUUID)};
  applyPeers(peers);
  PeerListModel list(*environment);
  QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
  QSignalSpy layout(&list, &QAbstractItemModel::layoutChanged);
  peers[1].name = "OFFICE";
  applyPeers(peers);
  list.refresh();
  EXPECT_EQ(changed.count(), 2);
  EXPECT_EQ(layout.count(), 1);
  EXPECT_TRUE(list.index(0).data(kPeerContentRole).value<PeerRowContent>().disambiguation);

  switchLanguage("ja");
  list.refresh();
  EXPECT_EQ(changed.count(), 4);
  EXPECT_EQ(list.index(0).data(kPeerContentRole).value<PeerRowContent>().status,
            QStringLiteral("[ja] Online"));
  EXPECT_EQ(list.index(0).data(Qt::AccessibleTextRole).toString(),
            QStringLiteral("Office, linux \u00b7 3F2504, [ja] Online"));
}

}  // namespace
}  // namespace velmorine::workspace::testing
