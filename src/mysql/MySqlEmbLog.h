// Capture of the embedded server's general log and error log: two named
// pipes in a private folder that the server is told to write its logs to,
// read by one thread that hands every complete line to a sink. While the
// server starts, the process's standard error is pointed at the error-log
// pipe as well, so that the server's start messages are caught too.
//
// Decisions:
// - The server turns its error log into the process's standard error
//   (--log-error reopens it): from then on everything the process writes to
//   standard error passes through the error-log pipe. The reader copies it
//   all to the original standard error as well, so nothing disappears from
//   there, and RestoreStderr gives the original back.
// - The capture keeps a writer of its own on each pipe, so that the server
//   closing and reopening a log never looks like the end of it.
// - Sinks run on the reader thread; a sink that blocks holds up the
//   server's log writes once a pipe's buffer is full.
// - Sync waits, with a time-out, until everything written to the pipes
//   before the call was handed on.
// - Destroying the capture gives standard error back and stops the reader
//   thread (it is asked to stop and joined). The pipes themselves are closed
//   only after ServerDone: a server that still runs could otherwise be
//   killed by a write to a pipe without a reader, so without it they stay
//   open for the rest of the process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace lumo {

class TEmbLogCapture {
 public:
  using TSink = std::function<void(const std::string& line)>;

  // Makes the folder (under $TMPDIR or /tmp) with the pipes general.log and
  // error.log and starts the reader. Failures raise EOSError.
  TEmbLogCapture(TSink onGeneralLog, TSink onErrorLog);
  ~TEmbLogCapture();
  TEmbLogCapture(const TEmbLogCapture&) = delete;
  TEmbLogCapture& operator=(const TEmbLogCapture&) = delete;

  const std::string& GeneralLogPath() const noexcept { return FGeneralPath; }
  const std::string& ErrorLogPath() const noexcept { return FErrorPath; }

  // Points standard error at the error-log pipe / gives the original back.
  void RedirectStderr();
  void RestoreStderr() noexcept;
  // True when every byte written to the pipes before the call has been
  // handed on within `timeoutMs`.
  bool Sync(int timeoutMs);
  // The server writes no more: the pipes may be closed with the capture.
  void ServerDone() noexcept { FServerDone = true; }

 private:
  struct TPipe {
    std::string Path;
    int Read = -1;
    int Write = -1;
    std::string Partial;  // a line not ended yet
    TSink Sink;
    bool Echo = false;
  };
  void Open(TPipe& pipe);
  void Run();
  // Reads what the pipe has now; false when it has nothing more.
  bool Drain(TPipe& pipe);
  void Deliver(TPipe& pipe, const char* data, std::size_t count);

  std::string FFolder;
  std::string FGeneralPath;
  std::string FErrorPath;
  TPipe FGeneral;
  TPipe FError;
  int FWake[2] = {-1, -1};
  int FSavedStderr = -1;
  bool FRedirected = false;
  bool FServerDone = false;
  std::atomic<bool> FStop{false};
  std::mutex FSyncLock;
  std::condition_variable FSynced;
  std::uint64_t FSyncAsked = 0;
  std::uint64_t FSyncDone = 0;
  std::thread FThread;
};

}  // namespace lumo
