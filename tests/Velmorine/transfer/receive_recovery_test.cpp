#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "Velmorine/transfer/atomic_receive.h"
#include "Velmorine/transfer/content_failure.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/Velmorine/transfer/receive_folder.h"
#include "tests/Velmorine/transfer/receive_payload.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;
using testing::patternBytes;

template <typename Body>
std::optional<Case> failureOf(Body&& body) {
  try {
    body();
    return std::nullopt;
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
}

class Recovery : public ::testing::Test {
 public:
  testing::ReceiveFolder folder;
  std::filesystem::path D = folder / "D";
  core::Uuid id = core::Uuid::random();
  std::filesystem::path stage = D / (".velmorine-" + id.to_string() + ".partial");
  std::filesystem::path final = D / ("Velmorine-" + id.to_string());
  testing::Payload payload{{{"docs", std::nullopt}, {"docs/a.txt", patternBytes(5000, 2)}}};
  ReceiveServices services;

  void SetUp() override {
    if (!folder.usable()) GTEST_SKIP() << folder.why();
    std::filesystem::create_directories(D);
  }

  std::unique_ptr<AtomicReceive> start() { return payload.receiveInto(D, id, services); }

  std::optional<ContentUrl> recover(const store::ReceiveJournal& journal) {
    return AtomicReceive::recoverStaleStages(ContentUrl::file(D, true), journal, services);
  }
};

// What an interruption left behind, made with a real receive, and what recovery answers.
struct Interruption {
  const char* name;
  std::function<void(AtomicReceive&, Recovery&)> leave;
  bool committed;
  bool otherFolderAtFinalName;
};

void PrintTo(const Interruption& row, std::ostream* out) { *out << row.name; }

class Interruptions : public Recovery, public ::testing::WithParamInterface<Interruption> {};

TEST_P(Interruptions, AreSettledOnceAndAnswerTheSameAgain) {
  store::ReceiveJournal journal;
  {
    auto receive = start();
    journal = receive->journal();
    GetParam().leave(*receive, *this);
  }  // released without its cleanup, as a crash leaves it
  const auto expected = GetParam().committed
                            ? std::optional<ContentUrl>(ContentUrl::file(final, true))
                            : std::nullopt;
  EXPECT_EQ(recover(journal), expected);
  EXPECT_FALSE(std::filesystem::exists(stage));
  EXPECT_EQ(recover(journal), expected);
  if (GetParam().committed) {
    EXPECT_EQ(testing::readFile(final / "docs/a.txt"), payload.bytes.at(1));
  } else if (GetParam().otherFolderAtFinalName) {
    EXPECT_TRUE(std::filesystem::exists(final / "not-ours"));
  } else {
    EXPECT_FALSE(std::filesystem::exists(final));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Interruptions,
    ::testing::Values(Interruption{"CancelledAndCleanedUp",
                                   [](AtomicReceive& r, Recovery&) { r.cancel(); }, false, false},
                      Interruption{"StagedPartly",
                                   [](AtomicReceive& r, Recovery& test) {
                                     r.beginFile(1);
                                     r.write(1, 0, std::span(test.payload.bytes.at(1)).first(100));
                                   },
                                   false, false},
                      Interruption{"CommittedStageNotRemoved",
                                   [](AtomicReceive& r, Recovery& test) {
                                     test.payload.sendFiles(r);
                                     r.commit();
                                   },
                                   true, false},
                      Interruption{"CommittedAndCleanedUp",
                                   [](AtomicReceive& r, Recovery& test) {
                                     test.payload.sendFiles(r);
                                     r.commit();
                                     r.cancel();
                                   },
                                   true, false},
                      Interruption{"AnotherFolderAtTheFinalName",
                                   [](AtomicReceive&, Recovery& test) {
                                     std::filesystem::create_directories(test.final);
                                     testing::writeFile(test.final / "not-ours", "x");
                                   },
                                   false, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(Recovery, JournalsWhoseNamesDoNotFollowFromTheIdAreRefusedUntouched) {
  auto receive = start();
  const store::ReceiveJournal good = receive->journal();
  const std::filesystem::path nowhere = folder / "nowhere";  // no file-system call may happen
  for (const auto& change : std::vector<std::function<void(store::ReceiveJournal&)>>{
           [](auto& j) { j.schema = 2; },
           [&](auto& j) { j.stageName = ".velmorine-" + store::identifierText(id) + ".partial"; },
           [](auto& j) { j.finalName = "Velmorine-other"; },
           [](auto& j) { j.stageName = "payload"; }}) {
    store::ReceiveJournal journal = good;
    change(journal);
    EXPECT_EQ(failureOf([&] {
                AtomicReceive::recoverStaleStages(ContentUrl::file(nowhere, true), journal);
              }),
              Case::invalidManifest);
    EXPECT_EQ(failureOf([&] { recover(journal); }), Case::invalidManifest);
  }
  EXPECT_TRUE(std::filesystem::exists(stage / "journal.json"));
}

TEST_F(Recovery, ADestinationRecreatedUnderTheSamePathIsAnotherFolder) {
  store::ReceiveJournal journal = start()->journal();
  std::filesystem::rename(D, folder / "old-D");
  std::filesystem::create_directories(stage);  // a stage-named folder in the new D
  EXPECT_EQ(failureOf([&] { recover(journal); }), Case::changed);
  EXPECT_TRUE(std::filesystem::exists(stage));
  EXPECT_TRUE(std::filesystem::exists(folder / "old-D" / stage.filename()));
}

TEST_F(Recovery, AStageThatIsALinkIsNotFollowed) {
  store::ReceiveJournal journal = start()->journal();
  std::filesystem::rename(stage, folder / "real-stage");
  std::filesystem::create_directory_symlink(folder / "real-stage", stage);
  EXPECT_EQ(failureOf([&] { recover(journal); }), Case::changed);
  EXPECT_TRUE(std::filesystem::is_symlink(stage));
  EXPECT_TRUE(std::filesystem::exists(folder / "real-stage/journal.json"));
}

TEST_F(Recovery, ALinkInsideTheStageLosesOnlyItself) {
  const auto outside = folder / "outside";
  std::filesystem::create_directories(outside / "deep");
  testing::writeFile(outside / "deep/precious", "keep");
  store::ReceiveJournal journal = start()->journal();
  std::filesystem::create_directory_symlink(outside, stage / "payload/docs/evil");
  std::filesystem::create_symlink(outside / "deep/precious", stage / "payload/docs/file-link");
  EXPECT_EQ(recover(journal), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(stage));
  EXPECT_EQ(testing::readFile(outside / "deep/precious"),
            (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
}

TEST_F(Recovery, TheVolumeUuidOutweighsAChangedDeviceNumber) {
  services.volumeUuid = [](dev_t) { return std::optional<std::string>("4f6c-a1b2"); };
  store::ReceiveJournal journal = start()->journal();
  ASSERT_EQ(journal.rootVolumeUUID, "4f6c-a1b2");
  // As after a restart that numbered the devices anew.
  journal.rootDevice ^= 0x1234;
  EXPECT_EQ(recover(journal), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(stage));

  id = core::Uuid::random();
  stage = D / (".velmorine-" + id.to_string() + ".partial");
  journal = start()->journal();
  services.volumeUuid = [](dev_t) { return std::optional<std::string>("9999-0000"); };
  EXPECT_EQ(failureOf([&] { recover(journal); }), Case::changed);
  services.volumeUuid = [](dev_t) { return std::optional<std::string>(); };
  EXPECT_EQ(failureOf([&] { recover(journal); }), Case::changed);
  // Without a recorded UUID the device number decides.
  journal.rootVolumeUUID.reset();
  journal.rootDevice ^= 0x1234;
  EXPECT_EQ(failureOf([&] { recover(journal); }), Case::changed);
  EXPECT_TRUE(std::filesystem::exists(stage));
}

}  // namespace
}  // namespace velmorine::transfer
