#include "Velmorine/reminders/reminder_state.h"

#include <gtest/gtest.h>

namespace velmorine::reminders {
namespace {

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }
std::string text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

const ReminderGrant kGrant{"6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90", std::string(43, 'b'), 1.5};

TEST(ReminderStateJson, EmptyStateWritesOnlyItsRequiredMembers) {
  EXPECT_EQ(text(encodeReminderState(ReminderState{})),
            R"({"issued":{},"received":{},"revoking":false})");
}

TEST(ReminderStateJson, FullStateWritesMembersInOrderAndReadsBack) {
  ReminderState state;
  state.registration = ReminderRegistration{"5a0f8a44-7c1e-4a55-9f7d-2b1c0e9d8a31", "owner"};
  state.issued["contact"] = BoundReminderGrant{kGrant, "contact", {1, 2, 3}};
  state.received["wire"] = BoundReminderGrant{kGrant, "peer-contact", {0xff}};
  state.revoking = true;
  state.revocations = {"r1", "r2"};
  state.localIdentity = std::vector<uint8_t>(32, 7);
  const std::string written = text(encodeReminderState(state));
  EXPECT_EQ(written,
            R"({"registration":{"id":"5a0f8a44-7c1e-4a55-9f7d-2b1c0e9d8a31","owner":"owner"},)"
            R"("issued":{"contact":{"grant":{"route":"6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90",)"
            R"("bearer":")" +
                std::string(43, 'b') +
                R"(","expires":1.5},"contact":"contact","key":"AQID"}},)"
                R"("received":{"wire":{"grant":{"route":"6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90",)"
                R"("bearer":")" +
                std::string(43, 'b') +
                R"(","expires":1.5},"contact":"peer-contact","key":"/w=="}},)"
                R"("revoking":true,"revocations":["r1","r2"],)"
                R"("localIdentity":"BwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwc="})");
  EXPECT_EQ(decodeReminderState(bytes(written)), state);
}

struct DecodeCase {
  const char* name;
  const char* json;
  bool decodes;
};

class ReminderStateDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ReminderStateDecoding, RequiredMembersAndTypesAreChecked) {
  bool decoded = true;
  try {
    decodeReminderState(bytes(GetParam().json));
  } catch (const std::exception&) {
    decoded = false;
  }
  EXPECT_EQ(decoded, GetParam().decodes) << GetParam().json;
}

#define GRANT R"({"grant":{"route":"r","bearer":"b","expires":2},"contact":"c","key":"AQID"})"

INSTANTIATE_TEST_SUITE_P(
    Cases, ReminderStateDecoding,
    ::testing::Values(
        DecodeCase{"OnlyRequired", R"({"issued":{},"received":{},"revoking":false})", true},
        DecodeCase{"NullOptionals",
                   R"({"registration":null,"issued":{},"received":{},"revoking":true,)"
                   R"("revocations":null,"localIdentity":null})",
                   true},
        DecodeCase{"UnknownMember", R"({"issued":{},"received":{},"revoking":false,"x":[1]})",
                   true},
        DecodeCase{"IntegerExpiry",
                   R"({"issued":{"c":)" GRANT R"(},"received":{},"revoking":false})", true},
        DecodeCase{"WithoutRevoking", R"({"issued":{},"received":{}})", false},
        DecodeCase{"WithoutIssued", R"({"received":{},"revoking":false})", false},
        DecodeCase{"WithoutReceived", R"({"issued":{},"revoking":false})", false},
        DecodeCase{"RevokingAsText", R"({"issued":{},"received":{},"revoking":"false"})", false},
        DecodeCase{"IssuedAsList", R"({"issued":[],"received":{},"revoking":false})", false},
        DecodeCase{"ExpiryAsText",
                   R"({"issued":{"c":{"grant":{"route":"r","bearer":"b","expires":"2"},)"
                   R"("contact":"c","key":"AQID"}},"received":{},"revoking":false})",
                   false},
        DecodeCase{"KeyNotBase64",
                   R"({"issued":{"c":{"grant":{"route":"r","bearer":"b","expires":2},)"
                   R"("contact":"c","key":"***"}},"received":{},"revoking":false})",
                   false},
        DecodeCase{"GrantWithoutContact",
                   R"({"issued":{},"received":{"w":{"grant":{"route":"r","bearer":"b",)"
                   R"("expires":2},"key":"AQID"}},"revoking":false})",
                   false},
        DecodeCase{"RegistrationWithoutOwner",
                   R"({"registration":{"id":"x"},"issued":{},"received":{},"revoking":false})",
                   false},
        DecodeCase{"RevocationNotText",
                   R"({"issued":{},"received":{},"revoking":false,"revocations":[1]})", false},
        DecodeCase{"IdentityNotBase64",
                   R"({"issued":{},"received":{},"revoking":false,"localIdentity":"?"})", false},
        DecodeCase{"NotAnObject", R"([])", false}, DecodeCase{"NotJson", R"({"issued":)", false},
        DecodeCase{"Empty", "", false}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace velmorine::reminders
