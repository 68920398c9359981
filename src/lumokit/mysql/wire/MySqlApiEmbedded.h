// The client-API facade over the embedded server library: TMySQLAPIEmbedded
// is the client-library facade loading "libmariadbd.so.19", which runs a
// private server inside the process on its own data folder. It starts that
// server with the connection's parameters, guards the data folder against a
// second user with a lock file, and hands the server's general log and
// error log to registered callbacks. MyAPIEmbedded is its process-wide
// instance.
//
// Decisions:
// - The server starts once per process. The library cannot start a second
//   time (a start after the server was ended crashes it, and one after a
//   failed start fails again), so: a start with other parameters while the
//   server runs raises "Cannot run second Embedded server instance for
//   single data folder. ..."; a start after a failed start, or after
//   EndServer, raises an error of its own at once. FreeMySQLLib leaves the
//   running server alone; UnregisterMySqlApiEmbedded() (or EndServer) ends
//   it, and should be called before the process exits: a process that exits
//   with the server running leaves its data as after a crash. There is no
//   unloading at the last disconnect (UnloadEmbLibraryOnDisconnect): the
//   server could not start again afterwards.
// - Parameters are "--name" or "--name=value" lines; blank lines and lines
//   starting with "#" are dropped, and "--no-defaults" always comes first
//   (no option file is read). Before anything starts they are checked: any
//   other form is refused, and so are names the process would not survive
//   (--help and its abbreviations, which crash the server, --bootstrap,
//   which reads statements from standard input, and --log, an ambiguous
//   abbreviation that makes the server end the process). Unknown names fail
//   the start with the server's own message. What still ends the process:
//   another ambiguous abbreviation of several option names (write names in
//   full), and a fatal error inside the server itself.
// - Data folder: the value of --datadir, else --basedir followed by "data",
//   made absolute with symbolic links resolved. Its lock is the lock file
//   "<folder>.lock" beside it (TMutex over NamedFileLock), taken with a
//   2000 ms time-out; a folder held by another process (or another start)
//   raises the "second Embedded server instance" message. Without either
//   parameter no lock is taken.
// - Logs: unless MySQLEmbDisableEventLog() is set, the server writes its
//   general log and error log into the files of a TEmbLogCapture, which
//   follows them on a thread (--general-log=1, --general-log-file=,
//   --log-error=; these come after the user's parameters and win). Every
//   complete line goes to the registered callbacks, on the capture's thread.
//   The server's error log is the process's standard error while it runs
//   (the server makes it so); that text still reaches the original standard
//   error as well.
// - Start messages: what the server writes to its error log while it
//   starts is gathered in MySQLEmbServerInitMessage(); a failed start raises
//   "A call to an mysql_server_init failed", a line break and those
//   messages (with the event log disabled, the messages stay on standard
//   error and are not gathered).
// - Date and time parameters of prepared statements go to the server as
//   text: the embedded library reads MYSQL_TIME parameters as zero dates.
// - Callbacks are registered under a number that unregisters them.
// - A process that links the client library itself must not use this
//   facade (see MySqlApiClient.h).
#pragma once

#include <atomic>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <lumokit/core/StringList.h>
#include <lumokit/core/SyncObjs.h>
#include <lumokit/mysql/wire/MySqlApiClient.h>

namespace lumo {

class TEmbLogCapture;

// Settings and state of the embedded server, process-wide.
std::string MySQLEmbServerInitMessage();
bool MySQLEmbServerIniting() noexcept;
void SetMySQLEmbDisableEventLog(bool value) noexcept;
bool MySQLEmbDisableEventLog() noexcept;

// The data-folder lock: a lock file taken with a time-out.
class TMutex {
 public:
  TMutex(std::string lockFilePath, int timeoutMs);
  // Raises EOSError "<path>.Acquire = WAIT_TIMEOUT" when another holder
  // keeps it beyond the time-out.
  void Acquire();
  void Release() noexcept;
  const std::string& Name() const noexcept { return FLock.Path(); }

 private:
  NamedFileLock FLock;
  int FTimeout;
};

class TMySQLAPIEmbedded final : public TMySQLAPIClient {
 public:
  using TLogEvent = std::function<void(const std::string& text)>;

  TMySQLAPIEmbedded();
  ~TMySQLAPIEmbedded() override;

  std::string DefaultLibraryName() const override { return "libmariadbd.so.19"; }

  // The start parameters (Name=Value lines), used by the next start.
  void SetParams(const TStrings& params);
  int RegisterOnLogEvent(TLogEvent callback);
  void UnRegisterOnLogEvent(int id);
  int RegisterOnLogErrorEvent(TLogEvent callback);
  void UnRegisterOnLogErrorEvent(int id);

  // Loads the library and starts the server (once, see above).
  void LoadMySQLLib() override;
  void CheckMySQLLib() override { LoadMySQLLib(); }
  // Leaves a running server alone.
  void FreeMySQLLib() override;
  // Closes the live connections and ends the server, for good.
  void EndServer() noexcept;
  bool ServerRunning() const noexcept { return FRunning.load(); }

  // The parameter lines without blank lines, comments and "--no-defaults".
  static std::vector<std::string> CleanParams(const TStrings& params);
  // Raises for a line that is not accepted (see above).
  static void CheckParams(const std::vector<std::string>& params);
  // The data folder the parameters name ("" for none).
  static std::string DataFolder(const std::vector<std::string>& params);
  static std::string DataFolderLockPath(const std::string& folder);

 protected:
  std::string NotLinkedMessage(const std::string& libraryName) const override;
  bool TemporalParametersAsText() const override { return true; }

 private:
  void Dispatch(bool errorLog, const std::string& line);
  void Start(const std::vector<std::string>& params);

  TStringList FParams;
  std::string FCurrentParams;
  // Read by any thread (ServerRunning); written under the start lock.
  std::atomic<bool> FRunning{false};
  std::unique_ptr<TMutex> FDataDirMutex;
  std::unique_ptr<TEmbLogCapture> FCapture;
  std::mutex FCallbackLock;
  int FNextId = 0;
  std::vector<std::pair<int, TLogEvent>> FListOnLog;
  std::vector<std::pair<int, TLogEvent>> FListOnLogError;
};

// The process-wide instance; null before RegisterMySqlApiEmbedded() and
// after UnregisterMySqlApiEmbedded(), which ends the server.
extern TMySQLAPIEmbedded* MyAPIEmbedded;
void RegisterMySqlApiEmbedded();
void UnregisterMySqlApiEmbedded();
// The instance (registered on the first call) with a share that keeps it
// alive while held.
std::shared_ptr<TMySQLAPIEmbedded> AcquireMySqlApiEmbedded();

}  // namespace lumo
