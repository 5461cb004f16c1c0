// The store between processes: the lock keeps two processes apart and dies with its holder, and a
// process killed in the middle of updates leaves a document that some prefix of them produced.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "Velmorine/store/local_store.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::store {
namespace {

using core::Uuid;

// A pipe whose ends close with it.
struct Pipe {
  int read_end = -1;
  int write_end = -1;
  Pipe() {
    int ends[2];
    if (::pipe(ends) != 0) throw std::runtime_error("pipe");
    read_end = ends[0];
    write_end = ends[1];
  }
  ~Pipe() {
    if (read_end >= 0) ::close(read_end);
    if (write_end >= 0) ::close(write_end);
  }
};

bool read_exact(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

void write_exact(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = ::write(fd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) ::_exit(3);
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
}

void kill_and_reap(pid_t child) {
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

LocalStoreError::Case open_error(const std::filesystem::path& folder) {
  try {
    LocalStore store(folder);
  } catch (const LocalStoreError& error) {
    return error.errorCase();
  }
  ADD_FAILURE() << "the second store opened";
  return LocalStoreError::Case::corrupt;
}

TEST(LocalStoreProcesses, LockHeldByAnotherProcessUntilItIsKilled) {
  testing::TemporaryFolder folder;
  Pipe reports;   // child -> parent: one byte per finished step
  Pipe commands;  // parent -> child: one byte per step to take
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      LocalStore store(folder.path());
      for (const char* language : {"first", "second"}) {
        char command = 0;
        if (!read_exact(commands.read_end, &command, 1)) ::_exit(4);
        store.update([&](StoreDocument& d) { d.preferences.language = language; });
        write_exact(reports.write_end, "y", 1);
      }
      char never = 0;
      read_exact(commands.read_end, &never, 1);  // waits to be killed
    } catch (...) {
      write_exact(reports.write_end, "n", 1);
    }
    ::_exit(0);
  }
  char report = 0;
  write_exact(commands.write_end, "1", 1);
  ASSERT_TRUE(read_exact(reports.read_end, &report, 1));
  ASSERT_EQ(report, 'y');

  EXPECT_EQ(open_error(folder.path()), LocalStoreError::Case::alreadyRunning);
  // The refused open left the holder's lock and document alone: it goes on updating.
  write_exact(commands.write_end, "2", 1);
  ASSERT_TRUE(read_exact(reports.read_end, &report, 1));
  EXPECT_EQ(report, 'y');
  EXPECT_EQ(open_error(folder.path()), LocalStoreError::Case::alreadyRunning);

  kill_and_reap(child);
  LocalStore store(folder.path());
  EXPECT_EQ(store.document().preferences.language, "second");
}

// Step `i` of a stream of updates, deterministic so that the parent can rebuild every state.
void apply_step(StoreDocument& document, std::uint32_t i) {
  Uuid::Bytes bytes{};
  for (std::size_t b = 0; b < 4; ++b) bytes[12 + b] = static_cast<std::uint8_t>(i >> (8 * b));
  const Uuid step_id(bytes);
  document.audit.push_back({step_id, Date{i + 0.25}, step_id, "first-trust"});
  document.trust["peer-" + std::to_string(i % 300)] =
      TrustRecord{step_id, Bytes(32, static_cast<std::uint8_t>(i)), i % 2 == 0, i % 7 == 0};
  // Sizes vary so that kills land at different places of the write.
  document.preferences.destinationBookmark =
      Bytes((i * 7919) % 60000, static_cast<std::uint8_t>(i));
  document.preferences.displayName = "step " + std::to_string(i);
}

constexpr std::uint32_t kMaximumSteps = 400;

// Runs the stream of updates in a child that `prepare` may limit, hands the child and the
// progress pipe to `stop`, and checks that the reopened store holds the state after some step
// no earlier than the last one reported.
template <typename Prepare, typename Stop>
void run_interrupted_writer(const std::string& label, Prepare prepare, Stop stop) {
  testing::TemporaryFolder folder;
  Pipe progress;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(progress.read_end);
    try {
      LocalStore store(folder.path());
      prepare();
      for (std::uint32_t i = 1; i <= kMaximumSteps; ++i) {
        store.update([i](StoreDocument& d) { apply_step(d, i); });
        write_exact(progress.write_end, &i, sizeof i);
      }
    } catch (...) {
      ::_exit(2);
    }
    ::_exit(0);
  }
  ::close(progress.write_end);
  progress.write_end = -1;
  const std::uint32_t reported = stop(child, progress.read_end);

  LocalStore store(folder.path());
  const StoreDocument& found = store.document();
  const auto steps = static_cast<std::uint32_t>(found.audit.size());
  EXPECT_GE(steps, reported) << label << ": a finished update was lost";
  StoreDocument expected;
  for (std::uint32_t i = 1; i <= steps; ++i) apply_step(expected, i);
  EXPECT_EQ(found, expected) << label << ": not the state after " << steps << " steps";
  // Whatever the interruption left behind does not stand in the way of the next update.
  store.update([&](StoreDocument& d) { apply_step(d, steps + 1); });
}

TEST(LocalStoreProcesses, WriterKilledAfterSeededUpdateCountLeavesAPrefixState) {
  std::mt19937 random(20261210);
  for (int run = 0; run < 20; ++run) {
    const std::uint32_t kill_after = std::uniform_int_distribution<std::uint32_t>(1, 60)(random);
    run_interrupted_writer(
        "run " + std::to_string(run), [] {},
        [&](pid_t child, int progress) {
          std::uint32_t done = 0;
          while (done < kill_after) {
            if (!read_exact(progress, &done, sizeof done)) break;
          }
          EXPECT_EQ(done, kill_after);
          kill_and_reap(child);
          return done;
        });
  }
}

// The file-size limit stops the writer inside a write at an exact byte: the kernel writes up to
// the limit and kills the process with SIGXFSZ on the next write, tearing the file being written.
TEST(LocalStoreProcesses, WriterKilledInsideAWriteAtSeededBytesLeavesAPrefixState) {
  std::mt19937 random(17);
  for (int run = 0; run < 20; ++run) {
    const rlim_t limit = std::uniform_int_distribution<rlim_t>(600, 70000)(random);
    run_interrupted_writer(
        "limit " + std::to_string(limit),
        [limit] {
          const rlimit no_core{0, 0};
          ::setrlimit(RLIMIT_CORE, &no_core);
          const rlimit file_size{limit, limit};
          ::setrlimit(RLIMIT_FSIZE, &file_size);
        },
        [](pid_t child, int progress) {
          std::uint32_t done = 0;
          std::uint32_t step = 0;
          while (read_exact(progress, &step, sizeof step)) done = step;
          int status = 0;
          EXPECT_EQ(::waitpid(child, &status, 0), child);
          EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
          return done;
        });
  }
}

}  // namespace
}  // namespace velmorine::store
