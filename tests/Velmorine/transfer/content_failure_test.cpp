#include "Velmorine/transfer/content_failure.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace velmorine::transfer {
namespace {

TEST(ContentFailure, EveryCaseRoundTripsThroughItsRawValue) {
  for (int index = 0; index <= static_cast<int>(ContentFailure::Case::io); ++index) {
    const auto failure = static_cast<ContentFailure::Case>(index);
    EXPECT_EQ(contentFailureFromRaw(rawValue(failure)), failure) << index;
  }
  EXPECT_EQ(contentFailureFromRaw("diskSpace"), ContentFailure::Case::diskSpace);
  EXPECT_EQ(static_cast<int>(ContentFailure::Case::diskSpace), 14);
  EXPECT_EQ(contentFailureFromRaw("DiskSpace"), std::nullopt);
  EXPECT_EQ(contentFailureFromRaw(""), std::nullopt);
}

TEST(ContentFailure, ErrorKeyAndCaughtErrorsMapAsTransfersRecordThem) {
  EXPECT_EQ(transferErrorKey(ContentFailure::Case::diskSpace), "transfer.error.diskSpace");
  EXPECT_STREQ(ContentFailure(ContentFailure::Case::invalidManifest).what(), "invalidManifest");
  EXPECT_EQ(
      contentFailureOf(std::make_exception_ptr(ContentFailure(ContentFailure::Case::corrupt))),
      ContentFailure::Case::corrupt);
  EXPECT_EQ(contentFailureOf(std::make_exception_ptr(std::runtime_error("disk"))),
            ContentFailure::Case::io);
  EXPECT_EQ(contentFailureOf(nullptr), ContentFailure::Case::io);
}

}  // namespace
}  // namespace velmorine::transfer
