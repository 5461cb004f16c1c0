#include "platform/keychain/keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "platform/files/durable_file.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::platform {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> copy_of(const KeychainData& data) {
  return {data.bytes().begin(), data.bytes().end()};
}

class KeychainTest : public ::testing::Test {
 protected:
  testing::TemporaryFolder folder;
  Keychain keychain{folder / "keychain"};
  KeychainItemAddress identity{"org.example.identity", "identity-v1", std::nullopt};
};

TEST_F(KeychainTest, MissingItemIsNotFoundAndCreatesNothingToRead) {
  const auto result = keychain.load(identity);
  EXPECT_EQ(result.status, KeychainStatus::itemNotFound);
  EXPECT_EQ(result.data.size(), 0u);
}

TEST_F(KeychainTest, AddedItemLoadsBackInAnotherKeychainObject) {
  std::vector<std::uint8_t> data(52);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(keychain.add(identity, data), KeychainStatus::success);
  const auto result = Keychain(folder / "keychain").load(identity);
  ASSERT_EQ(result.status, KeychainStatus::success);
  EXPECT_EQ(copy_of(result.data), data);

  struct stat status {};
  ASSERT_EQ(::stat((folder / "keychain").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat((folder / "keychain" / Keychain::kItemFileName).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST_F(KeychainTest, SecondAddOfSameAddressIsDuplicateAndKeepsFirstData) {
  ASSERT_EQ(keychain.add(identity, bytes_of("first")), KeychainStatus::success);
  EXPECT_EQ(keychain.add(identity, bytes_of("second")), KeychainStatus::duplicateItem);
  EXPECT_EQ(copy_of(keychain.load(identity).data), bytes_of("first"));
}

TEST_F(KeychainTest, ServiceAccountAndGroupEachTellItemsApart) {
  const std::vector<KeychainItemAddress> addresses = {
      identity,
      {"org.example.notifications", "identity-v1", std::nullopt},
      {"org.example.identity", "other-account", std::nullopt},
      {"org.example.identity", "identity-v1", "GROUP.shared"},
      {"org.example.identity", "identity-v1", "GROUP.other"},
  };
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    ASSERT_EQ(keychain.add(addresses[i], std::vector<std::uint8_t>{static_cast<std::uint8_t>(i)}),
              KeychainStatus::success)
        << i;
  }
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const auto result = keychain.load(addresses[i]);
    ASSERT_EQ(result.status, KeychainStatus::success) << i;
    EXPECT_EQ(copy_of(result.data), std::vector<std::uint8_t>{static_cast<std::uint8_t>(i)}) << i;
  }
}

TEST_F(KeychainTest, DamagedItemFileIsReportedAndNeverOverwritten) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> damage;
  };
  const std::vector<Case> cases = {
      {"not JSON", [](const auto& file) { std::ofstream(file) << "{\"version\":1,\"items\":["; }},
      {"other version",
       [](const auto& file) { std::ofstream(file) << R"({"version":2,"items":[]})"; }},
      {"item without data",
       [](const auto& file) {
         std::ofstream(file) << R"({"version":1,"items":[{"service":"s","account":"a"}]})";
       }},
      {"data not hex",
       [](const auto& file) {
         std::ofstream(file)
             << R"({"version":1,"items":[{"service":"org.example.identity","account":"identity-v1","data":"zz"}]})";
       }},
      {"a folder", [](const auto& file) { std::filesystem::create_directory(file); }},
      {"a symbolic link",
       [](const auto& file) {
         std::ofstream(file.string() + ".target") << R"({"version":1,"items":[]})";
         std::filesystem::create_symlink(file.string() + ".target", file);
       }},
      {"too large",
       [](const auto& file) {
         std::ofstream stream(file);
         stream << R"({"version":1,"items":[]})" << std::string(Keychain::kMaximumFileSize, ' ');
       }},
  };
  for (const auto& test : cases) {
    testing::TemporaryFolder root;
    create_private_folders(root.path());
    const auto file = root / Keychain::kItemFileName;
    test.damage(file);
    const auto before = std::filesystem::symlink_status(file).type();
    const Keychain damaged(root.path());
    const auto load = damaged.load(identity);
    EXPECT_NE(load.status, KeychainStatus::success) << test.name;
    EXPECT_NE(load.status, KeychainStatus::itemNotFound) << test.name;
    EXPECT_NE(damaged.add(identity, bytes_of("new")), KeychainStatus::success) << test.name;
    EXPECT_NE(damaged.update(identity, bytes_of("new")), KeychainStatus::success) << test.name;
    EXPECT_EQ(std::filesystem::symlink_status(file).type(), before) << test.name;
  }
}

TEST_F(KeychainTest, UpdateReplacesOnlyThatItemsData) {
  const KeychainItemAddress reminders{"org.example.notifications", "reminders-v1", std::nullopt};
  ASSERT_EQ(keychain.add(identity, bytes_of("identity")), KeychainStatus::success);
  ASSERT_EQ(keychain.add(reminders, bytes_of("first")), KeychainStatus::success);
  ASSERT_EQ(keychain.update(reminders, bytes_of("second, longer")), KeychainStatus::success);
  EXPECT_EQ(copy_of(keychain.load(reminders).data), bytes_of("second, longer"));
  EXPECT_EQ(copy_of(keychain.load(identity).data), bytes_of("identity"));
  ASSERT_EQ(keychain.update(reminders, {}), KeychainStatus::success);
  EXPECT_EQ(keychain.load(reminders).status, KeychainStatus::success);
  EXPECT_EQ(keychain.load(reminders).data.size(), 0u);
}

TEST_F(KeychainTest, UpdateOfAMissingItemAddsNothing) {
  EXPECT_EQ(keychain.update(identity, bytes_of("x")), KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain.load(identity).status, KeychainStatus::itemNotFound);
  ASSERT_EQ(keychain.add(identity, bytes_of("x")), KeychainStatus::success);
  // The group is part of the address: an item without one is not the grouped item.
  EXPECT_EQ(keychain.update({identity.service, identity.account, "GROUP.shared"}, bytes_of("y")),
            KeychainStatus::itemNotFound);
  EXPECT_EQ(copy_of(keychain.load(identity).data), bytes_of("x"));
}

TEST_F(KeychainTest, UpdatesAndAddsFromProcessesLoseNothing) {
  // Each process rewrites an item of its own many times and adds one more; no rewrite may
  // bring back a file that misses another process's change.
  constexpr int kProcesses = 4;
  constexpr int kRounds = 25;
  for (int i = 0; i < kProcesses; ++i) {
    ASSERT_EQ(
        keychain.add({"org.example.notifications", "state-" + std::to_string(i), std::nullopt},
                     bytes_of("0")),
        KeychainStatus::success);
  }
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const KeychainItemAddress mine{"org.example.notifications", "state-" + std::to_string(i),
                                     std::nullopt};
      bool ok = true;
      for (int round = 1; round <= kRounds; ++round) {
        ok =
            ok && keychain.update(mine, bytes_of(std::to_string(round))) == KeychainStatus::success;
      }
      ok = ok && keychain.add({"org.example.identity", "added-" + std::to_string(i), std::nullopt},
                              bytes_of("added")) == KeychainStatus::success;
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int i = 0; i < kProcesses; ++i) {
    EXPECT_EQ(
        copy_of(
            keychain.load({"org.example.notifications", "state-" + std::to_string(i), std::nullopt})
                .data),
        bytes_of(std::to_string(kRounds)))
        << i;
    EXPECT_EQ(
        keychain.load({"org.example.identity", "added-" + std::to_string(i), std::nullopt}).status,
        KeychainStatus::success)
        << i;
  }
}

TEST_F(KeychainTest, ConcurrentAddsFromProcessesAreAllKept) {
  constexpr int kProcesses = 6;
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const KeychainItemAddress address{"org.example.identity", "account-" + std::to_string(i),
                                        std::nullopt};
      const bool added =
          keychain.add(address, std::vector<std::uint8_t>{static_cast<std::uint8_t>(i)}) ==
          KeychainStatus::success;
      ::_exit(added ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int i = 0; i < kProcesses; ++i) {
    const auto result =
        keychain.load({"org.example.identity", "account-" + std::to_string(i), std::nullopt});
    ASSERT_EQ(result.status, KeychainStatus::success) << i;
    EXPECT_EQ(copy_of(result.data), std::vector<std::uint8_t>{static_cast<std::uint8_t>(i)});
  }
}

TEST(KeychainRoot, FollowsXdgDataHomeElseHome) {
  EXPECT_EQ(Keychain::userRoot("/data", "/home/u", "/home/db"), "/data/velmorine-keychain");
  EXPECT_EQ(Keychain::userRoot(nullptr, "/home/u", "/home/db"),
            "/home/u/.local/share/velmorine-keychain");
  EXPECT_EQ(Keychain::userRoot("relative", "/home/u", "/home/db"),
            "/home/u/.local/share/velmorine-keychain");
  // Never relative to wherever the program was started.
  EXPECT_EQ(Keychain::userRoot(nullptr, "relative", "/home/db"),
            "/home/db/.local/share/velmorine-keychain");
  EXPECT_EQ(Keychain::userRoot(nullptr, nullptr, "/home/db"),
            "/home/db/.local/share/velmorine-keychain");
  EXPECT_THROW(Keychain::userRoot(nullptr, nullptr, std::nullopt), std::runtime_error);
}

}  // namespace
}  // namespace velmorine::platform
