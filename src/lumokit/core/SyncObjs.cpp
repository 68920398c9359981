#include <lumokit/core/SyncObjs.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>
#include <lumokit/core/Ticks.h>

namespace lumo {

namespace {

// Waits on `cond` until `ready()` or the time-out; the caller holds `lock`.
template <class Ready>
bool WaitUntilReady(std::condition_variable& cond, std::unique_lock<std::mutex>& lock, std::int64_t timeoutMs,
                    Ready ready) {
  if (timeoutMs < 0) {
    cond.wait(lock, ready);
    return true;
  }
  return cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace

// -------------------------------------------------------- ManualResetEvent

void ManualResetEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FSignalled = true;
  }
  FCond.notify_all();
}

void ManualResetEvent::ResetEvent() {
  std::lock_guard<std::mutex> guard(FLock);
  FSignalled = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSignalled;
}

bool ManualResetEvent::WaitFor(std::int64_t timeoutMs) {
  std::unique_lock<std::mutex> lock(FLock);
  return WaitUntilReady(FCond, lock, timeoutMs, [this] { return FSignalled; });
}

// ---------------------------------------------------------- AutoResetEvent

void AutoResetEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FSignalled = true;
  }
  FCond.notify_one();
}

void AutoResetEvent::ResetEvent() {
  std::lock_guard<std::mutex> guard(FLock);
  FSignalled = false;
}

bool AutoResetEvent::WaitFor(std::int64_t timeoutMs) {
  std::unique_lock<std::mutex> lock(FLock);
  if (!WaitUntilReady(FCond, lock, timeoutMs, [this] { return FSignalled; })) return false;
  FSignalled = false;
  return true;
}

// ----------------------------------------------------------- NamedFileLock

NamedFileLock::NamedFileLock(std::string lockFilePath) : FPath(std::move(lockFilePath)) {
  int fd;
  do {
    fd = ::open(FPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    throw EOSError(Format("Cannot open lock file \"%s\". %s", {FPath, SysErrorMessage(err)}), err);
  }
  FHandle = fd;
}

NamedFileLock::~NamedFileLock() {
  Release();
  if (FHandle >= 0) ::close(FHandle);
}

bool NamedFileLock::Acquire(std::int64_t timeoutMs) {
  if (FHeld) return true;
  if (timeoutMs < 0) {
    while (::flock(FHandle, LOCK_EX) < 0) {
      if (errno != EINTR) {
        int err = errno;
        throw EOSError(Format("Cannot lock \"%s\". %s", {FPath, SysErrorMessage(err)}), err);
      }
    }
    FHeld = true;
    return true;
  }
  const std::uint64_t start = GetTickCount64();
  std::int64_t pause = 1;
  for (;;) {
    if (::flock(FHandle, LOCK_EX | LOCK_NB) == 0) {
      FHeld = true;
      return true;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK) throw EOSError(Format("Cannot lock \"%s\". %s", {FPath, SysErrorMessage(err)}), err);
    auto elapsed = static_cast<std::int64_t>(TickDiff(start, GetTickCount64()));
    if (elapsed >= timeoutMs) return false;
    // Poll quickly at first, then at most every 20 ms, never past the end.
    Sleep(std::min({pause, timeoutMs - elapsed, std::int64_t{20}}));
    pause = std::min<std::int64_t>(pause * 2, 20);
  }
}

void NamedFileLock::Release() {
  if (!FHeld) return;
  while (::flock(FHandle, LOCK_UN) < 0 && errno == EINTR) {
  }
  FHeld = false;
}

std::string NamedFileLock::PathForName(const std::string& name) {
  std::string n = name;
  auto first = n.find_first_not_of(" \t\r\n");
  auto last = n.find_last_not_of(" \t\r\n");
  n = first == std::string::npos ? std::string() : n.substr(first, last - first + 1);
  // "lumokit-" + name + ".lock" must fit in a file name (255 bytes).
  if (n.size() > 242) n.resize(242);
  for (char& c : n) {
    c = AsciiLower(c);
    if (c == '/' || c == ':' || c == '\\') c = ' ';
  }
  if (n.empty()) throw EArgumentError("Lock name is empty");
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = (dir && *dir == '/') ? dir : "/tmp";
  return folder + "/lumokit-" + n + ".lock";
}

}  // namespace lumo
