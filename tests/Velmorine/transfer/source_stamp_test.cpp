#include "Velmorine/transfer/source_stamp.h"

#include <gtest/gtest.h>

#include <functional>

#include "Velmorine/transfer/content_failure.h"

namespace velmorine::transfer {
namespace {

struct FieldChange {
  const char* name;
  std::function<void(SourceStamp&)> change;
  std::vector<std::string> fields;
};

class StampDifference : public ::testing::TestWithParam<FieldChange> {};

TEST_P(StampDifference, NamesExactlyTheChangedFields) {
  const SourceStamp base{.device = 0x10000000801ull,  // a 64-bit dev_t, kept whole
                         .inode = 42,
                         .size = 7,
                         .mode = S_IFREG | 0644,
                         .modifiedSeconds = 1000,
                         .modifiedNanos = 5,
                         .changedSeconds = 1000,
                         .changedNanos = 6};
  SourceStamp changed = base;
  GetParam().change(changed);
  EXPECT_EQ(differingFields(base, changed), GetParam().fields);
  EXPECT_EQ(base == changed, GetParam().fields.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Fields, StampDifference,
    ::testing::Values(
        FieldChange{"none", [](SourceStamp&) {}, {}},
        FieldChange{"deviceHighBits", [](SourceStamp& s) { s.device ^= 1ull << 40; }, {"device"}},
        FieldChange{"inode", [](SourceStamp& s) { s.inode++; }, {"inode"}},
        FieldChange{"size", [](SourceStamp& s) { s.size--; }, {"size"}},
        FieldChange{"mode", [](SourceStamp& s) { s.mode = S_IFIFO | 0644; }, {"mode"}},
        FieldChange{"mtimeNanos", [](SourceStamp& s) { s.modifiedNanos++; }, {"mtime"}},
        FieldChange{"ctimeNanos", [](SourceStamp& s) { s.changedNanos++; }, {"ctime"}},
        FieldChange{"rewrite",
                    [](SourceStamp& s) {
                      s.size++;
                      s.modifiedSeconds++;
                      s.changedSeconds++;
                    },
                    {"size", "mtime", "ctime"}},
        FieldChange{"all",
                    [](SourceStamp& s) { s = SourceStamp{1, 2, 3, 4, 5, 6, 7, 8}; },
                    {"device", "inode", "size", "mode", "mtime", "ctime"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SourceStamp, ABadDescriptorIsAnAccessFailure) {
  try {
    SourceStamp::ofDescriptor(-1);
    FAIL() << "fstat of -1 cannot succeed";
  } catch (const ContentFailure& failure) {
    EXPECT_EQ(failure.failure(), ContentFailure::Case::access);
    EXPECT_EQ(failure.systemError(), EBADF);
  }
}

}  // namespace
}  // namespace velmorine::transfer
