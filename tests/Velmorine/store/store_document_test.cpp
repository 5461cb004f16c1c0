#include "Velmorine/store/store_document.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <variant>

#include "Velmorine/store/local_store_error.h"

namespace velmorine::store {
namespace {

using core::Uuid;

Uuid id(std::string_view text) { return *Uuid::parse(text); }

Bytes key_bytes(std::uint8_t first) {
  Bytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

// A document with every field present, in the form the store writes it.
constexpr std::string_view kFullDocument =
    R"({"schema":1,"identity":{"id":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0",)"
    R"("publicKey":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="},)"
    R"("preferences":{"language":"ja","appearance":"dark","networkEnabled":true,)"
    R"("notificationsEnabled":true,"displayName":"Studio \"A\"/Ünïcode",)"
    R"("deviceNaming":{"customName":"Studio","fallbackID":"3F2A9C00-0000-4000-8000-000000000001",)"
    R"("hintDismissed":true},"destinationBookmark":"Ym9va21hcms="},)"
    R"("trust":{"1b4e28ba-2fa1-11d2-883f-0016d3cca427":{"claimedID":"1B4E28BA-2FA1-11D2-883F-0016D3CCA427",)"
    R"("publicKey":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=","manuallyVerified":true,"blocked":false}},)"
    R"("audit":[{"id":"00000000-0000-4000-8000-0000000000AA","date":700000000.123456,)"
    R"("contactID":"1B4E28BA-2FA1-11D2-883F-0016D3CCA427","action":"first-trust"}],)"
    R"("received":[{"transferID":"00000000-0000-4000-8000-0000000000BB",)"
    R"("containerBookmark":"Y29udGFpbmVy","committedAt":-0.5}],)"
    R"("pendingReceives":{"00000000-0000-4000-8000-0000000000CC":{"journal":{"schema":1,)"
    R"("transferID":"00000000-0000-4000-8000-0000000000CC","stageName":"stage","finalName":"final",)"
    R"("rootDevice":2049,"rootVolumeUUID":"vol","rootInode":11,"stageInode":12,"payloadInode":18446744073709551615},)"
    R"("destinationBookmark":"ZGVzdA=="}},"hiddenHistoricalPeers":["a","b"]})";

constexpr std::string_view kDefaultDocument =
    R"({"schema":1,"preferences":{"language":"system","appearance":"system",)"
    R"("networkEnabled":false,"notificationsEnabled":false,"displayName":"Velmorine Mac"},)"
    R"("trust":{},"audit":[],"received":[]})";

TEST(StoreDocument, DefaultDocumentIsWrittenWithoutOptionalKeys) {
  EXPECT_EQ(encodeStoreDocument(StoreDocument{}), kDefaultDocument);
  EXPECT_EQ(readStoreDocument(kDefaultDocument), StoreDocument{});
}

TEST(StoreDocument, FullDocumentReadsAndIsWrittenBackIdentically) {
  const StoreDocument document = readStoreDocument(kFullDocument);
  ASSERT_TRUE(document.identity);
  EXPECT_EQ(document.identity->id, id("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"));
  EXPECT_EQ(document.identity->publicKey, key_bytes(0));
  EXPECT_EQ(document.preferences.displayName, "Studio \"A\"/Ünïcode");
  EXPECT_EQ(document.preferences.destinationBookmark,
            Bytes({'b', 'o', 'o', 'k', 'm', 'a', 'r', 'k'}));
  const auto& record = document.trust.at("1b4e28ba-2fa1-11d2-883f-0016d3cca427");
  EXPECT_EQ(record.claimedID, id("1b4e28ba-2fa1-11d2-883f-0016d3cca427"));
  EXPECT_TRUE(record.manuallyVerified);
  EXPECT_EQ(document.audit.at(0).date, Date{700000000.123456});
  EXPECT_EQ(document.received.at(0).committedAt, Date{-0.5});
  EXPECT_EQ(
      document.pendingReceives->at("00000000-0000-4000-8000-0000000000CC").journal.payloadInode,
      18446744073709551615u);
  EXPECT_EQ(document.hiddenHistoricalPeers, (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(encodeStoreDocument(document), kFullDocument);
}

TEST(StoreDocument, WrittenDocumentReadsBackEqual) {
  StoreDocument document;
  document.identity = IdentityMetadata{Uuid::random(), key_bytes(9)};
  document.preferences.deviceNaming = DeviceNamePreferences{std::nullopt, Uuid::random(), false};
  for (int i = 0; i < 50; ++i) {
    const Uuid contact = Uuid::random();
    document.trust[contact.to_string()] =
        TrustRecord{contact, key_bytes(static_cast<std::uint8_t>(i)), i % 2 == 0, i % 3 == 0};
    document.audit.push_back(SecurityAudit{Uuid::random(), Date{i * 1.1 - 3}, contact, "block"});
  }
  document.pendingReceives.emplace();
  document.hiddenHistoricalPeers = std::set<std::string>{};
  const StoreDocument read = readStoreDocument(encodeStoreDocument(document));
  EXPECT_EQ(read, document);
  // Present but empty optional collections stay present.
  EXPECT_TRUE(read.pendingReceives && read.pendingReceives->empty());
  EXPECT_TRUE(read.hiddenHistoricalPeers && read.hiddenHistoricalPeers->empty());
}

// What reading a variant of the full document gives.
struct Outcome {
  enum Kind { read, decodingError, newerSchema, corrupt } kind;
  std::int64_t schema = 0;
};

struct ReadCase {
  const char* name;
  std::function<void(Json&)> change;  // applied to the parsed full document
  Outcome expected;
  std::function<void(const StoreDocument&)> check = nullptr;
};

Outcome outcome_of(const std::string& text, StoreDocument* read) {
  try {
    *read = readStoreDocument(text);
    return {Outcome::read};
  } catch (const StoreDecodingError&) {
    return {Outcome::decodingError};
  } catch (const LocalStoreError& error) {
    if (error.errorCase() == LocalStoreError::Case::newerSchema) {
      return {Outcome::newerSchema, error.payload()};
    }
    if (error.errorCase() == LocalStoreError::Case::corrupt) return {Outcome::corrupt};
    throw;
  }
}

TEST(StoreDocument, ReadingIsStrictAboutEveryRequiredKey) {
  const auto set = [](std::string pointer, Json value) {
    return [pointer, value](Json& document) { document[Json::json_pointer(pointer)] = value; };
  };
  const auto erase = [](std::string parent, std::string key) {
    return [parent, key](Json& document) { document[Json::json_pointer(parent)].erase(key); };
  };
  const std::string trust = "/trust/1b4e28ba-2fa1-11d2-883f-0016d3cca427";
  const std::vector<ReadCase> cases = {
      {"newer schema alone",
       [](Json& d) {
         d = Json{{"schema", 2}};
       },
       {Outcome::newerSchema, 2}},
      {"newer schema with fraction zero", set("/schema", 7.0), {Outcome::newerSchema, 7}},
      {"schema 0", set("/schema", 0), {Outcome::corrupt}},
      {"schema -1", set("/schema", -1), {Outcome::corrupt}},
      {"schema as text", set("/schema", "1"), {Outcome::decodingError}},
      {"schema with fraction", set("/schema", 1.5), {Outcome::decodingError}},
      {"schema beyond 64 bits", set("/schema", 18446744073709551615u), {Outcome::decodingError}},
      {"schema missing", erase("", "schema"), {Outcome::decodingError}},
      {"schema null", set("/schema", nullptr), {Outcome::decodingError}},
      {"schema 1.0 reads", set("/schema", 1.0), {Outcome::read}},
      {"not an object", [](Json& d) { d = Json::array({1}); }, {Outcome::decodingError}},
      {"preferences missing", erase("", "preferences"), {Outcome::decodingError}},
      {"networkEnabled missing", erase("/preferences", "networkEnabled"), {Outcome::decodingError}},
      {"networkEnabled null",
       set("/preferences/networkEnabled", nullptr),
       {Outcome::decodingError}},
      {"networkEnabled as number", set("/preferences/networkEnabled", 1), {Outcome::decodingError}},
      {"hintDismissed missing",
       erase("/preferences/deviceNaming", "hintDismissed"),
       {Outcome::decodingError}},
      {"fallbackID bad text",
       set("/preferences/deviceNaming/fallbackID", "3F2A9C00-0000-4000-8000"),
       {Outcome::decodingError}},
      {"bookmark not Base64",
       set("/preferences/destinationBookmark", "Ym9v*21hcms="),
       {Outcome::decodingError}},
      {"claimedID with braces",
       set(trust + "/claimedID", "{1B4E28BA-2FA1-11D2-883F-0016D3CCA427}"),
       {Outcome::decodingError}},
      {"trust key missing blocked", erase(trust, "blocked"), {Outcome::decodingError}},
      {"trust value not an object", set(trust, "x"), {Outcome::decodingError}},
      {"trust as array", set("/trust", Json::array()), {Outcome::decodingError}},
      {"audit date as text", set("/audit/0/date", "2001-01-01"), {Outcome::decodingError}},
      {"audit action missing", erase("/audit/0", "action"), {Outcome::decodingError}},
      {"received not an array", set("/received", Json::object()), {Outcome::decodingError}},
      {"journal missing a key",
       erase("/pendingReceives/00000000-0000-4000-8000-0000000000CC/journal", "stageInode"),
       {Outcome::decodingError}},
      {"negative inode",
       set("/pendingReceives/00000000-0000-4000-8000-0000000000CC/journal/rootInode", -1),
       {Outcome::decodingError}},
      {"hidden peer not text",
       set("/hiddenHistoricalPeers", Json::array({"a", 1})),
       {Outcome::decodingError}},
      {"identity without publicKey", erase("/identity", "publicKey"), {Outcome::decodingError}},
      {"optional keys missing",
       [](Json& d) {
         d.erase("identity");
         d.erase("pendingReceives");
         d.erase("hiddenHistoricalPeers");
         d["preferences"].erase("deviceNaming");
         d["preferences"].erase("destinationBookmark");
       },
       {Outcome::read},
       [](const StoreDocument& d) {
         EXPECT_FALSE(d.identity || d.pendingReceives || d.hiddenHistoricalPeers ||
                      d.preferences.deviceNaming || d.preferences.destinationBookmark);
         const std::string written = encodeStoreDocument(d);
         for (const char* key : {"identity", "pendingReceives", "hiddenHistoricalPeers",
                                 "deviceNaming", "destinationBookmark"}) {
           EXPECT_EQ(written.find(key), std::string::npos) << key;
         }
       }},
      {"optional keys null read as absent",
       [](Json& d) {
         d["identity"] = nullptr;
         d["hiddenHistoricalPeers"] = nullptr;
         d["preferences"]["deviceNaming"]["customName"] = nullptr;
       },
       {Outcome::read},
       [](const StoreDocument& d) {
         EXPECT_FALSE(d.identity || d.hiddenHistoricalPeers);
         EXPECT_FALSE(d.preferences.deviceNaming->customName);
       }},
      {"empty public key decodes",
       set("/identity/publicKey", ""),
       {Outcome::read},
       [](const StoreDocument& d) { EXPECT_TRUE(d.identity->publicKey.empty()); }},
      {"lower-case identifiers read and are written in upper case",
       set("/identity/id", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"),
       {Outcome::read},
       [](const StoreDocument& d) {
         EXPECT_NE(encodeStoreDocument(d).find("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"),
                   std::string::npos);
       }},
      {"upper-case trust key is kept as written",
       [](Json& d) { d["trust"]["ABC"] = d["trust"]["1b4e28ba-2fa1-11d2-883f-0016d3cca427"]; },
       {Outcome::read},
       [](const StoreDocument& d) {
         EXPECT_EQ(d.trust.size(), 2u);
         EXPECT_NE(encodeStoreDocument(d).find("\"ABC\":"), std::string::npos);
       }},
      {"date 0 is the reference date",
       set("/audit/0/date", 0),
       {Outcome::read},
       [](const StoreDocument& d) {
         EXPECT_EQ(d.audit[0].date.systemTime(),
                   std::chrono::sys_days{std::chrono::year{2001} / 1 / 1});
       }},
      {"unknown keys are ignored and not written back",
       [](Json& d) {
         d["future"] = Json{{"deep", Json::array({1, 2, Json::object()})}};
         d["trust"]["1b4e28ba-2fa1-11d2-883f-0016d3cca427"]["note"] = "x";
       },
       {Outcome::read},
       [](const StoreDocument& d) { EXPECT_EQ(encodeStoreDocument(d), kFullDocument); }},
      {"nesting beyond the limit",
       [](Json& d) {
         Json deep = Json::array();
         for (int i = 0; i < 600; ++i) deep = Json::array({deep});
         d["future"] = deep;
       },
       {Outcome::decodingError}},
  };
  for (const auto& test : cases) {
    Json document = Json::parse(kFullDocument);
    test.change(document);
    StoreDocument read;
    const Outcome outcome = outcome_of(document.dump(), &read);
    EXPECT_EQ(outcome.kind, test.expected.kind) << test.name;
    EXPECT_EQ(outcome.schema, test.expected.schema) << test.name;
    if (outcome.kind == Outcome::read && test.check) test.check(read);
  }
}

TEST(StoreDocument, TextThatIsNotJsonIsADecodingError) {
  for (const std::string_view text :
       {"", "{", "{\"schema\":1,}", "{\"schema\":1} trailing", "\xff\xfe{}",
        "{\"schema\":1,\"preferences\":{\"language\":\"\xc0\x80\"}}"}) {
    StoreDocument read;
    EXPECT_EQ(outcome_of(std::string(text), &read).kind, Outcome::decodingError) << text;
  }
}

TEST(StoreDocument, FractionsOfASecondSurviveWriting) {
  for (const double seconds : {0.1, 1e-9, -978307200.000001, 812345678.987654321, 5.0}) {
    StoreDocument document;
    document.received.push_back({Uuid::random(), {}, Date{seconds}});
    EXPECT_EQ(readStoreDocument(encodeStoreDocument(document))
                  .received[0]
                  .committedAt.timeIntervalSinceReferenceDate,
              seconds);
  }
}

TEST(StoreDocument, ValuesThatCannotBeWrittenAreEncodingErrors) {
  StoreDocument bad_text;
  bad_text.preferences.displayName = "\xc3";
  EXPECT_THROW(encodeStoreDocument(bad_text), StoreEncodingError);
  StoreDocument bad_date;
  bad_date.audit.push_back({Uuid::random(), Date{NAN}, Uuid::random(), "block"});
  EXPECT_THROW(encodeStoreDocument(bad_date), StoreEncodingError);
}

TEST(StoreDocument, EqualityIgnoresOrderOfMapsAndSetsButNotOfLists) {
  const StoreDocument document = readStoreDocument(kFullDocument);
  Json reordered = Json::parse(kFullDocument);
  reordered["hiddenHistoricalPeers"] = Json::array({"b", "a", "b"});
  EXPECT_EQ(readStoreDocument(reordered.dump()), document);
  StoreDocument other = document;
  other.audit.push_back(other.audit[0]);
  other.audit.front().action = "block";
  EXPECT_NE(other, document);
  other = document;
  other.pendingReceives->begin()->second.journal.rootVolumeUUID.reset();
  EXPECT_NE(other, document);
}

TEST(AuditIsAppendOnly, OnlyAPrefixPasses) {
  const SecurityAudit a{id("00000000-0000-4000-8000-00000000000a"), Date{1},
                        id("00000000-0000-4000-8000-0000000000c1"), "block"};
  SecurityAudit b = a;
  b.id = id("00000000-0000-4000-8000-00000000000b");
  SecurityAudit a_later = a;
  a_later.date = Date{2};
  SecurityAudit a_other_action = a;
  a_other_action.action = "unblock";
  struct Case {
    std::vector<SecurityAudit> current, updated;
    bool expected;
  };
  const std::vector<Case> cases = {
      {{}, {}, true},          {{}, {a, b}, true},
      {{a}, {a}, true},        {{a}, {a, b}, true},
      {{a, b}, {a}, false},    {{a, b}, {b, a}, false},
      {{a}, {a_later}, false}, {{a}, {a_other_action, b}, false},
      {{a}, {}, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(auditIsAppendOnly(cases[i].current, cases[i].updated), cases[i].expected) << i;
  }
}

TEST(IdentifierFromBytes, KeepsTheOrderOfTheText) {
  const std::array<std::uint8_t, 16> bytes = {0x3f, 0x2a, 0x9c, 0, 1, 2,  3,  4,
                                              5,    6,    7,    8, 9, 10, 11, 0xff};
  EXPECT_EQ(identifierFromBytes(bytes).to_string(), "3f2a9c00-0102-0304-0506-0708090a0bff");
}

}  // namespace
}  // namespace velmorine::store
