#pragma once

// A SQLite file layer for a child process that is about to be killed: it passes every call
// to the system's layer and counts the calls that change files (write, truncate, sync,
// delete). At the chosen count it reports kCrashPointReached through a pipe and stops there
// for good, so the parent kills it at an exact, repeatable point inside a write.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace velmorine::store::testing {

inline constexpr uint64_t kCrashPointReached = ~uint64_t{0};

namespace crash_point {

struct State {
  sqlite3_vfs* system = nullptr;
  sqlite3_vfs layer{};
  sqlite3_io_methods methods{};
  uint64_t calls = 0;
  uint64_t stopAt = 0;
  int report = -1;
};

inline State& state() {
  static State instance;
  return instance;
}

// The system's file lives right behind ours in the block SQLite allocates.
struct File {
  sqlite3_file base;
  sqlite3_file* system;
};

inline void count() {
  State& s = state();
  if (++s.calls != s.stopAt) return;
  uint64_t marker = kCrashPointReached;
  if (::write(s.report, &marker, sizeof marker) != sizeof marker) ::_exit(3);
  for (;;) ::pause();
}

inline sqlite3_file* real(sqlite3_file* file) { return reinterpret_cast<File*>(file)->system; }

inline int close(sqlite3_file* f) { return real(f)->pMethods->xClose(real(f)); }
inline int read(sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
  return real(f)->pMethods->xRead(real(f), b, n, o);
}
inline int write(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
  count();
  return real(f)->pMethods->xWrite(real(f), b, n, o);
}
inline int truncate(sqlite3_file* f, sqlite3_int64 size) {
  count();
  return real(f)->pMethods->xTruncate(real(f), size);
}
inline int sync(sqlite3_file* f, int flags) {
  count();
  return real(f)->pMethods->xSync(real(f), flags);
}
inline int fileSize(sqlite3_file* f, sqlite3_int64* size) {
  return real(f)->pMethods->xFileSize(real(f), size);
}
inline int lock(sqlite3_file* f, int level) { return real(f)->pMethods->xLock(real(f), level); }
inline int unlock(sqlite3_file* f, int level) { return real(f)->pMethods->xUnlock(real(f), level); }
inline int checkReserved(sqlite3_file* f, int* out) {
  return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
inline int fileControl(sqlite3_file* f, int op, void* arg) {
  return real(f)->pMethods->xFileControl(real(f), op, arg);
}
inline int sectorSize(sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); }
inline int deviceCharacteristics(sqlite3_file* f) {
  return real(f)->pMethods->xDeviceCharacteristics(real(f));
}

inline int open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out) {
  State& s = state();
  auto* ours = reinterpret_cast<File*>(file);
  ours->system = reinterpret_cast<sqlite3_file*>(ours + 1);
  int result = s.system->xOpen(s.system, name, ours->system, flags, out);
  // Without methods SQLite does not close the file; keep ours absent too.
  ours->base.pMethods = ours->system->pMethods != nullptr ? &s.methods : nullptr;
  return result;
}

inline int remove(sqlite3_vfs*, const char* name, int syncFolder) {
  count();
  return state().system->xDelete(state().system, name, syncFolder);
}

}  // namespace crash_point

// Makes the counting layer SQLite's default for this process; the `stopAt`-th file change
// reports and stops. Only for a forked child that its parent will kill.
inline void installCrashPoint(uint64_t stopAt, int report) {
  using namespace crash_point;
  State& s = state();
  s.system = sqlite3_vfs_find(nullptr);
  s.stopAt = stopAt;
  s.report = report;
  // Version 1 methods: no shared memory (the history does not use WAL) and no mapping.
  s.methods = sqlite3_io_methods{};
  s.methods.iVersion = 1;
  s.methods.xClose = close;
  s.methods.xRead = read;
  s.methods.xWrite = write;
  s.methods.xTruncate = truncate;
  s.methods.xSync = sync;
  s.methods.xFileSize = fileSize;
  s.methods.xLock = lock;
  s.methods.xUnlock = unlock;
  s.methods.xCheckReservedLock = checkReserved;
  s.methods.xFileControl = fileControl;
  s.methods.xSectorSize = sectorSize;
  s.methods.xDeviceCharacteristics = deviceCharacteristics;
  std::memcpy(&s.layer, s.system, sizeof s.layer);
  s.layer.pNext = nullptr;
  s.layer.zName = "crash-point";
  s.layer.szOsFile = static_cast<int>(sizeof(File)) + s.system->szOsFile;
  s.layer.xOpen = open;
  s.layer.xDelete = remove;
  sqlite3_vfs_register(&s.layer, 1);
}

}  // namespace velmorine::store::testing
