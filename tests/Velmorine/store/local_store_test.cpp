#include "Velmorine/store/local_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "tests/support/temporary_folder.h"

namespace velmorine::store {
namespace {

using core::Uuid;
namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

void write_text(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

mode_t mode_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

template <typename Open>
std::optional<LocalStoreError::Case> store_error_of(Open open) {
  try {
    open();
  } catch (const LocalStoreError& error) {
    return error.errorCase();
  }
  return std::nullopt;
}

Bytes key_bytes(std::uint8_t seed) { return Bytes(32, seed); }

SecurityAudit audit_entry(int n) {
  return {Uuid::random(), Date{static_cast<double>(n)}, Uuid::random(), "first-trust"};
}

class LocalStoreTest : public ::testing::Test {
 protected:
  testing::TemporaryFolder root;
  fs::path folder = root / "Application Support" / "Velmorine";
  fs::path document_path() const { return folder / LocalStore::kDocumentName; }
};

TEST_F(LocalStoreTest, FreshFolderOpensWithDefaultDocumentAndWritesNothing) {
  LocalStore store(folder);
  EXPECT_EQ(store.document(), StoreDocument{});
  EXPECT_EQ(store.url(), document_path());
  EXPECT_EQ(mode_of(folder), 0700u);
  EXPECT_EQ(mode_of(root / "Application Support"), 0700u);
  EXPECT_EQ(mode_of(folder / LocalStore::kLockName), 0600u);
  EXPECT_FALSE(fs::exists(document_path()));
  EXPECT_GE(store.lockFD(), 0);
}

TEST_F(LocalStoreTest, UpdateWritesPrivateDocumentThatReadsBack) {
  {
    LocalStore store(folder);
    store.update([](StoreDocument& document) {
      document.preferences.networkEnabled = true;
      document.trust["peer"] = TrustRecord{Uuid::random(), key_bytes(1), false, false};
    });
    EXPECT_TRUE(store.document().preferences.networkEnabled);
    EXPECT_EQ(mode_of(document_path()), 0600u);
    EXPECT_EQ(readStoreDocument(read_text(document_path())), store.document());
    EXPECT_FALSE(fs::exists(folder / "state-v1.json.new"));
  }
  LocalStore reopened(folder);
  EXPECT_TRUE(reopened.document().preferences.networkEnabled);
  EXPECT_EQ(reopened.document().trust.count("peer"), 1u);
}

TEST_F(LocalStoreTest, FolderThatIsALinkOrAFileIsCorrupt) {
  fs::create_directories(root / "real");
  fs::create_symlink(root / "real", root / "linked");
  write_text(root / "file", "x");
  for (const auto& path : {root / "linked", root / "file"}) {
    EXPECT_EQ(store_error_of([&] { LocalStore store(path); }), LocalStoreError::Case::corrupt)
        << path;
  }
  EXPECT_FALSE(fs::exists(root / "real" / LocalStore::kLockName));
}

TEST_F(LocalStoreTest, SecondOpenInTheSameProcessIsAlreadyRunning) {
  auto first = std::make_unique<LocalStore>(folder);
  EXPECT_EQ(store_error_of([&] { LocalStore second(folder); }),
            LocalStoreError::Case::alreadyRunning);
  // The refused open took nothing from the first store.
  first->update([](StoreDocument& document) { document.preferences.language = "en"; });
  EXPECT_EQ(store_error_of([&] { LocalStore second(folder); }),
            LocalStoreError::Case::alreadyRunning);
  first.reset();
  LocalStore third(folder);
  EXPECT_EQ(third.document().preferences.language, "en");
}

TEST_F(LocalStoreTest, ExistingLockFileIsUsedAsItIsAndNeverWritten) {
  fs::create_directories(folder);
  write_text(folder / LocalStore::kLockName, "left by an earlier run \x01\x02");
  {
    LocalStore store(folder);
    store.update([](StoreDocument& d) { d.preferences.appearance = "dark"; });
  }
  EXPECT_EQ(read_text(folder / LocalStore::kLockName), "left by an earlier run \x01\x02");
  EXPECT_EQ(LocalStore(folder).document().preferences.appearance, "dark");
}

TEST_F(LocalStoreTest, LockFileThatIsALinkOrAFolderFailsWithTheOpenError) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;
    int expected_errno;
  };
  const std::vector<Case> cases = {
      {"link",
       [](const fs::path& lock) { fs::create_symlink(lock.parent_path() / "elsewhere", lock); },
       ELOOP},
      {"folder", [](const fs::path& lock) { fs::create_directory(lock); }, EISDIR},
  };
  for (const auto& test : cases) {
    testing::TemporaryFolder place;
    test.plant(place / LocalStore::kLockName);
    try {
      LocalStore store(place.path());
      ADD_FAILURE() << test.name << ": opened";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::error_code(test.expected_errno, std::generic_category()))
          << test.name;
    }
    EXPECT_FALSE(fs::exists(place / "elsewhere")) << test.name;
  }
}

// A damaged or foreign document: opening fails with the expected error, releases the lock and
// leaves whatever is there as it was.
TEST_F(LocalStoreTest, DamagedDocumentsAreRefusedAndLeftAsTheyWere) {
  using Case_ = LocalStoreError::Case;
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;  // given the document path
    std::variant<Case_, std::int64_t /*newer schema*/, int /*errno*/, const char* /*decoding*/>
        expected;
  };
  const std::string valid = encodeStoreDocument(StoreDocument{});
  const auto padded = [&](std::size_t size) {
    return valid + std::string(size - valid.size(), ' ');
  };
  const std::vector<Case> cases = {
      {"link to a valid document",
       [&](const fs::path& doc) {
         write_text(doc.parent_path() / "target.json", valid);
         fs::create_symlink(doc.parent_path() / "target.json", doc);
       },
       Case_::corrupt},
      {"dangling link",
       [](const fs::path& doc) { fs::create_symlink(doc.parent_path() / "gone", doc); },
       Case_::corrupt},
      {"folder", [](const fs::path& doc) { fs::create_directory(doc); }, Case_::corrupt},
      {"fifo", [](const fs::path& doc) { ASSERT_EQ(::mkfifo(doc.c_str(), 0600), 0); },
       Case_::corrupt},
      {"one byte over 8 MiB",
       [&](const fs::path& doc) { write_text(doc, padded(LocalStore::kMaximumDocumentSize + 1)); },
       Case_::corrupt},
      {"schema 2", [](const fs::path& doc) { write_text(doc, R"({"schema":2})"); },
       std::int64_t{2}},
      {"schema 0", [](const fs::path& doc) { write_text(doc, R"({"schema":0,"trust":{}})"); },
       Case_::corrupt},
      {"no schema", [](const fs::path& doc) { write_text(doc, R"({"trust":{}})"); }, "decoding"},
      {"truncated",
       [&](const fs::path& doc) { write_text(doc, valid.substr(0, valid.size() / 2)); },
       "decoding"},
      {"empty", [](const fs::path& doc) { write_text(doc, ""); }, "decoding"},
      {"wrong type", [](const fs::path& doc) { write_text(doc, "[1,2,3]"); }, "decoding"},
      {"binary garbage",
       [](const fs::path& doc) { write_text(doc, std::string("\x00\xff\x13{", 4)); }, "decoding"},
  };
  for (const auto& test : cases) {
    testing::TemporaryFolder place;
    const fs::path doc = place / LocalStore::kDocumentName;
    test.plant(doc);
    const auto type_before = fs::symlink_status(doc).type();
    const std::string bytes_before =
        fs::is_regular_file(fs::symlink_status(doc)) ? read_text(doc) : "";
    for (int attempt = 0; attempt < 2; ++attempt) {  // the second attempt shows the lock was freed
      try {
        LocalStore store(place.path());
        ADD_FAILURE() << test.name << ": opened";
      } catch (const LocalStoreError& error) {
        if (error.errorCase() == Case_::newerSchema) {
          ASSERT_TRUE(std::holds_alternative<std::int64_t>(test.expected)) << test.name;
          EXPECT_EQ(error.payload(), std::get<std::int64_t>(test.expected)) << test.name;
        } else {
          ASSERT_TRUE(std::holds_alternative<Case_>(test.expected))
              << test.name << " " << error.what();
          EXPECT_EQ(error.errorCase(), std::get<Case_>(test.expected)) << test.name;
        }
      } catch (const StoreDecodingError&) {
        EXPECT_TRUE(std::holds_alternative<const char*>(test.expected)) << test.name;
      }
    }
    EXPECT_EQ(fs::symlink_status(doc).type(), type_before) << test.name;
    if (type_before == fs::file_type::regular) {
      EXPECT_EQ(read_text(doc), bytes_before) << test.name;
    }
    EXPECT_FALSE(fs::exists(place / "state-v1.json.new")) << test.name;
  }
}

TEST_F(LocalStoreTest, DocumentOfExactlyEightMebibytesIsRead) {
  fs::create_directories(folder);
  std::string text = encodeStoreDocument(StoreDocument{});
  text.resize(LocalStore::kMaximumDocumentSize, ' ');
  write_text(document_path(), text);
  LocalStore store(folder);
  EXPECT_EQ(store.document(), StoreDocument{});
}

TEST_F(LocalStoreTest, ChangeThatThrowsLeavesFileAndDocumentUntouched) {
  LocalStore store(folder);
  EXPECT_THROW(store.update([](StoreDocument& document) {
    document.preferences.language = "ru";
    throw std::runtime_error("refused");
  }),
               std::runtime_error);
  EXPECT_FALSE(fs::exists(document_path()));
  store.update([](StoreDocument& document) { document.preferences.language = "ko"; });
  const std::string written = read_text(document_path());
  EXPECT_THROW(store.update([](StoreDocument& document) {
    document.preferences.language = "ru";
    throw 42;
  }),
               int);
  EXPECT_EQ(store.document().preferences.language, "ko");
  EXPECT_EQ(read_text(document_path()), written);
}

TEST_F(LocalStoreTest, ChangesBreakingALimitOrARuleAreCapacityAndWriteNothing) {
  struct Case {
    const char* name;
    LocalStore::Change change;
    bool accepted;
  };
  const Uuid identity_id = Uuid::random();
  const std::vector<Case> cases = {
      {"schema changed", [](StoreDocument& d) { d.schema = 2; }, false},
      {"trust 4096",
       [](StoreDocument& d) {
         for (int i = 1; i < 4096; ++i) d.trust[std::to_string(i)] = d.trust.begin()->second;
       },
       true},
      {"trust 4097",
       [](StoreDocument& d) {
         for (int i = 1; i < 4097; ++i) d.trust[std::to_string(i)] = d.trust.begin()->second;
       },
       false},
      {"audit 10000",
       [](StoreDocument& d) {
         while (d.audit.size() < 10000) d.audit.push_back(audit_entry(2));
       },
       true},
      {"audit 10001",
       [](StoreDocument& d) {
         while (d.audit.size() < 10001) d.audit.push_back(audit_entry(2));
       },
       false},
      {"audit entry altered", [](StoreDocument& d) { d.audit[0].action = "block"; }, false},
      {"audit entry re-dated", [](StoreDocument& d) { d.audit[0].date = Date{99}; }, false},
      {"audit entry dropped", [](StoreDocument& d) { d.audit.clear(); }, false},
      {"audit entry inserted before",
       [](StoreDocument& d) { d.audit.insert(d.audit.begin(), audit_entry(0)); }, false},
      {"received 10000", [](StoreDocument& d) { d.received.resize(10000, d.received.front()); },
       true},
      {"received 10001", [](StoreDocument& d) { d.received.resize(10001, d.received.front()); },
       false},
      {"pending 128",
       [](StoreDocument& d) {
         d.pendingReceives.emplace();
         for (int i = 0; i < 128; ++i) (*d.pendingReceives)[std::to_string(i)];
       },
       true},
      {"pending 129",
       [](StoreDocument& d) {
         d.pendingReceives.emplace();
         for (int i = 0; i < 129; ++i) (*d.pendingReceives)[std::to_string(i)];
       },
       false},
      {"pending absent", [](StoreDocument& d) { d.pendingReceives.reset(); }, true},
      {"identity set",
       [&](StoreDocument& d) {
         d.identity = IdentityMetadata{identity_id, key_bytes(7)};
       },
       true},
  };
  for (const auto& test : cases) {
    testing::TemporaryFolder place;
    LocalStore store(place.path());
    store.update([](StoreDocument& d) {
      d.trust["first"] = TrustRecord{Uuid::random(), key_bytes(1), false, false};
      d.audit.push_back(audit_entry(1));
      d.received.push_back(ReceiveIndexEntry{Uuid::random(), Bytes{1, 2}, Date{3}});
      d.pendingReceives.emplace();
    });
    const StoreDocument before = store.document();
    const std::string bytes_before = read_text(place / LocalStore::kDocumentName);
    const auto error = store_error_of([&] { store.update(test.change); });
    if (test.accepted) {
      EXPECT_EQ(error, std::nullopt) << test.name;
      EXPECT_NE(store.document(), before) << test.name;
    } else {
      EXPECT_EQ(error, LocalStoreError::Case::capacity) << test.name;
      EXPECT_EQ(store.document(), before) << test.name;
      EXPECT_EQ(read_text(place / LocalStore::kDocumentName), bytes_before) << test.name;
    }
  }
}

TEST_F(LocalStoreTest, StoredIdentityNeverChanges) {
  LocalStore store(folder);
  const IdentityMetadata identity{Uuid::random(), key_bytes(5)};
  store.update([&](StoreDocument& d) { d.identity = identity; });
  const std::vector<std::pair<const char*, LocalStore::Change>> changes = {
      {"other id", [](StoreDocument& d) { d.identity->id = Uuid::random(); }},
      {"other key", [](StoreDocument& d) { d.identity->publicKey[31] ^= 1; }},
      {"longer key", [](StoreDocument& d) { d.identity->publicKey.push_back(0); }},
      {"removed", [](StoreDocument& d) { d.identity.reset(); }},
  };
  for (const auto& [name, change] : changes) {
    EXPECT_EQ(store_error_of([&] { store.update(change); }), LocalStoreError::Case::capacity)
        << name;
    EXPECT_EQ(store.document().identity, identity) << name;
  }
  store.update([&](StoreDocument& d) { d.identity = identity; });  // the same value is no change
}

TEST_F(LocalStoreTest, EncodingSizeLimitIsEightMebibytes) {
  LocalStore store(folder);
  StoreDocument probe;
  probe.preferences.displayName.clear();
  const std::size_t base = encodeStoreDocument(probe).size();
  const auto sized = [&](std::size_t size) {
    return [size, base](StoreDocument& d) { d.preferences.displayName.assign(size - base, 'n'); };
  };
  EXPECT_EQ(store_error_of([&] { store.update(sized(LocalStore::kMaximumDocumentSize + 1)); }),
            LocalStoreError::Case::capacity);
  EXPECT_FALSE(fs::exists(document_path()));
  store.update(sized(LocalStore::kMaximumDocumentSize));
  EXPECT_EQ(fs::file_size(document_path()), LocalStore::kMaximumDocumentSize);
}

TEST_F(LocalStoreTest, DocumentThatCannotBeEncodedWritesNothing) {
  LocalStore store(folder);
  EXPECT_THROW(store.update([](StoreDocument& d) { d.preferences.displayName = "\xff"; }),
               StoreEncodingError);
  EXPECT_FALSE(fs::exists(document_path()));
  EXPECT_EQ(store.document(), StoreDocument{});
}

}  // namespace
}  // namespace velmorine::store
