// Synchronisation helpers of the platform layer: manual- and auto-reset
// events that threads wait on with a time-out, the critical-section alias,
// and NamedFileLock, a system-wide named lock (flock on a lock file) that
// processes take with a time-out.
//
// Decisions: time-outs are milliseconds, negative meaning "wait for ever";
// waits measure against the steady clock and survive spurious wake-ups.
// TCriticalSection is std::mutex and, unlike some platforms' critical
// sections, not recursive. A NamedFileLock keeps its lock file after use
// (deleting it would let a third process lock a file that is already gone);
// flock locks belong to the open file, so two NamedFileLock objects on the
// same file exclude each other even inside one process.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace lumo {

using TCriticalSection = std::mutex;
using TCriticalSectionLock = std::lock_guard<std::mutex>;

// Stays signalled until ResetEvent; every waiter is released.
class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initialState = false) : FSignalled(initialState) {}
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  bool IsSet() const;
  // True when the event is (or becomes) signalled within `timeoutMs`.
  bool WaitFor(std::int64_t timeoutMs);

 private:
  mutable std::mutex FLock;
  std::condition_variable FCond;
  bool FSignalled;
};

// Releases one waiter per SetEvent and resets itself as it does; a signal
// with nobody waiting is kept for the next waiter.
class AutoResetEvent {
 public:
  explicit AutoResetEvent(bool initialState = false) : FSignalled(initialState) {}
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  bool WaitFor(std::int64_t timeoutMs);

 private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FSignalled;
};

// An exclusive lock shared by every process that names the same lock file.
// The lock is released by Release() or the destructor (and by the system
// when the process ends). One object is used by one thread at a time.
class NamedFileLock {
 public:
  // Opens (creating with mode 0600 when absent) `lockFilePath`; symbolic
  // links are not followed. Failure raises EOSError
  // "Cannot open lock file \"%s\". %s".
  explicit NamedFileLock(std::string lockFilePath);
  ~NamedFileLock();
  NamedFileLock(const NamedFileLock&) = delete;
  NamedFileLock& operator=(const NamedFileLock&) = delete;

  // Takes the lock, polling until `timeoutMs` has passed (negative: waits
  // for ever); returns false on time-out. Taking a lock already held by this
  // object returns true at once. Other failures raise EOSError.
  bool Acquire(std::int64_t timeoutMs);
  void Release();
  bool Held() const noexcept { return FHeld; }
  const std::string& Path() const noexcept { return FPath; }

  // The lock file for a name: the name trimmed, lower-cased, cut to 242
  // bytes, with '/', ':' and '\' made blanks, in $XDG_RUNTIME_DIR (or /tmp)
  // as "lumokit-<name>.lock". An empty name raises EArgumentError.
  static std::string PathForName(const std::string& name);

 private:
  std::string FPath;
  int FHandle = -1;
  bool FHeld = false;
};

}  // namespace lumo
