#pragma once

// Identifiers, digests and header texts shared by the transfer frame tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "native/protocol/frame_codec.h"
#include "native/protocol/uuid.h"

namespace velmorine::protocol::testing {

inline constexpr std::string_view kSenderText = "5f0c4a1e-8b2d-4c3a-9e7f-102030405060";
inline constexpr std::string_view kOtherText = "a1b2c3d4-e5f6-4789-8abc-def012345678";
inline constexpr std::string_view kFrameIdText = "0f1e2d3c-4b5a-4697-8877-665544332211";
inline constexpr std::string_view kTransferText = "c0ffee00-1234-4abc-8def-0123456789ab";
inline constexpr std::string_view kCorrelationText = "deadbeef-0000-4111-8222-333344445555";
inline constexpr std::string_view kNilText = "00000000-0000-0000-0000-000000000000";
inline constexpr std::string_view kDigest =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
inline constexpr std::string_view kOtherDigest =
    "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

inline core::Uuid uuid(std::string_view text) { return *core::Uuid::parse(text); }

inline std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The header of a transfer frame from kSenderText with the given members after "sender".
inline std::string header_text(std::string_view type, std::string_view members) {
  std::string text = R"({"major":2,"minor":0,"type":")";
  text += type;
  text += R"(","id":")";
  text += kFrameIdText;
  text += R"(","sender":")";
  text += kSenderText;
  text += R"(",)";
  text += members;
  text += '}';
  return text;
}

// `text` with the first `from` replaced by `to`; fails the test when `from` is absent.
inline std::string with(std::string text, std::string_view from, std::string_view to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "no \"" << from << "\" in " << text;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

inline Frame frame_of(int32_t kind, std::string header, std::size_t payload_size = 0) {
  Frame frame;
  frame.type = kind;
  frame.header_utf8 = std::move(header);
  frame.payload.assign(payload_size, 0x5a);
  return frame;
}

}  // namespace velmorine::protocol::testing
