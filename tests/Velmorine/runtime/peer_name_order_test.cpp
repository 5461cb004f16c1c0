#include "Velmorine/runtime/peer_name_order.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

namespace velmorine::runtime {
namespace {

std::vector<RuntimePeer> rowsNamed(const std::vector<std::string>& names) {
  std::vector<RuntimePeer> rows;
  for (size_t index = 0; index < names.size(); ++index) {
    RuntimePeer row;
    row.id = std::to_string(index);
    row.name = names[index];
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> idsOf(const std::vector<RuntimePeer>& rows) {
  std::vector<std::string> ids;
  for (const auto& row : rows) ids.push_back(row.id);
  return ids;
}

// The order follows the system's locale; these tests fix it, as a user's would be.
class PeerNameOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UErrorCode error = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), error);
  }
  void TearDown() override {
    UErrorCode error = U_ZERO_ERROR;
    icu::Locale::setDefault(saved_, error);
  }

 private:
  icu::Locale saved_ = icu::Locale::getDefault();
};

TEST_F(PeerNameOrderTest, SortsWithoutCaseWithNumbersByValueAndKeepsEqualNamesInOrder) {
  PeerNameOrder order;
  // Sorted twice, so that the second pass uses the keys kept from the first.
  for (int pass = 0; pass < 2; ++pass) {
    auto rows = rowsNamed({"peer 10", "Peer 9", "beta", "Alpha", "peer 9", "Peer 9"});
    order.sort(rows);
    EXPECT_EQ(idsOf(rows), (std::vector<std::string>{"3", "2", "1", "4", "5", "0"})) << pass;
  }
}

TEST_F(PeerNameOrderTest, NamesThatAreNotUtf8StillSort) {
  PeerNameOrder order;
  auto rows = rowsNamed({"b", std::string("\xff\xfe", 2), "a"});
  order.sort(rows);
  EXPECT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].name, "a");
}

}  // namespace
}  // namespace velmorine::runtime
