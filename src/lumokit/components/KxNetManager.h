// Finding database servers for a login dialog: TKxNetManager lists the
// machines of the network and, for a set of keywords, the machines that run
// a matching service, asking each machine from a worker thread of its own
// and caching the answer. What the platform can tell about machines and
// services comes through IKxNetServices; the default for this platform
// knows "localhost" only and cannot list or control services.
// TKxServerEnumerator is what a dialog asks for its server list.
//
// Decisions:
// - Workers write only into the manager's cache and a state shared with
//   the call that started them, never into the caller's list: a call that
//   returns at its time-out leaves late workers nothing freed to write to.
//   Their answers still reach the cache for the next call.
// - Workers are std::jthread: the manager's destructor asks them to stop
//   (the stop token goes to IKxNetServices) and joins them; finished
//   workers are joined at the next call. WaitForWorkers waits for all.
// - The cache is refreshed when it is older than CacheTimeout seconds or
//   holds nothing for that keyword set; a keyword set is its lines, ignoring
//   case. Results are sorted ignoring case, without duplicates.
// - A machine whose services cannot be listed (ENotSupportedError or any
//   other error) matches no keyword.
// - The clock is injectable (cache ages in tests).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <lumokit/core/StringList.h>
#include <lumokit/core/Ticks.h>

namespace lumo {

// Service states as the service manager numbers them.
enum TKxServiceStatus : std::uint8_t {
  ssStopped = 1,
  ssStartPending = 2,
  ssStopPending = 3,
  ssRunning = 4,
  ssContinuePending = 5,
  ssPausePending = 6,
  ssPaused = 7
};

struct TKxServiceInfo {
  std::string Name;
  std::string DisplayName;
};

class IKxNetServices {
 public:
  virtual ~IKxNetServices() = default;
  // The machines of the network; returns 0, or an error code of the
  // enumeration.
  virtual int EnumerateServers(std::vector<std::string>& servers) = 0;
  // The services of one machine; may return early once `stop` is requested.
  virtual std::vector<TKxServiceInfo> EnumerateServices(const std::string& server, std::stop_token stop) = 0;
  // The raw status code of a service.
  virtual int QueryServiceStatus(const std::string& server, const std::string& service) = 0;
  virtual void StartService(const std::string& server, const std::string& service) = 0;
  virtual void StopService(const std::string& server, const std::string& service) = 0;
};

// This platform's answer: the network is "localhost"; listing and
// controlling services raise ENotSupportedError "Service control is not
// supported on this platform".
class TKxLocalNetServices : public IKxNetServices {
 public:
  int EnumerateServers(std::vector<std::string>& servers) override;
  std::vector<TKxServiceInfo> EnumerateServices(const std::string& server, std::stop_token stop) override;
  int QueryServiceStatus(const std::string& server, const std::string& service) override;
  void StartService(const std::string& server, const std::string& service) override;
  void StopService(const std::string& server, const std::string& service) override;
};

class TKxNetManager {
 public:
  explicit TKxNetManager(std::shared_ptr<IKxNetServices> services = std::make_shared<TKxLocalNetServices>(),
                         IClock& clock = DefaultClock());
  ~TKxNetManager();
  TKxNetManager(const TKxNetManager&) = delete;
  TKxNetManager& operator=(const TKxNetManager&) = delete;

  // The machines of the network; an enumeration error raises EDAError
  // "NetServerEnum error <code>".
  void GetServerList(TStrings& list);
  // The machines running a service whose name or display name contains one
  // of the keyword lines (see the unit comment); a timeout of 0 gives an
  // empty list.
  void GetServerList(TStrings& list, const TStrings& keywords, int cacheTimeoutSec, int timeoutSec);
  void GetServiceNames(const std::string& server, TStrings& list);
  // An unknown code raises EDAError "Unknown service status $%X (%d)".
  TKxServiceStatus GetServiceStatus(const std::string& server, const std::string& service);
  void ServiceStart(const std::string& server, const std::string& service);
  void ServiceStop(const std::string& server, const std::string& service);

  // True when every discovery worker has ended within `timeoutMs`.
  bool WaitForWorkers(std::int64_t timeoutMs);

 private:
  struct TDiscovery;
  struct TWorker {
    std::jthread Thread;
    std::shared_ptr<TDiscovery> State;
  };

  static std::string KeywordKey(const std::vector<std::string>& keywords);
  std::vector<std::string> Machines();
  void ReapWorkers();

  std::shared_ptr<IKxNetServices> FServices;
  IClock* FClock;
  std::mutex FServicesCS;  // guards FCachedServerList and FLastTickCount
  std::map<std::string, std::vector<std::string>> FCachedServerList;
  std::uint64_t FLastTickCount = 0;
  bool FCacheFilled = false;
  std::mutex FWorkersLock;
  std::vector<TWorker> FWorkers;
};

// The process-wide manager (made on first use).
TKxNetManager& NetManager();

// What a login dialog asks for servers; providers list theirs by keywords.
class TKxServerEnumerator {
 public:
  virtual ~TKxServerEnumerator() = default;
  // The base lists the machines of the network.
  virtual void GetServerList(TStrings& list);
};

}  // namespace lumo
