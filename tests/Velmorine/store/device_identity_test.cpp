#include "Velmorine/store/device_identity.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "Velmorine/store/local_store.h"
#include "native/secure/ve_identity.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::store {
namespace {

using core::Uuid;
namespace fs = std::filesystem;

// The identity item kept in memory, with failures on demand.
class MemoryIdentityKeychain : public IdentityKeychain {
 public:
  std::optional<std::vector<std::uint8_t>> item;
  std::optional<std::int32_t> loadFailure;
  std::optional<std::int32_t> addFailure;
  int adds = 0;

  std::optional<platform::KeychainData> load() override {
    if (loadFailure) throw LocalStoreError::keychain(*loadFailure);
    if (!item) return std::nullopt;
    return platform::KeychainData(*item);
  }
  void add(std::span<const std::uint8_t> data) override {
    ++adds;
    if (addFailure) throw LocalStoreError::keychain(*addFailure);
    if (item) throw LocalStoreError::keychain(-25299);
    item.emplace(data.begin(), data.end());
  }
};

std::vector<std::uint8_t> item_of(const Uuid& id, std::uint8_t secret_seed) {
  std::vector<std::uint8_t> item(52);
  const std::string_view magic = "VEI1";
  std::copy(magic.begin(), magic.end(), item.begin());
  std::copy(id.bytes().begin(), id.bytes().end(), item.begin() + 4);
  for (std::size_t i = 0; i < 32; ++i) item[20 + i] = static_cast<std::uint8_t>(secret_seed + i);
  return item;
}

Bytes public_key_of(const std::vector<std::uint8_t>& item) {
  auto identity = VEIdentity::withSecret(std::span(item).subspan(20));
  return (*identity)->publicKey();
}

std::string read_text(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

template <typename Call>
std::optional<LocalStoreError> store_error_of(Call call) {
  try {
    call();
  } catch (const LocalStoreError& error) {
    return error;
  }
  return std::nullopt;
}

class DeviceIdentityTest : public ::testing::Test {
 protected:
  testing::TemporaryFolder folder;
  LocalStore store{folder.path()};
  MemoryIdentityKeychain keychain;
  fs::path document() const { return folder / LocalStore::kDocumentName; }
};

TEST_F(DeviceIdentityTest, FirstStartCreatesItemAndStoresPublicHalf) {
  const DeviceIdentity device = store.loadOrCreateIdentity(keychain);
  ASSERT_TRUE(device.identity);
  ASSERT_TRUE(keychain.item);
  const auto& item = *keychain.item;
  ASSERT_EQ(item.size(), 52u);
  EXPECT_EQ(std::string(item.begin(), item.begin() + 4), "VEI1");
  EXPECT_TRUE(std::equal(device.id.bytes().begin(), device.id.bytes().end(), item.begin() + 4));
  EXPECT_EQ(public_key_of(item), device.identity->publicKey());
  ASSERT_TRUE(store.document().identity);
  EXPECT_EQ(store.document().identity->id, device.id);
  EXPECT_EQ(store.document().identity->publicKey.size(), 32u);
  EXPECT_EQ(store.document().identity->publicKey, device.identity->publicKey());
  EXPECT_EQ(readStoreDocument(read_text(document())), store.document());
}

TEST_F(DeviceIdentityTest, LaterStartFindsTheSameIdentityWithoutWriting) {
  const DeviceIdentity first = store.loadOrCreateIdentity(keychain);
  const std::string written = read_text(document());
  const DeviceIdentity again = store.loadOrCreateIdentity(keychain);
  EXPECT_EQ(again.id, first.id);
  EXPECT_EQ(again.identity->publicKey(), first.identity->publicKey());
  EXPECT_EQ(keychain.adds, 1);
  EXPECT_EQ(read_text(document()), written);
}

TEST_F(DeviceIdentityTest, ItemWithoutMetadataIsTakenAndItsMetadataStored) {
  const Uuid id = Uuid::random();
  keychain.item = item_of(id, 40);
  const DeviceIdentity device = store.loadOrCreateIdentity(keychain);
  EXPECT_EQ(device.id, id);
  EXPECT_EQ(keychain.adds, 0);
  EXPECT_EQ(store.document().identity, (IdentityMetadata{id, public_key_of(*keychain.item)}));
}

TEST_F(DeviceIdentityTest, StatesThatAreReportedAndLeftAlone) {
  const Uuid id = Uuid::random();
  const auto good = item_of(id, 1);
  struct Case {
    const char* name;
    std::optional<std::vector<std::uint8_t>> item;
    std::optional<IdentityMetadata> metadata;
    LocalStoreError expected;
  };
  auto short_item = good;
  short_item.pop_back();
  auto long_item = good;
  long_item.push_back(0);
  auto other_magic = good;
  other_magic[3] = '2';
  const std::vector<Case> cases = {
      {"item deleted", std::nullopt, IdentityMetadata{id, public_key_of(good)},
       LocalStoreError::identityMissing()},
      {"other identifier", good, IdentityMetadata{Uuid::random(), public_key_of(good)},
       LocalStoreError::identityMismatch()},
      {"other key", good, IdentityMetadata{id, public_key_of(item_of(id, 2))},
       LocalStoreError::identityMismatch()},
      {"51 bytes", short_item, std::nullopt, LocalStoreError::corrupt()},
      {"53 bytes", long_item, std::nullopt, LocalStoreError::corrupt()},
      {"other magic", other_magic, std::nullopt, LocalStoreError::corrupt()},
      {"empty item", std::vector<std::uint8_t>{}, IdentityMetadata{id, public_key_of(good)},
       LocalStoreError::corrupt()},
  };
  for (const auto& test : cases) {
    testing::TemporaryFolder place;
    LocalStore local(place.path());
    if (test.metadata) local.update([&](StoreDocument& d) { d.identity = test.metadata; });
    MemoryIdentityKeychain items;
    items.item = test.item;
    const StoreDocument before = local.document();
    EXPECT_EQ(store_error_of([&] { local.loadOrCreateIdentity(items); }), test.expected)
        << test.name;
    EXPECT_EQ(items.item, test.item) << test.name;
    EXPECT_EQ(items.adds, 0) << test.name;
    EXPECT_EQ(local.document(), before) << test.name;
  }
}

TEST_F(DeviceIdentityTest, KeychainFailuresCarryTheirStatus) {
  keychain.loadFailure = -25308;
  EXPECT_EQ(store_error_of([&] { store.loadOrCreateIdentity(keychain); }),
            LocalStoreError::keychain(-25308));
  keychain.loadFailure.reset();
  keychain.addFailure = -25299;
  EXPECT_EQ(store_error_of([&] { store.loadOrCreateIdentity(keychain); }),
            LocalStoreError::keychain(-25299));
  EXPECT_FALSE(store.document().identity);
  EXPECT_FALSE(fs::exists(document()));
}

TEST_F(DeviceIdentityTest, ItemAddedBeforeAFailedUpdateIsFoundByTheNextCall) {
  // A folder where the temporary document goes makes the write fail after the add.
  fs::create_directory(folder / "state-v1.json.new");
  EXPECT_THROW(store.loadOrCreateIdentity(keychain), std::system_error);
  ASSERT_TRUE(keychain.item);
  EXPECT_FALSE(store.document().identity);
  fs::remove(folder / "state-v1.json.new");
  const DeviceIdentity device = store.loadOrCreateIdentity(keychain);
  EXPECT_EQ(keychain.adds, 1);
  EXPECT_TRUE(
      std::equal(device.id.bytes().begin(), device.id.bytes().end(), keychain.item->begin() + 4));
  EXPECT_EQ(store.document().identity->id, device.id);
}

TEST(SystemIdentityKeychain, IdentitySurvivesRestartsThroughTheKeychainFile) {
  testing::TemporaryFolder root;
  const platform::Keychain items(root / "keychain");
  const std::string service = "org.example.test.identity";
  DeviceIdentity first;
  {
    LocalStore store(root / "store");
    SystemIdentityKeychain keychain(service, std::nullopt, items);
    first = store.loadOrCreateIdentity(keychain);
    EXPECT_EQ(keychain.service(), service);
  }
  LocalStore store(root / "store");
  SystemIdentityKeychain keychain(service, std::nullopt, items);
  const DeviceIdentity again = store.loadOrCreateIdentity(keychain);
  EXPECT_EQ(again.id, first.id);
  EXPECT_EQ(again.identity->publicKey(), first.identity->publicKey());
  // Adding it again is the duplicate-item status; an item under another group is another item.
  EXPECT_EQ(store_error_of([&] { keychain.add(std::vector<std::uint8_t>(52)); }),
            LocalStoreError::keychain(-25299));
  SystemIdentityKeychain grouped(service, "GROUP", items);
  EXPECT_EQ(grouped.load(), std::nullopt);
}

TEST(SystemIdentityKeychain, DamagedKeychainFileIsAKeychainFailure) {
  testing::TemporaryFolder root;
  fs::create_directories(root / "keychain");
  std::ofstream(root / "keychain" / platform::Keychain::kItemFileName) << "not json";
  SystemIdentityKeychain keychain("s", std::nullopt, platform::Keychain(root / "keychain"));
  EXPECT_EQ(store_error_of([&] { keychain.load(); }),
            LocalStoreError::keychain(static_cast<std::int32_t>(platform::KeychainStatus::decode)));
}

}  // namespace
}  // namespace velmorine::store
