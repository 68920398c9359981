#include "MySqlEmbLog.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "SysUtils.h"

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
  FGeneral.Path = FGeneralPath = FFolder + "/general.log";
  FError.Path = FErrorPath = FFolder + "/error.log";
  FGeneral.Sink = std::move(onGeneralLog);
  FError.Sink = std::move(onErrorLog);
  FError.Echo = true;
  try {
    Open(FGeneral);
    Open(FError);
    if (::pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) RaiseLastOSError("Cannot create a pipe");
    FSavedStderr = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    FThread = std::thread([this] { Run(); });
  } catch (...) {
    for (TPipe* p : {&FGeneral, &FError}) {
      CloseFd(p->Read);
      CloseFd(p->Write);
      ::unlink(p->Path.c_str());
    }
    CloseFd(FWake[0]);
    CloseFd(FWake[1]);
    CloseFd(FSavedStderr);
    ::rmdir(FFolder.c_str());
    throw;
  }
}

void TEmbLogCapture::Open(TPipe& pipe) {
  if (::mkfifo(pipe.Path.c_str(), 0600) != 0) RaiseLastOSError("Cannot create the pipe " + pipe.Path);
  // The reader first: opening the writer then does not wait.
  pipe.Read = ::open(pipe.Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (pipe.Read < 0) RaiseLastOSError("Cannot open the pipe " + pipe.Path);
  pipe.Write = ::open(pipe.Path.c_str(), O_WRONLY | O_CLOEXEC);
  if (pipe.Write < 0) RaiseLastOSError("Cannot open the pipe " + pipe.Path);
}

TEmbLogCapture::~TEmbLogCapture() {
  RestoreStderr();
  FStop = true;
  const char stop = 's';
  WriteAll(FWake[1], &stop, 1);
  if (FThread.joinable()) FThread.join();
  for (TPipe* p : {&FGeneral, &FError}) {
    if (!p->Partial.empty() && p->Sink) p->Sink(p->Partial);
    ::unlink(p->Path.c_str());
    if (FServerDone) {
      CloseFd(p->Read);
      CloseFd(p->Write);
    }
  }
  ::rmdir(FFolder.c_str());
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

void TEmbLogCapture::Deliver(TPipe& pipe, const char* data, std::size_t count) {
  if (pipe.Echo && FSavedStderr >= 0) WriteAll(FSavedStderr, data, count);
  pipe.Partial.append(data, count);
  std::size_t start = 0;
  for (std::size_t nl; (nl = pipe.Partial.find('\n', start)) != std::string::npos; start = nl + 1) {
    if (pipe.Sink) pipe.Sink(pipe.Partial.substr(start, nl - start));
  }
  pipe.Partial.erase(0, start);
}

bool TEmbLogCapture::Drain(TPipe& pipe) {
  char buffer[8192];
  const ssize_t n = ::read(pipe.Read, buffer, sizeof buffer);
  if (n <= 0) return false;
  try {
    Deliver(pipe, buffer, static_cast<std::size_t>(n));
  } catch (...) {
    // A sink that fails loses its line, never the capture.
  }
  return true;
}

void TEmbLogCapture::Run() {
  while (!FStop) {
    pollfd fds[3] = {{FGeneral.Read, POLLIN, 0}, {FError.Read, POLLIN, 0}, {FWake[0], POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents & POLLIN) Drain(FGeneral);
    if (fds[1].revents & POLLIN) Drain(FError);
    if (fds[2].revents & POLLIN) {
      char wake[64];
      while (::read(FWake[0], wake, sizeof wake) > 0) {
      }
      std::uint64_t asked;
      {
        std::lock_guard<std::mutex> lock(FSyncLock);
        asked = FSyncAsked;
      }
      // Everything written before the request is in the pipes already.
      while (Drain(FGeneral) || Drain(FError)) {
      }
      {
        std::lock_guard<std::mutex> lock(FSyncLock);
        FSyncDone = asked;
      }
      FSynced.notify_all();
    }
  }
}

}  // namespace lumo
