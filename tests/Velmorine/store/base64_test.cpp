#include "Velmorine/store/base64.h"

#include <gtest/gtest.h>

namespace velmorine::store {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(encodeBase64(bytes_of(plain)), encoded);
    EXPECT_EQ(decodeBase64(encoded), bytes_of(plain)) << encoded;
  }
}

TEST(Base64, EveryByteValueRoundTrips) {
  for (std::size_t length = 0; length < 260; ++length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(255 - i * 13);
    EXPECT_EQ(decodeBase64(encodeBase64(bytes)), bytes) << length;
  }
}

TEST(Base64, RefusesTextThatIsNotCanonicalPaddedBase64) {
  for (const std::string_view text : {"Zg", "Zg=", "Zm9", "Zg==Zg==", "Z===", "====", "Zm9v\n",
                                      " Zm9v", "Zm-v", "Zm_v", "Zh==", "Zm9=", "Zg=A"}) {
    EXPECT_EQ(decodeBase64(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace velmorine::store
