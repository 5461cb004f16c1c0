#include "Velmorine/shell/localization_tables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>

#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/transfer_state.h"
#include "platform/bundle/bundle.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::shell {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class TablesFromFolder : public ::testing::Test {
 protected:
  std::string text(std::string_view key, std::string_view language) {
    return localizedString(LocalizationTables::fromFolder(folder.path()), key, language, {});
  }

  testing::TemporaryFolder folder;
};

TEST_F(TablesFromFolder, ChosenLanguageThenEnglishThenTheKey) {
  writeFile(folder / "en.json", R"({"greeting": "Hello", "only.english": "English"})");
  writeFile(folder / "ja.json", R"({"greeting": "こんにちは"})");
  EXPECT_EQ(text("greeting", "ja"), "こんにちは");
  EXPECT_EQ(text("greeting", "en"), "Hello");
  // A missing table falls back to English.
  EXPECT_EQ(text("greeting", "ru"), "Hello");
  for (const auto code : kSupportedLanguageCodes) {
    EXPECT_EQ(text("only.english", code), "English") << code;
    EXPECT_EQ(text("nowhere.at.all", code), "nowhere.at.all") << code;
  }
}

TEST_F(TablesFromFolder, ATableThatIsNotAnObjectOfTextsCountsAsMissing) {
  writeFile(folder / "en.json", R"({"key": "English"})");
  writeFile(folder / "ja.json", R"({"key": "ja", "count": 3})");
  writeFile(folder / "ko.json", R"(["key", "ko"])");
  writeFile(folder / "ru.json", R"({"key": "ru")");
  std::filesystem::create_directories(folder / "zh-Hans.json");
  const auto tables = LocalizationTables::fromFolder(folder.path());
  EXPECT_NE(tables.table("en"), nullptr);
  for (const auto code : {"ja", "ko", "ru", "zh-Hans"}) {
    EXPECT_EQ(tables.table(code), nullptr) << code;
    EXPECT_EQ(localizedString(tables, "key", code, {}), "English") << code;
  }
  EXPECT_EQ(tables.table("system"), nullptr);
}

TEST_F(TablesFromFolder, AnOversizedTableCountsAsMissing) {
  std::string big = R"({"key": ")";
  big.append(LocalizationTables::kMaximumTableSize, 'x');
  big += "\"}";
  writeFile(folder / "en.json", big);
  EXPECT_EQ(LocalizationTables::fromFolder(folder.path()).table("en"), nullptr);
  EXPECT_EQ(text("key", "en"), "key");
}

TEST(TablesOfAProgram, FoundUnderThePrefixThenBesideTheProgram) {
  testing::TemporaryFolder prefix;
  const auto program = prefix / "bin" / "velmorine";
  EXPECT_EQ(LocalizationTables::forProgram(program).table("en"), nullptr);
  writeFile(prefix / "bin" / "localization" / "en.json", R"({"where": "beside"})");
  EXPECT_EQ(localizedString(LocalizationTables::forProgram(program), "where", "en", {}), "beside");
  writeFile(prefix / "share" / "velmorine" / "localization" / "en.json",
            R"({"where": "installed"})");
  EXPECT_EQ(localizedString(LocalizationTables::forProgram(program), "where", "en", {}),
            "installed");
}

TEST(TablesOfAProgram, AnInstalledProgramFindsTheTablesAndItsVersion) {
  testing::TemporaryFolder prefix;
  // Only the shared resources: the tables are found from where the program would lie, built or
  // not.
  const std::string command = std::string("\"") + VELMORINE_CMAKE_COMMAND + "\" --install \"" +
                              VELMORINE_BINARY_DIR + "\" --component resources --prefix \"" +
                              prefix.path().string() + "\" > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const auto program = prefix / "bin" / "velmorine";
  const auto tables = LocalizationTables::forProgram(program);
  for (const auto code : kSupportedLanguageCodes) EXPECT_NE(tables.table(code), nullptr) << code;
  EXPECT_EQ(localizedString(tables, "action.cancel", "ja", {}), "キャンセル");
  EXPECT_EQ(localizedString(tables, "action.cancel", "system", std::vector<std::string>{"ru_RU"}),
            "Отменить");
  const auto bundle = platform::Bundle::forProgram(program);
  EXPECT_EQ(applicationVersionText(&bundle), VELMORINE_VERSION);
}

// Every key the application names, except the families built from the values of a type.
const char* const kNamedKeys[] = {
    "about.details",
    "about.downloadUpdate",
    "about.free",
    "about.help",
    "about.helpBody",
    "about.licenses",
    "about.localData",
    "about.permissions",
    "about.privacy",
    "about.privacyBody",
    "about.updates",
    "about.website",
    "action.cancel",
    "action.dismiss",
    "action.done",
    "action.ok",
    "brand.subtitle",
    "composer.attachmentCount",
    "composer.attachmentSummary",
    "composer.chooseRecipient",
    "composer.clearAttachments",
    "composer.hint",
    "composer.placeholder",
    "composer.preparingAttachments",
    "composer.retryAttachments",
    "composer.send",
    "content.io",
    "conversation.actions",
    "conversation.clear",
    "conversation.clearHelp",
    "conversation.earlier",
    "conversation.latest",
    "conversation.localHistory",
    "deviceName.automatic",
    "deviceName.automaticHelp",
    "deviceName.hint",
    "deviceName.notNow",
    "deviceName.rename",
    "deviceName.save",
    "deviceName.saveFailed",
    "deviceName.thisDevice",
    "deviceName.visibleToOthers",
    "devices.reset",
    "devices.resetDescription",
    "devices.resetFailed",
    "error.title",
    "format.zeroBytes",
    "identity.unavailable",
    "library.batch",
    "library.browse",
    "library.choose",
    "library.empty",
    "library.loading",
    "library.missing",
    "library.next",
    "library.open",
    "library.openHelp",
    "library.preview",
    "library.previewUnavailable",
    "library.previous",
    "library.reconnect",
    "library.reconnectHelp",
    "library.refresh",
    "library.title",
    "library.trash",
    "library.trashHelp",
    "library.up",
    "lifecycle.residence",
    "menu.conversation",
    "menu.network",
    "menu.open",
    "menu.quit",
    "menu.standard.about",
    "menu.standard.bringAllFront",
    "menu.standard.bringFront",
    "menu.standard.close",
    "menu.standard.closeAll",
    "menu.standard.copy",
    "menu.standard.cut",
    "menu.standard.delete",
    "menu.standard.dictation",
    "menu.standard.edit",
    "menu.standard.emoji",
    "menu.standard.enterFullScreen",
    "menu.standard.exitFullScreen",
    "menu.standard.file",
    "menu.standard.help",
    "menu.standard.hide",
    "menu.standard.hideOthers",
    "menu.standard.minimize",
    "menu.standard.minimizeAll",
    "menu.standard.paste",
    "menu.standard.redo",
    "menu.standard.selectAll",
    "menu.standard.services",
    "menu.standard.showAll",
    "menu.standard.undo",
    "menu.standard.view",
    "menu.standard.window",
    "menu.standard.zoom",
    "menu.standard.zoomAll",
    "message.cancelQueued",
    "message.retry",
    "message.retryHelp",
    "migration.busy",
    "migration.choose",
    "migration.failed",
    "migration.help",
    "migration.invalid",
    "migration.later",
    "migration.picker",
    "migration.ready",
    "migration.restart",
    "migration.title",
    "migration.unfinished",
    "migration.used",
    "network.accessUnknown",
    "network.details",
    "network.enable",
    "network.enabled",
    "network.failed",
    "network.legacyHelp",
    "network.macos15Help",
    "network.noInterfaces",
    "network.partialFailure",
    "network.pause",
    "network.paused",
    "network.permissionHelp",
    "network.restricted",
    "network.retry",
    "network.searching",
    "network.settings",
    "network.starting",
    "notifications.denied",
    "notifications.enable",
    "notifications.enabled",
    "notifications.failed",
    "notifications.file",
    "notifications.message",
    "notifications.privacy",
    "notifications.push.off",
    "notifications.push.ready",
    "notifications.push.registering",
    "notifications.push.revokePending",
    "notifications.push.unavailable",
    "notifications.push.unconfigured",
    "notifications.title",
    "notifications.unknown",
    "notifications.waiting",
    "peers.history",
    "peers.offline",
    "peers.online",
    "peers.searching",
    "peers.title",
    "peers.unread",
    "quit.confirm",
    "quit.help",
    "quit.title",
    "security.block",
    "security.blockHelp",
    "security.blocked",
    "security.codeHelp",
    "security.confirmMatch",
    "security.connect",
    "security.details",
    "security.deviceID",
    "security.encrypted",
    "security.notConnected",
    "security.unblock",
    "security.unverified",
    "security.verified",
    "security.verify",
    "security.verifyHelp",
    "settings.about",
    "settings.appearance",
    "settings.dark",
    "settings.deviceName",
    "settings.general",
    "settings.invalidName",
    "settings.language",
    "settings.light",
    "settings.system",
    "settings.title",
    "settings.version",
    "startup.approval",
    "startup.disabled",
    "startup.enabled",
    "startup.failed",
    "startup.openSettings",
    "startup.title",
    "startup.unavailable",
    "storage.alreadyRunning",
    "storage.reauthorize",
    "storage.recoveryNeeded",
    "storage.unavailable",
    "transfer.accept",
    "transfer.add",
    "transfer.batchTitle",
    "transfer.chooseFolder",
    "transfer.clearEnded",
    "transfer.clearFailed",
    "transfer.clearHelp",
    "transfer.clearRecords",
    "transfer.confirmationHelp",
    "transfer.defaultDestination",
    "transfer.error.destinationAccess",
    "transfer.otherDevice",
    "transfer.packageConsent",
    "transfer.progress",
    "transfer.reject",
    "transfer.remove",
    "transfer.removeRecord",
    "transfer.retryQueued",
    "transfer.saveAs",
    "transfer.showFinder",
    "transfers.activeOnly",
    "transfers.empty",
    "transfers.title",
    "trust.changeHelp",
    "trust.changedKey",
    "trust.replace",
    "trust.separate",
    "welcome.body",
    "welcome.privacy",
    "welcome.title",
};

const char* const kSendRejections[] = {"offline",  "blocked", "invalidText",
                                       "tooLarge", "busy",    "unavailable"};
const char* const kMessageDeliveries[] = {"queued",   "sending", "acknowledged", "unconfirmed",
                                          "received", "failed",  "cancelled"};

std::set<std::string> requiredKeys() {
  std::set<std::string> keys(std::begin(kNamedKeys), std::end(kNamedKeys));
  for (const auto* name : kSendRejections) keys.insert(std::string("send.") + name);
  for (const auto* name : kMessageDeliveries) keys.insert(std::string("delivery.") + name);
  for (int index = 0; index <= static_cast<int>(transfer::ContentFailure::Case::io); ++index) {
    keys.insert(transfer::transferErrorKey(static_cast<transfer::ContentFailure::Case>(index)));
  }
  for (int index = 0; index <= static_cast<int>(transfer::TransferState::failed); ++index) {
    keys.insert("transfer.state." +
                std::string(transfer::rawValue(static_cast<transfer::TransferState>(index))));
  }
  return keys;
}

class ShippedTables : public ::testing::Test {
 protected:
  const LocalizationTables tables = LocalizationTables::fromFolder(VELMORINE_LOCALIZATION_DIR);
};

TEST_F(ShippedTables, EnglishHoldsEveryKeyTheApplicationNames) {
  const auto* english = tables.table("en");
  ASSERT_NE(english, nullptr);
  const auto keys = requiredKeys();
  for (const auto& key : keys) EXPECT_TRUE(english->contains(key)) << key;
}

TEST_F(ShippedTables, EveryLanguageHoldsExactlyTheEnglishKeysWithTheirPlaceholders) {
  const auto* english = tables.table("en");
  ASSERT_NE(english, nullptr);
  const std::regex placeholder("%[0-9]");
  const auto placeholders = [&](const std::string& text) {
    std::multiset<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), placeholder);
         it != std::sregex_iterator(); ++it) {
      found.insert(it->str());
    }
    return found;
  };
  for (const auto code : kSupportedLanguageCodes) {
    const auto* table = tables.table(code);
    ASSERT_NE(table, nullptr) << code;
    EXPECT_EQ(table->size(), english->size()) << code;
    for (const auto& [key, text] : *table) {
      const auto found = english->find(key);
      ASSERT_NE(found, english->end()) << code << " " << key;
      EXPECT_FALSE(text.empty()) << code << " " << key;
      EXPECT_EQ(placeholders(text), placeholders(found->second)) << code << " " << key;
    }
  }
}

}  // namespace
}  // namespace velmorine::shell
