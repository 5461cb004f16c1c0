// The import on mounts of its own, each in a private mount namespace: the data folder offered
// as the source through a bind mount, a read-only A at launch, and A filling up mid-copy. Need
// root (CAP_SYS_ADMIN); skip without it.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include "Velmorine/shell/legacy_import_gate.h"
#include "Velmorine/shell/text_lookup.h"
#include "tests/Velmorine/shell/legacy_import_fixture.h"
#include "tests/support/private_mounts.h"

namespace velmorine::shell {
namespace {

using namespace testing;
using velmorine::testing::in_private_mounts;
using velmorine::testing::mount_here;

class LegacyImportMounts : public ::testing::Test {
 protected:
  // Runs `body` in a mount namespace of its own; false, with `why`, without the privilege.
  bool privately(const std::function<void()>& body) { return in_private_mounts(body, why); }
  std::string why;
};

TEST_F(LegacyImportMounts, DataFolderThroughABindMountIsRefused_NeedsRootAndNamespaces) {
  ImportHome home;
  const auto keychain = home.keychain();
  makeDataFolder(home.data(), *keychain);
  velmorine::testing::TemporaryFolder elsewhere;
  const auto mountPoint = elsewhere / "Velmorine";
  fs::create_directories(mountPoint);
  const bool ran = privately([&] {
    ASSERT_EQ(::mount(home.data().c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr), 0);
    const auto before = treeOf(home.data());
    EXPECT_EQ(outcomeOf([&] { stageLegacyImport(mountPoint, home.data(), *keychain); }),
              "invalidSource");
    EXPECT_FALSE(fs::exists(home.pending()));
    EXPECT_TRUE(home.copies().empty());
    EXPECT_EQ(treeOf(home.data()), before);
  });
  if (!ran) GTEST_SKIP() << why;
}

TEST_F(LegacyImportMounts, ReadOnlyDataHomeStopsTheLaunch_NeedsRootAndNamespaces) {
  ImportHome home;
  const bool ran = privately([&] {
    std::string reason;
    ASSERT_TRUE(mount_here("tmpfs", home.root(), "size=16m,mode=0700", 0, reason)) << reason;
    // The identity outlived the data; the keychain stays writable, A does not.
    const auto keychain = home.keychain();
    SourceFolder source(*keychain);
    const auto keychainFolder = home.root() / kKeychainFolderName;
    ASSERT_EQ(::mount(keychainFolder.c_str(), keychainFolder.c_str(), nullptr, MS_BIND, nullptr),
              0);
    ASSERT_EQ(
        ::mount(nullptr, home.root().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
        0);

    auto dialogs = std::make_shared<ScriptedDialogs>();
    LegacyImportContext context;
    context.supported = true;
    context.dataFolder = home.data();
    context.keychain = keychain;
    context.dialogs = dialogs;
    int starts = 0;
    offerLegacyImportAtLaunch([&] { ++starts; }, context);
    EXPECT_EQ(starts, 0);
    ASSERT_EQ(dialogs->alerts.size(), 1u);
    EXPECT_EQ(dialogs->alerts[0].message, localizedString("migration.failed", "system"));
    EXPECT_EQ(dialogs->alerts[0].informativeText, localizedString("migration.invalid", "system"));
    EXPECT_FALSE(fs::exists(home.root() / std::string(kOfferMarkerName)));
  });
  if (!ran) GTEST_SKIP() << why;
}

TEST_F(LegacyImportMounts, FullVolumeMidCopyLeavesNothing_NeedsRootAndNamespaces) {
  ImportHome home;
  const bool ran = privately([&] {
    std::string reason;
    ASSERT_TRUE(mount_here("tmpfs", home.root(), "size=2m,mode=0700", 0, reason)) << reason;
    const auto keychain = home.keychain();
    SourceFolder source(*keychain);
    writeFile(source.path / "Received" / "large.bin", std::string(6 << 20, 'x'));
    std::vector<LegacyImportStep> steps;
    EXPECT_EQ(outcomeOf([&] {
                stageLegacyImport(source.path, home.data(), *keychain,
                                  [&](LegacyImportStep step) { steps.push_back(step); });
              }),
              "errno ENOSPC");
    EXPECT_EQ(steps, std::vector<LegacyImportStep>{LegacyImportStep::copying});
    EXPECT_FALSE(fs::exists(home.pending()));
    EXPECT_TRUE(home.copies().empty());
  });
  if (!ran) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace velmorine::shell
