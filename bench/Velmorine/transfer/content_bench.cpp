// Content on disk beside the plain tools that do the same job, on the disk of the folder the
// benchmark runs in (run it from the build folder, not from a tmpfs):
// - preparing a 1 GiB file, and a folder of 4,095 files of 4 KiB (the entry limit with the
//   folder itself), warm in the page cache, against sha256sum of the same files;
// - a staged receive of both sets (set-up, 1 MiB writes, each file's seal, the commit) against
//   plain writes with an fsync of each file and folder.
// Each iteration runs both sides; the counters give their speeds and the ratio (ours over theirs
// in speed, so above 1 is faster).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Velmorine/transfer/atomic_receive.h"
#include "Velmorine/transfer/content_digest.h"
#include "Velmorine/transfer/content_preparation.h"
#include "platform/files/unique_fd.h"
#include "platform/volume/volume.h"

extern char** environ;

namespace velmorine::transfer {
namespace {

constexpr std::size_t kMiB = 1 << 20;
constexpr std::size_t kLargeFileMiB = 1024;
constexpr int kFolderFiles = 4095;
constexpr std::size_t kSmallFile = 4096;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(seed >> 16);
  }
  return bytes;
}

void writeWhole(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written <= 0) throw std::runtime_error("write");
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void syncPath(const std::filesystem::path& path) {
  const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ::fsync(fd.get());
}

// Removes what one side wrote and flushes the removal, so the other side's next fsync does not
// pay for it.
void removeUntimed(const std::filesystem::path& path) {
  std::filesystem::remove_all(path);
  ::sync();
}

// Both data sets, made once in the working folder and removed at exit.
class BenchData {
 public:
  BenchData() : root_(std::filesystem::current_path() / "velmorine-transfer-bench") {
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "folder");
    const platform::UniqueFd rootFd(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (platform::volume_status(rootFd.get()).type == 0x01021994) {
      std::fprintf(stderr, "note: %s is on tmpfs; run from a folder on a disk\n", root_.c_str());
    }
    block_ = pattern(kMiB, 7);
    {
      const platform::UniqueFd fd(
          ::open((root_ / "large.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
      for (std::size_t i = 0; i < kLargeFileMiB; ++i) writeWhole(fd.get(), block_.data(), kMiB);
      ::fsync(fd.get());
    }
    ContentDigest digest;
    for (std::size_t i = 0; i < kLargeFileMiB; ++i) digest.update(block_);
    largeDigest_ = digest.hexOfCopy();
    for (int i = 0; i < kFolderFiles; ++i) {
      small_.push_back(pattern(kSmallFile, static_cast<std::uint32_t>(i + 1)));
      const auto path = root_ / "folder" / ("file-" + std::to_string(i));
      const platform::UniqueFd fd(
          ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
      writeWhole(fd.get(), small_.back().data(), kSmallFile);
      ContentDigest smallDigest;
      smallDigest.update(small_.back());
      smallDigests_.push_back(smallDigest.hexOfCopy());
      folderFiles_.push_back(path.string());
    }
    ::sync();
  }
  ~BenchData() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path large() const { return root_ / "large.bin"; }
  std::filesystem::path folder() const { return root_ / "folder"; }
  const std::vector<std::string>& folderFiles() const { return folderFiles_; }
  const std::vector<std::uint8_t>& block() const { return block_; }
  const std::string& largeDigest() const { return largeDigest_; }
  const std::vector<std::vector<std::uint8_t>>& small() const { return small_; }
  const std::vector<std::string>& smallDigests() const { return smallDigests_; }

 private:
  std::filesystem::path root_;
  std::vector<std::uint8_t> block_;
  std::string largeDigest_;
  std::vector<std::vector<std::uint8_t>> small_;
  std::vector<std::string> smallDigests_;
  std::vector<std::string> folderFiles_;
};

BenchData& data() {
  static BenchData instance;
  return instance;
}

// sha256sum over the files, its output thrown away.
double runSha256sum(const std::vector<std::string>& files) {
  std::vector<char*> argv;
  std::string program = "sha256sum";
  argv.push_back(program.data());
  std::vector<std::string> copies = files;
  for (auto& file : copies) argv.push_back(file.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t child = 0;
  if (posix_spawnp(&child, "sha256sum", &actions, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("cannot run sha256sum");
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  const double seconds = secondsSince(start);
  posix_spawn_file_actions_destroy(&actions);
  return seconds;
}

double prepare(const ContentUrl& url) {
  ContentCancellation cancellation;
  const auto start = Clock::now();
  const auto batch = prepareBatch({url}, false, cancellation, {}, nullptr);
  const double seconds = secondsSince(start);
  benchmark::DoNotOptimize(batch->totalBytes());
  return seconds;
}

void report(benchmark::State& state, double bytes, double ours, double theirs, const char* oursName,
            const char* theirsName) {
  const double iterations = static_cast<double>(state.iterations());
  state.counters[std::string(oursName) + "_MiB_per_s"] = bytes * iterations / ours / kMiB;
  state.counters[std::string(theirsName) + "_MiB_per_s"] = bytes * iterations / theirs / kMiB;
  state.counters["speed_ratio"] = theirs / ours;
}

void BM_PrepareLargeFileBesideSha256sum(benchmark::State& state) {
  const auto url = ContentUrl::file(data().large());
  prepare(url);  // warm the cache
  double ours = 0;
  double theirs = 0;
  for (auto _ : state) {
    ours += prepare(url);
    theirs += runSha256sum({data().large().string()});
  }
  report(state, kLargeFileMiB * kMiB, ours, theirs, "prepare", "sha256sum");
}
BENCHMARK(BM_PrepareLargeFileBesideSha256sum)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_PrepareFolderBesideSha256sum(benchmark::State& state) {
  const auto url = ContentUrl::file(data().folder(), true);
  prepare(url);
  double ours = 0;
  double theirs = 0;
  for (auto _ : state) {
    ours += prepare(url);
    theirs += runSha256sum(data().folderFiles());
  }
  report(state, kFolderFiles * kSmallFile, ours, theirs, "prepare", "sha256sum");
}
BENCHMARK(BM_PrepareFolderBesideSha256sum)
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

ContentEntry fileEntry(std::int64_t index, std::string path, std::uint64_t size,
                       std::string digest) {
  return {index, std::move(path), false, size, "2024-05-01T10:20:30.000Z", std::move(digest)};
}

// The staged receive of the large file; the clean-up afterwards is not timed.
double receiveLarge(const std::filesystem::path& destination) {
  const std::vector<ContentEntry> entries = {
      fileEntry(0, "large.bin", kLargeFileMiB * kMiB, data().largeDigest())};
  const auto start = Clock::now();
  AtomicReceive receive(ContentUrl::file(destination, true), core::Uuid::random(), entries, 1,
                        kLargeFileMiB * kMiB);
  receive.beginFile(0);
  for (std::size_t i = 0; i < kLargeFileMiB; ++i) receive.write(0, i * kMiB, data().block());
  receive.finishFile(0);
  const ContentUrl final = receive.commit();
  const double seconds = secondsSince(start);
  receive.cancel();
  removeUntimed(final.path());
  return seconds;
}

double plainWriteLarge(const std::filesystem::path& destination) {
  const auto folder = destination / "plain";
  const auto start = Clock::now();
  ::mkdir(folder.c_str(), 0700);
  {
    const platform::UniqueFd fd(
        ::open((folder / "large.bin").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    for (std::size_t i = 0; i < kLargeFileMiB; ++i)
      writeWhole(fd.get(), data().block().data(), kMiB);
    ::fsync(fd.get());
  }
  syncPath(folder);
  syncPath(destination);
  const double seconds = secondsSince(start);
  removeUntimed(folder);
  return seconds;
}

double receiveFolder(const std::filesystem::path& destination) {
  std::vector<ContentEntry> entries;
  entries.push_back({0, "set", true, 0, "2024-05-01T10:20:30.000Z", std::nullopt});
  for (int i = 0; i < kFolderFiles; ++i) {
    entries.push_back(fileEntry(i + 1, "set/file-" + std::to_string(i), kSmallFile,
                                data().smallDigests()[static_cast<std::size_t>(i)]));
  }
  const auto start = Clock::now();
  AtomicReceive receive(ContentUrl::file(destination, true), core::Uuid::random(), entries, 1,
                        static_cast<std::uint64_t>(kFolderFiles) * kSmallFile);
  for (int i = 0; i < kFolderFiles; ++i) {
    receive.beginFile(i + 1);
    receive.write(i + 1, 0, data().small()[static_cast<std::size_t>(i)]);
    receive.finishFile(i + 1);
  }
  const ContentUrl final = receive.commit();
  const double seconds = secondsSince(start);
  receive.cancel();
  removeUntimed(final.path());
  return seconds;
}

double plainWriteFolder(const std::filesystem::path& destination) {
  const auto top = destination / "plain";
  const auto folder = top / "set";
  const auto start = Clock::now();
  ::mkdir(top.c_str(), 0700);
  ::mkdir(folder.c_str(), 0700);
  const platform::UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < kFolderFiles; ++i) {
    const std::string name = "file-" + std::to_string(i);
    const platform::UniqueFd fd(
        ::openat(folderFd.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    writeWhole(fd.get(), data().small()[static_cast<std::size_t>(i)].data(), kSmallFile);
    ::fsync(fd.get());
  }
  ::fsync(folderFd.get());
  syncPath(top);
  syncPath(destination);
  const double seconds = secondsSince(start);
  removeUntimed(top);
  return seconds;
}

void BM_StagedReceiveLargeFileBesidePlainWrite(benchmark::State& state) {
  const auto destination = data().root() / "received";
  std::filesystem::create_directories(destination);
  // One untimed round of each first: the first gigabyte written has to take its pages from
  // whatever else the cache holds, and later rounds reuse the pages the last one freed.
  receiveLarge(destination);
  plainWriteLarge(destination);
  double ours = 0;
  double theirs = 0;
  for (auto _ : state) {
    ours += receiveLarge(destination);
    theirs += plainWriteLarge(destination);
  }
  report(state, kLargeFileMiB * kMiB, ours, theirs, "receive", "plain_write");
}
BENCHMARK(BM_StagedReceiveLargeFileBesidePlainWrite)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_StagedReceiveFolderBesidePlainWrite(benchmark::State& state) {
  const auto destination = data().root() / "received";
  std::filesystem::create_directories(destination);
  receiveFolder(destination);
  plainWriteFolder(destination);
  double ours = 0;
  double theirs = 0;
  for (auto _ : state) {
    ours += receiveFolder(destination);
    theirs += plainWriteFolder(destination);
  }
  report(state, kFolderFiles * kSmallFile, ours, theirs, "receive", "plain_write");
}
BENCHMARK(BM_StagedReceiveFolderBesidePlainWrite)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace velmorine::transfer

BENCHMARK_MAIN();
