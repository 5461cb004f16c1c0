#include "Velmorine/transfer/background_digest.h"

#include <gtest/gtest.h>

#include "tests/Velmorine/transfer/content_files.h"

namespace velmorine::transfer {
namespace {

TEST(BackgroundDigest, PiecesHashedBesideTheCallerMatchOneShot) {
  const auto bytes = testing::patternBytes(3 << 20, 5);
  BackgroundDigest digest;
  digest.finish();  // nothing in flight: returns at once
  const std::span<const std::uint8_t> all(bytes);
  digest.start(all.first(1 << 20));
  digest.finish();
  digest.update(all.subspan(1 << 20, 100));
  digest.start(all.subspan((1 << 20) + 100));
  digest.finish();
  EXPECT_EQ(digest.hexOfCopy(), testing::sha256Of(bytes));
  digest.reset();
  EXPECT_EQ(digest.hexOfCopy(), testing::sha256Of({}));
}

}  // namespace
}  // namespace velmorine::transfer
