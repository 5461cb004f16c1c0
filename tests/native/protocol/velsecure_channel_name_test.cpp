#include "native/protocol/velsecure_channel_name.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(VelSecureChannelName, IsVelsecureV1PaddedWithZeros) {
  const char expected[16] = {'v', 'e', 'l', 's', 'e', 'c', 'u', 'r',
                             'e', '-', 'v', '1', 0,   0,   0,   0};
  EXPECT_EQ(std::memcmp(velmorine::protocol::velsecure_v1_channel, expected, 16), 0);
}

}  // namespace
