#include "Velmorine/transfer/content_digest.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace velmorine::transfer {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Sha256Hex, WritesTwoLowerCaseDigitsPerByte) {
  EXPECT_EQ(sha256Hex(std::vector<std::uint8_t>{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
  EXPECT_EQ(sha256Hex({}), "");
}

TEST(ContentDigest, KnownDigestsAndPiecesMatchOneShot) {
  ContentDigest digest;
  EXPECT_EQ(digest.hexOfCopy(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  digest.update(bytesOf("ab"));
  digest.update(bytesOf("c"));
  EXPECT_EQ(digest.hexOfCopy(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Taking the digest leaves the running state as it was.
  digest.update(bytesOf("d"));
  ContentDigest oneShot;
  oneShot.update(bytesOf("abcd"));
  EXPECT_EQ(digest.hexOfCopy(), oneShot.hexOfCopy());
}

}  // namespace
}  // namespace velmorine::transfer
