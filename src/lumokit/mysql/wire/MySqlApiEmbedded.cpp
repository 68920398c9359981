#include <lumokit/mysql/wire/MySqlApiEmbedded.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>

#include <lumokit/core/Format.h>
#include <lumokit/core/SysUtils.h>
#include <lumokit/mysql/wire/MySqlEmbLog.h>

namespace lumo {

namespace {

const char* const SecondInstance =
    "Cannot run second Embedded server instance for single data folder. Please see details in Ostrel help or "
    "MySQL Reference manual";

constexpr int DataDirLockTimeoutMs = 2000;
// How long a start waits for the log reader to pass on the start messages.
constexpr int StartMessagesTimeoutMs = 10000;

std::mutex GInitLock;
std::string GInitMessage;
std::atomic<bool> GIniting{false};
std::atomic<bool> GDisableEventLog{false};

// What happened to the one start the library allows in a process.
enum TStartState { ssNone, ssRunning, ssFailed, ssEnded };
std::atomic<TStartState> GStartState{ssNone};

std::string TrimCopy(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// The option name of a parameter line ("--name=value" → "name"), with "_"
// written "-" as the server reads it.
std::string OptionName(const std::string& line) {
  std::string name = line.substr(2, line.find('=') == std::string::npos ? std::string::npos : line.find('=') - 2);
  std::replace(name.begin(), name.end(), '_', '-');
  return name;
}

std::string OptionValue(const std::string& line) {
  const std::size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

}  // namespace

std::string MySQLEmbServerInitMessage() {
  std::lock_guard<std::mutex> lock(GInitLock);
  return GInitMessage;
}

bool MySQLEmbServerIniting() noexcept { return GIniting; }
void SetMySQLEmbDisableEventLog(bool value) noexcept { GDisableEventLog = value; }
bool MySQLEmbDisableEventLog() noexcept { return GDisableEventLog; }

// ---- the data-folder lock ---------------------------------------------------------------------

TMutex::TMutex(std::string lockFilePath, int timeoutMs) : FLock(std::move(lockFilePath)), FTimeout(timeoutMs) {}

void TMutex::Acquire() {
  if (!FLock.Acquire(FTimeout)) throw EOSError(FLock.Path() + ".Acquire = WAIT_TIMEOUT\n" + SysErrorMessage(EWOULDBLOCK), EWOULDBLOCK);
}

void TMutex::Release() noexcept {
  try {
    FLock.Release();
  } catch (...) {
  }
}

// ---- registration -----------------------------------------------------------------------------

TMySQLAPIEmbedded* MyAPIEmbedded = nullptr;

namespace {
TMySQLAPISlot<TMySQLAPIEmbedded> GMyAPIEmbedded(MyAPIEmbedded);
}  // namespace

std::shared_ptr<TMySQLAPIEmbedded> AcquireMySqlApiEmbedded() { return GMyAPIEmbedded.Acquire(); }

void RegisterMySqlApiEmbedded() { GMyAPIEmbedded.Acquire(); }

void UnregisterMySqlApiEmbedded() {
  if (std::shared_ptr<TMySQLAPIEmbedded> gone = GMyAPIEmbedded.Release()) gone->EndServer();
}

// ---- the facade -------------------------------------------------------------------------------

TMySQLAPIEmbedded::TMySQLAPIEmbedded() = default;

TMySQLAPIEmbedded::~TMySQLAPIEmbedded() {
  // Without EndServer the library may be finalised already (process exit):
  // it is not called again, its connections are only forgotten.
  if (FRunning) {
    AbandonLibrary();
    FCapture.reset();
  }
}

std::string TMySQLAPIEmbedded::NotLinkedMessage(const std::string& libraryName) const {
  return "MySQL API function is not linked. You should update MySQL Embedded Server library (" + libraryName + ").";
}

void TMySQLAPIEmbedded::SetParams(const TStrings& params) {
  std::lock_guard<std::recursive_mutex> lock(LoadLock());
  FParams.Assign(params);
}

int TMySQLAPIEmbedded::RegisterOnLogEvent(TLogEvent callback) {
  std::lock_guard<std::mutex> lock(FCallbackLock);
  FListOnLog.emplace_back(++FNextId, std::move(callback));
  return FNextId;
}

int TMySQLAPIEmbedded::RegisterOnLogErrorEvent(TLogEvent callback) {
  std::lock_guard<std::mutex> lock(FCallbackLock);
  FListOnLogError.emplace_back(++FNextId, std::move(callback));
  return FNextId;
}

void TMySQLAPIEmbedded::UnRegisterOnLogEvent(int id) {
  std::lock_guard<std::mutex> lock(FCallbackLock);
  std::erase_if(FListOnLog, [id](const auto& e) { return e.first == id; });
}

void TMySQLAPIEmbedded::UnRegisterOnLogErrorEvent(int id) {
  std::lock_guard<std::mutex> lock(FCallbackLock);
  std::erase_if(FListOnLogError, [id](const auto& e) { return e.first == id; });
}

void TMySQLAPIEmbedded::Dispatch(bool errorLog, const std::string& line) {
  if (errorLog && GIniting) {
    std::lock_guard<std::mutex> lock(GInitLock);
    if (!GInitMessage.empty()) GInitMessage += "\n";
    GInitMessage += line;
  }
  std::vector<TLogEvent> callbacks;
  {
    std::lock_guard<std::mutex> lock(FCallbackLock);
    for (const auto& e : errorLog ? FListOnLogError : FListOnLog) callbacks.push_back(e.second);
  }
  for (const TLogEvent& cb : callbacks) cb(line);
}

std::vector<std::string> TMySQLAPIEmbedded::CleanParams(const TStrings& params) {
  std::vector<std::string> out;
  for (int i = 0; i < params.Count(); ++i) {
    std::string line = TrimCopy(params[i]);
    if (line.empty() || line[0] == '#' || line == "--no-defaults") continue;
    out.push_back(std::move(line));
  }
  return out;
}

void TMySQLAPIEmbedded::CheckParams(const std::vector<std::string>& params) {
  for (const std::string& line : params) {
    const bool dashed = line.size() > 2 && line[0] == '-' && line[1] == '-';
    const std::string name = dashed ? OptionName(line) : std::string();
    const bool wellFormed =
        !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
          return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        });
    if (!wellFormed)
      throw EArgumentError(Format("Invalid embedded server parameter \"%s\": write --name or --name=value", {line}));
    const char* reason = nullptr;
    if (std::string_view("help").starts_with(name))
      reason = "it would print the server's help and end the process";
    else if (name == "bootstrap")
      reason = "it would read statements from the standard input";
    else if (name == "log")
      reason = "it is an ambiguous option name that ends the process (use --general-log and --general-log-file)";
    if (reason) throw EArgumentError(Format("Embedded server parameter \"%s\" is not accepted: %s", {line, reason}));
  }
}

std::string TMySQLAPIEmbedded::DataFolder(const std::vector<std::string>& params) {
  std::string datadir, basedir;
  for (const std::string& line : params) {
    const std::string name = OptionName(line);
    if (name == "datadir") datadir = OptionValue(line);
    if (name == "basedir") basedir = OptionValue(line);
  }
  std::string folder = datadir;
  if (folder.empty() && !basedir.empty()) {
    if (basedir.back() != '/') basedir += '/';
    folder = basedir + "data";
  }
  if (folder.empty()) return folder;
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(folder, ec), ec);
  if (ec) p = std::filesystem::absolute(folder).lexically_normal();
  std::string out = p.string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string TMySQLAPIEmbedded::DataFolderLockPath(const std::string& folder) { return folder + ".lock"; }

void TMySQLAPIEmbedded::FreeMySQLLib() {
  std::lock_guard<std::recursive_mutex> lock(LoadLock());
  if (!FRunning) UnloadLibrary();
}

void TMySQLAPIEmbedded::LoadMySQLLib() {
  std::lock_guard<std::recursive_mutex> lock(LoadLock());
  const std::string params = FParams.Text();
  if (FRunning) {
    if (params != FCurrentParams) throw Exception(SecondInstance);
    return;
  }
  const std::vector<std::string> lines = CleanParams(FParams);
  CheckParams(lines);
  switch (GStartState.load()) {
    case ssRunning:
      // Another facade object of this process runs it.
      throw Exception(SecondInstance);
    case ssFailed:
      throw Exception("The embedded server failed to start in this process and cannot start again");
    case ssEnded:
      throw Exception("The embedded server was ended and cannot start again in this process");
    default:
      break;
  }
  RequireLibrary();
  ReadClientVersion();
  Start(lines);
  FCurrentParams = params;
}

void TMySQLAPIEmbedded::Start(const std::vector<std::string>& params) {
  std::unique_ptr<TMutex> mutex;
  const std::string folder = DataFolder(params);
  if (!folder.empty()) {
    mutex = std::make_unique<TMutex>(DataFolderLockPath(folder), DataDirLockTimeoutMs);
    try {
      mutex->Acquire();
    } catch (const EOSError&) {
      throw Exception(SecondInstance);
    }
  }
  std::unique_ptr<TEmbLogCapture> capture;
  if (!GDisableEventLog) {
    capture = std::make_unique<TEmbLogCapture>([this](const std::string& line) { Dispatch(false, line); },
                                               [this](const std::string& line) { Dispatch(true, line); });
  }

  // argv: a program name, "--no-defaults", the parameters, the log options.
  std::vector<std::string> args = {"ignored", "--no-defaults"};
  args.insert(args.end(), params.begin(), params.end());
  if (capture) {
    args.push_back("--general-log=1");
    args.push_back("--general-log-file=" + capture->GeneralLogPath());
    args.push_back("--log-error=" + capture->ErrorLogPath());
  }
  std::vector<std::string> groups = {"embedded", "server", program_invocation_short_name};
  std::vector<char*> argv, groupv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& g : groups) groupv.push_back(g.data());
  groupv.push_back(nullptr);

  {
    std::lock_guard<std::mutex> lock(GInitLock);
    GInitMessage.clear();
  }
  GIniting = true;
  if (capture) capture->RedirectStderr();
  GStartState = ssFailed;  // whatever happens now, it cannot be tried again
  const int rc = mysql_server_init(static_cast<int>(args.size()), argv.data(), groupv.data());
  if (capture) capture->Sync(StartMessagesTimeoutMs);
  GIniting = false;
  if (rc != 0) {
    capture.reset();
    std::string message = "A call to an mysql_server_init failed";
    const std::string started = MySQLEmbServerInitMessage();
    if (!started.empty()) message += "\n" + started;
    throw Exception(message);
  }
  GStartState = ssRunning;
  FRunning = true;
  FDataDirMutex = std::move(mutex);
  FCapture = std::move(capture);
}

void TMySQLAPIEmbedded::EndServer() noexcept {
  std::lock_guard<std::recursive_mutex> lock(LoadLock());
  if (!FRunning) return;
  CloseLiveConnections();
  try {
    mysql_server_end();
  } catch (...) {
  }
  FRunning = false;
  GStartState = ssEnded;
  FCapture.reset();
  if (FDataDirMutex) FDataDirMutex->Release();
  FDataDirMutex.reset();
  FCurrentParams.clear();
  UnloadLibrary();
}

}  // namespace lumo
