#include <lumokit/mysql/wire/MySqlEmbLog.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <lumokit/core/SysUtils.h>

namespace lumo {

namespace {

void CloseFd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void WriteAll(int fd, const char* data, std::size_t count) noexcept {
  while (count > 0) {
    const ssize_t n = ::write(fd, data, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    count -= static_cast<std::size_t>(n);
  }
}

}  // namespace

TEmbLogCapture::TEmbLogCapture(TSink onGeneralLog, TSink onErrorLog) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/lumokit-emb-XXXXXX";
  if (!::mkdtemp(pattern.data())) RaiseLastOSError("Cannot create the embedded server's log folder " + pattern);
  FFolder = pattern;
  FGeneral.Path = FFolder + "/general.log";
  FError.Path = FFolder + "/error.log";
  FGeneral.Sink = std::move(onGeneralLog);
  FError.Sink = std::move(onErrorLog);
  FError.Echo = true;
  try {
    FNotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FNotify < 0) RaiseLastOSError("Cannot watch the embedded server's logs");
    Open(FGeneral);
    Open(FError);
    if (::pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) RaiseLastOSError("Cannot create a pipe");
    FSavedStderr = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    FThread = std::thread([this] { Run(); });
  } catch (...) {
    for (TLog* l : {&FGeneral, &FError}) {
      CloseFd(l->Read);
      CloseFd(l->Write);
      ::unlink(l->Path.c_str());
    }
    CloseFd(FNotify);
    CloseFd(FWake[0]);
    CloseFd(FWake[1]);
    CloseFd(FSavedStderr);
    ::rmdir(FFolder.c_str());
    throw;
  }
}

void TEmbLogCapture::Open(TLog& log) {
  log.Write = ::open(log.Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
  if (log.Write < 0) RaiseLastOSError("Cannot create the log file " + log.Path);
  log.Read = ::open(log.Path.c_str(), O_RDWR | O_CLOEXEC);  // read, and punched
  if (log.Read < 0) RaiseLastOSError("Cannot open the log file " + log.Path);
  if (::inotify_add_watch(FNotify, log.Path.c_str(), IN_MODIFY) < 0)
    RaiseLastOSError("Cannot watch the log file " + log.Path);
}

TEmbLogCapture::~TEmbLogCapture() {
  RestoreStderr();
  FStop = true;
  const char stop = 's';
  WriteAll(FWake[1], &stop, 1);
  if (FThread.joinable()) FThread.join();
  for (TLog* l : {&FGeneral, &FError}) {
    while (Drain(*l)) {
    }
    if (!l->Partial.empty() && l->Sink) {
      try {
        l->Sink(l->Partial);
      } catch (...) {
      }
    }
    CloseFd(l->Read);
    CloseFd(l->Write);
    ::unlink(l->Path.c_str());
  }
  ::rmdir(FFolder.c_str());
  CloseFd(FNotify);
  CloseFd(FWake[0]);
  CloseFd(FWake[1]);
  CloseFd(FSavedStderr);
}

void TEmbLogCapture::RedirectStderr() {
  if (FRedirected) return;
  std::fflush(stderr);
  if (::dup2(FError.Write, 2) < 0) RaiseLastOSError("Cannot redirect the standard error");
  FRedirected = true;
}

void TEmbLogCapture::RestoreStderr() noexcept {
  if (!FRedirected || FSavedStderr < 0) return;
  std::fflush(stderr);
  ::dup2(FSavedStderr, 2);
  FRedirected = false;
}

bool TEmbLogCapture::Sync(int timeoutMs) {
  std::unique_lock<std::mutex> lock(FSyncLock);
  const std::uint64_t ticket = ++FSyncAsked;
  const char ask = 'y';
  WriteAll(FWake[1], &ask, 1);
  return FSynced.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FSyncDone >= ticket; });
}

void TEmbLogCapture::Deliver(TLog& log, const char* data, std::size_t count) {
  if (log.Echo && FSavedStderr >= 0) WriteAll(FSavedStderr, data, count);
  log.Partial.append(data, count);
  std::size_t start = 0;
  for (std::size_t nl; (nl = log.Partial.find('\n', start)) != std::string::npos; start = nl + 1) {
    if (!log.Sink) continue;
    try {
      log.Sink(log.Partial.substr(start, nl - start));
    } catch (...) {
      // A sink that fails loses its line, never the capture.
    }
  }
  log.Partial.erase(0, start);
}

bool TEmbLogCapture::Drain(TLog& log) {
  char buffer[65536];
  const ssize_t n = ::pread(log.Read, buffer, sizeof buffer, static_cast<off_t>(log.Offset));
  if (n <= 0) return false;
  log.Offset += static_cast<std::uint64_t>(n);
  Deliver(log, buffer, static_cast<std::size_t>(n));
  // What was read takes no room any more (the file keeps its size).
  ::fallocate(log.Read, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(log.Offset));
  return true;
}

void TEmbLogCapture::Run() {
  while (!FStop) {
    pollfd fds[2] = {{FNotify, POLLIN, 0}, {FWake[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    std::uint64_t asked = 0;
    if (fds[0].revents & POLLIN) {
      alignas(inotify_event) char events[4096];
      while (::read(FNotify, events, sizeof events) > 0) {
      }
    }
    if (fds[1].revents & POLLIN) {
      char wake[64];
      while (::read(FWake[0], wake, sizeof wake) > 0) {
      }
      std::lock_guard<std::mutex> lock(FSyncLock);
      asked = FSyncAsked;
    }
    // Everything written before a sync request is in the files already.
    while (Drain(FGeneral) || Drain(FError)) {
    }
    if (asked) {
      {
        std::lock_guard<std::mutex> lock(FSyncLock);
        FSyncDone = asked;
      }
      FSynced.notify_all();
    }
  }
}

}  // namespace lumo
