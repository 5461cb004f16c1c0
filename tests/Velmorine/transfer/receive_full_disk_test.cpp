// Receives on a volume that fills up under them: a small tmpfs in a private mount namespace.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "Velmorine/transfer/atomic_receive.h"
#include "Velmorine/transfer/content_failure.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/Velmorine/transfer/receive_payload.h"
#include "tests/support/private_mounts.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;
using testing::patternBytes;

// Writes a filler file until the volume refuses more.
void fillVolume(const std::filesystem::path& filler) {
  const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const std::vector<std::uint8_t> block(64 << 10, 0xAA);
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  ::close(fd);
}

// Runs `body` with D inside a 4 MiB tmpfs (the filler beside D).
void onASmallVolume(const std::function<void(const std::filesystem::path& mount)>& body) {
  testing::TemporaryFolder folder;
  std::string why;
  const bool ran = testing::in_private_mounts(
      [&] {
        if (!testing::mount_here("tmpfs", folder / "small", "size=4m", 0, why)) return;
        std::filesystem::create_directories(folder / "small/D");
        body(folder / "small");
      },
      why);
  if (!ran || !why.empty()) GTEST_SKIP() << why;
}

std::optional<Case> failureOf(const std::function<void()>& body) {
  try {
    body();
    return std::nullopt;
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
}

TEST(ReceiveOnAFullDisk, TheJournalWriteGivesDiskSpaceAndLeavesNoStage_NeedsRootAndNamespaces) {
  onASmallVolume([](const std::filesystem::path& mount) {
    const testing::Payload payload({{"a.txt", patternBytes(1000)}});
    ReceiveServices services;
    services.checkpoint = [&](std::string_view point) {
      if (point == "init.payload") fillVolume(mount / "filler");
    };
    EXPECT_EQ(failureOf([&] { payload.receiveInto(mount / "D", core::Uuid::random(), services); }),
              Case::diskSpace);
    EXPECT_TRUE(std::filesystem::is_empty(mount / "D"));
  });
}

TEST(ReceiveOnAFullDisk, AChunkAfterTheVolumeFilledGivesDiskSpace_NeedsRootAndNamespaces) {
  onASmallVolume([](const std::filesystem::path& mount) {
    const testing::Payload payload({{"big.bin", patternBytes(2 << 20)}});
    auto receive = payload.receiveInto(mount / "D", core::Uuid::random());
    receive->beginFile(0);
    fillVolume(mount / "filler");
    const auto& bytes = payload.bytes.at(0);
    EXPECT_EQ(failureOf([&] { receive->write(0, 0, std::span(bytes).first(1 << 20)); }),
              Case::diskSpace);
    receive->cancel();
    EXPECT_TRUE(std::filesystem::is_empty(mount / "D"));
  });
}

TEST(ReceiveOnAFullDisk, TooLittleSpaceIsRefusedBeforeTheStage_NeedsRootAndNamespaces) {
  onASmallVolume([](const std::filesystem::path& mount) {
    // 4 MiB less the 1 MiB margin is not enough for 3.5 MiB.
    const testing::Payload payload({{"big.bin", patternBytes((3 << 20) + (1 << 19))}});
    EXPECT_EQ(failureOf([&] { payload.receiveInto(mount / "D", core::Uuid::random()); }),
              Case::diskSpace);
    EXPECT_TRUE(std::filesystem::is_empty(mount / "D"));
  });
}

TEST(ReceiveOnAReadOnlyVolume, IsAnAccessFailure_NeedsRootAndNamespaces) {
  onASmallVolume([](const std::filesystem::path& mount) {
    ASSERT_EQ(::mount(nullptr, mount.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    const testing::Payload payload({{"a.txt", patternBytes(10)}});
    EXPECT_EQ(failureOf([&] { payload.receiveInto(mount / "D", core::Uuid::random()); }),
              Case::access);
  });
}

}  // namespace
}  // namespace velmorine::transfer
