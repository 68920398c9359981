// Capture of the embedded server's general log and error log: two log files
// in a private folder that the server is told to write to, followed by one
// thread that hands every complete line to a sink. While the server starts,
// the process's standard error is pointed at the error log as well, so that
// the server's start messages are caught too.
//
// Decisions:
// - Files, not pipes: the server opens its logs non-blocking, so a pipe
//   that is full (a statement longer than the pipe's buffer is enough)
//   makes its write fail and the entry is lost. The reader follows each file
//   from where it stopped (woken by inotify) and frees what it has read by
//   punching a hole into the file, so the files take no disk space beyond
//   what is not read yet (where the file system cannot punch holes they
//   grow, and go with the folder).
// - The server turns its error log into the process's standard error
//   (--log-error reopens it): from then on everything the process writes to
//   standard error goes into that file. The reader copies it all to the
//   original standard error as well, so nothing disappears from there, and
//   RestoreStderr gives the original back.
// - Sinks run on the reader thread; Sync waits, with a time-out, until
//   everything written to the logs before the call was handed on.
// - Destroying the capture gives standard error back, stops the reader (it
//   is asked to stop and joined) and removes the folder. A server that still
//   runs keeps writing into its (then nameless) files.
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

  // Makes the folder (under $TMPDIR or /tmp) with general.log and error.log
  // and starts the reader. Failures raise EOSError.
  TEmbLogCapture(TSink onGeneralLog, TSink onErrorLog);
  ~TEmbLogCapture();
  TEmbLogCapture(const TEmbLogCapture&) = delete;
  TEmbLogCapture& operator=(const TEmbLogCapture&) = delete;

  const std::string& GeneralLogPath() const noexcept { return FGeneral.Path; }
  const std::string& ErrorLogPath() const noexcept { return FError.Path; }

  // Points standard error at the error log / gives the original back.
  void RedirectStderr();
  void RestoreStderr() noexcept;
  // True when every byte written to the logs before the call has been
  // handed on within `timeoutMs`.
  bool Sync(int timeoutMs);

 private:
  struct TLog {
    std::string Path;
    int Read = -1;   // reads and punches holes
    int Write = -1;  // ours: standard error goes here while redirected
    std::uint64_t Offset = 0;
    std::string Partial;  // a line not ended yet
    TSink Sink;
    bool Echo = false;
  };
  void Open(TLog& log);
  void Run();
  // Reads what the log has now; false when it has nothing more.
  bool Drain(TLog& log);
  void Deliver(TLog& log, const char* data, std::size_t count);

  std::string FFolder;
  TLog FGeneral;
  TLog FError;
  int FNotify = -1;
  int FWake[2] = {-1, -1};
  int FSavedStderr = -1;
  bool FRedirected = false;
  std::atomic<bool> FStop{false};
  std::mutex FSyncLock;
  std::condition_variable FSynced;
  std::uint64_t FSyncAsked = 0;
  std::uint64_t FSyncDone = 0;
  std::thread FThread;
};

}  // namespace lumo
