// The journal's device number is signed in the store document: negative numbers and every
// Linux dev_t (kept by its bit pattern) must read and write back unchanged, since one refused
// journal fails the whole document.
#include "Velmorine/store/receive_journal.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "Velmorine/store/store_document.h"

namespace velmorine::store {
namespace {

constexpr std::string_view kTransfer = "00000000-0000-4000-8000-0000000000CC";

// A store document holding one pending receive whose journal has `root_device` as written.
std::string document_with_root_device(const std::string& root_device) {
  return R"({"schema":1,"preferences":{"language":"system","appearance":"system",)"
         R"("networkEnabled":false,"notificationsEnabled":false,"displayName":"Velmorine Mac"},)"
         R"("trust":{},"audit":[],"received":[],"pendingReceives":{")" +
         std::string(kTransfer) + R"(":{"journal":{"schema":1,"transferID":")" +
         std::string(kTransfer) + R"(","stageName":"stage","finalName":"final","rootDevice":)" +
         root_device +
         R"(,"rootInode":11,"stageInode":12,"payloadInode":13},"destinationBookmark":"ZGVzdA=="}}})";
}

const ReceiveJournal& journal_of(const StoreDocument& document) {
  return document.pendingReceives->at(std::string(kTransfer)).journal;
}

struct DeviceCase {
  const char* name;
  std::int64_t root_device;
};

void PrintTo(const DeviceCase& c, std::ostream* out) { *out << c.root_device; }

class JournalRootDevice : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(JournalRootDevice, ReadsAndIsWrittenBackUnchangedInTheStoreDocument) {
  const std::string text = document_with_root_device(std::to_string(GetParam().root_device));
  const StoreDocument document = readStoreDocument(text);
  EXPECT_EQ(journal_of(document).rootDevice, GetParam().root_device);
  EXPECT_EQ(encodeStoreDocument(document), text);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, JournalRootDevice,
    ::testing::Values(DeviceCase{"minus_one", -1}, DeviceCase{"minus_2_to_24", -16777216},
                      DeviceCase{"zero", 0}, DeviceCase{"sda1", 2049},
                      DeviceCase{"least", std::numeric_limits<std::int64_t>::min()},
                      DeviceCase{"greatest", std::numeric_limits<std::int64_t>::max()},
                      DeviceCase{"large_dev_t", journalDevice(makedev(0xfffff000u, 0x80000001u))}),
    [](const ::testing::TestParamInfo<DeviceCase>& param_info) { return param_info.param.name; });

TEST(JournalRootDevice, EveryLinuxDeviceNumberRoundTripsThroughTheDocument) {
  for (const dev_t device : {dev_t{0}, makedev(8, 1), makedev(0xfffff000u, 0xffffffffu), ~dev_t{0},
                             dev_t{1} << 63, (dev_t{1} << 63) - 1}) {
    SCOPED_TRACE(device);
    StoreDocument document;
    ReceiveJournal journal;
    journal.transferID = *core::Uuid::parse(kTransfer);
    journal.rootDevice = journalDevice(device);
    document.pendingReceives.emplace();
    (*document.pendingReceives)[std::string(kTransfer)] = PendingReceive{journal, {}};
    const std::string text = encodeStoreDocument(document);
    const StoreDocument read = readStoreDocument(text);
    EXPECT_EQ(linuxDevice(journal_of(read).rootDevice), device);
    EXPECT_EQ(encodeStoreDocument(read), text);
  }
}

TEST(JournalRootDevice, ANumberBeyondSigned64BitsFailsTheDocument) {
  for (const char* number : {"9223372036854775808", "18446744073709551615", "1.5", "\"1\""}) {
    EXPECT_THROW(readStoreDocument(document_with_root_device(number)), StoreDecodingError)
        << number;
  }
}

}  // namespace
}  // namespace velmorine::store
