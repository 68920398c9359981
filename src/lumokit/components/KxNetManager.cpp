#include <lumokit/components/KxNetManager.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>

#include <lumokit/components/DBAccess.h>
#include <lumokit/core/Format.h>

namespace lumo {

namespace {

const char* const SNoServiceControl = "Service control is not supported on this platform";

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

std::string UpperText(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

bool LessText(const std::string& a, const std::string& b) { return UpperText(a) < UpperText(b); }
bool SameText(const std::string& a, const std::string& b) { return UpperText(a) == UpperText(b); }

// Adds `name` to the sorted list unless it is there (ignoring case).
void InsertSorted(std::vector<std::string>& list, const std::string& name) {
  auto it = std::lower_bound(list.begin(), list.end(), name, LessText);
  if (it != list.end() && SameText(*it, name)) return;
  list.insert(it, name);
}

bool Contains(const std::string& text, const std::string& upperKeyword) {
  return !upperKeyword.empty() && UpperText(text).find(upperKeyword) != std::string::npos;
}

}  // namespace

// ---- TKxLocalNetServices ----------------------------------------------------------------------

int TKxLocalNetServices::EnumerateServers(std::vector<std::string>& servers) {
  servers.assign({"localhost"});
  return 0;
}

std::vector<TKxServiceInfo> TKxLocalNetServices::EnumerateServices(const std::string&, std::stop_token) {
  throw ENotSupportedError(SNoServiceControl);
}

int TKxLocalNetServices::QueryServiceStatus(const std::string&, const std::string&) {
  throw ENotSupportedError(SNoServiceControl);
}

void TKxLocalNetServices::StartService(const std::string&, const std::string&) {
  throw ENotSupportedError(SNoServiceControl);
}

void TKxLocalNetServices::StopService(const std::string&, const std::string&) {
  throw ENotSupportedError(SNoServiceControl);
}

// ---- TKxNetManager --------------------------------------------------------------------------

// What the workers of one discovery share with the call that waits for them.
struct TKxNetManager::TDiscovery {
  std::mutex Lock;
  std::condition_variable Done;
  std::size_t Pending = 0;

  void Finish() {
    std::lock_guard<std::mutex> guard(Lock);
    --Pending;
    Done.notify_all();
  }
  bool Finished() {
    std::lock_guard<std::mutex> guard(Lock);
    return Pending == 0;
  }
};

TKxNetManager::TKxNetManager(std::shared_ptr<IKxNetServices> services, IClock& clock)
    : FServices(std::move(services)), FClock(&clock) {}

TKxNetManager::~TKxNetManager() {
  std::vector<TWorker> workers;
  {
    std::lock_guard<std::mutex> guard(FWorkersLock);
    workers = std::move(FWorkers);
  }
  for (TWorker& w : workers) w.Thread.request_stop();
  workers.clear();  // joins
}

std::vector<std::string> TKxNetManager::Machines() {
  std::vector<std::string> servers;
  const int code = FServices->EnumerateServers(servers);
  if (code != 0) throw EDAError("NetServerEnum error " + std::to_string(code));
  return servers;
}

void TKxNetManager::GetServerList(TStrings& list) {
  std::vector<std::string> servers = Machines();
  list.BeginUpdate();
  list.Clear();
  for (const std::string& s : servers) list.Add(s);
  list.EndUpdate();
}

std::string TKxNetManager::KeywordKey(const std::vector<std::string>& keywords) {
  std::string key;
  for (const std::string& k : keywords) key += UpperText(k) + '\n';
  return key;
}

void TKxNetManager::ReapWorkers() {
  std::vector<TWorker> finished;
  {
    std::lock_guard<std::mutex> guard(FWorkersLock);
    for (auto it = FWorkers.begin(); it != FWorkers.end();) {
      if (it->State->Finished()) {
        finished.push_back(std::move(*it));
        it = FWorkers.erase(it);
      } else {
        ++it;
      }
    }
  }
  finished.clear();  // joins threads that have ended or are about to
}

void TKxNetManager::GetServerList(TStrings& list, const TStrings& keywords, int cacheTimeoutSec, int timeoutSec) {
  list.BeginUpdate();
  list.Clear();
  list.EndUpdate();
  if (timeoutSec <= 0) return;
  ReapWorkers();

  std::vector<std::string> upperKeywords;
  for (int i = 0; i < keywords.Count(); ++i)
    if (!keywords[i].empty()) upperKeywords.push_back(UpperText(keywords[i]));
  const std::string key = KeywordKey(upperKeywords);

  bool fresh;
  {
    std::lock_guard<std::mutex> guard(FServicesCS);
    const std::uint64_t age = TickDiff(FLastTickCount, FClock->NowMs());
    fresh = FCacheFilled && FCachedServerList.count(key) != 0 &&
            age <= static_cast<std::uint64_t>(std::max(cacheTimeoutSec, 0)) * 1000u;
  }

  if (!fresh) {
    std::vector<std::string> machines = Machines();
    machines.push_back("localhost");
    std::sort(machines.begin(), machines.end(), LessText);
    machines.erase(std::unique(machines.begin(), machines.end(), SameText), machines.end());
    {
      std::lock_guard<std::mutex> guard(FServicesCS);
      FCachedServerList[key].clear();
      FLastTickCount = FClock->NowMs();
      FCacheFilled = true;
    }
    auto state = std::make_shared<TDiscovery>();
    state->Pending = machines.size();
    {
      std::lock_guard<std::mutex> guard(FWorkersLock);
      for (const std::string& machine : machines) {
        std::jthread worker([this, state, machine, upperKeywords, key](std::stop_token stop) {
          bool match = false;
          try {
            for (const TKxServiceInfo& s : FServices->EnumerateServices(machine, stop)) {
              for (const std::string& k : upperKeywords)
                if (Contains(s.Name, k) || Contains(s.DisplayName, k)) match = true;
              if (match) break;
            }
          } catch (...) {
            match = false;
          }
          if (match && !stop.stop_requested()) {
            std::lock_guard<std::mutex> guard(FServicesCS);
            InsertSorted(FCachedServerList[key], machine);
          }
          state->Finish();
        });
        FWorkers.push_back({std::move(worker), state});
      }
    }
    std::unique_lock<std::mutex> wait(state->Lock);
    state->Done.wait_for(wait, std::chrono::seconds(timeoutSec), [&] { return state->Pending == 0; });
  }

  std::vector<std::string> result;
  {
    std::lock_guard<std::mutex> guard(FServicesCS);
    result = FCachedServerList[key];
  }
  list.BeginUpdate();
  for (const std::string& s : result) list.Add(s);
  list.EndUpdate();
}

bool TKxNetManager::WaitForWorkers(std::int64_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<std::int64_t>(timeoutMs, 0));
  std::vector<std::shared_ptr<TDiscovery>> states;
  {
    std::lock_guard<std::mutex> guard(FWorkersLock);
    for (const TWorker& w : FWorkers) states.push_back(w.State);
  }
  for (const auto& state : states) {
    std::unique_lock<std::mutex> wait(state->Lock);
    if (!state->Done.wait_until(wait, deadline, [&] { return state->Pending == 0; })) return false;
  }
  ReapWorkers();
  return true;
}

void TKxNetManager::GetServiceNames(const std::string& server, TStrings& list) {
  std::vector<TKxServiceInfo> services = FServices->EnumerateServices(server, std::stop_token());
  list.BeginUpdate();
  list.Clear();
  for (const TKxServiceInfo& s : services) list.Add(s.Name);
  list.EndUpdate();
}

TKxServiceStatus TKxNetManager::GetServiceStatus(const std::string& server, const std::string& service) {
  const int code = FServices->QueryServiceStatus(server, service);
  if (code < ssStopped || code > ssPaused)
    throw EDAError(Format("Unknown service status $%X (%d)", {code, code}));
  return static_cast<TKxServiceStatus>(code);
}

void TKxNetManager::ServiceStart(const std::string& server, const std::string& service) {
  FServices->StartService(server, service);
}

void TKxNetManager::ServiceStop(const std::string& server, const std::string& service) {
  FServices->StopService(server, service);
}

TKxNetManager& NetManager() {
  static TKxNetManager manager;
  return manager;
}

void TKxServerEnumerator::GetServerList(TStrings& list) { NetManager().GetServerList(list); }

}  // namespace lumo
