// Server discovery: keyword matching over the services of every machine,
// the cache and its age, errors of the platform services, the default of
// this platform, and workers that finish after their caller has returned.
#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include <lumokit/components/DBAccess.h>
#include <lumokit/components/KxNetManager.h>
#include <lumokit/core/SyncObjs.h>

namespace lumo {
namespace {

class FakeNetServices : public IKxNetServices {
 public:
  int EnumerateServers(std::vector<std::string>& servers) override {
    ++Enumerations;
    servers = Machines;
    return Error;
  }
  std::vector<TKxServiceInfo> EnumerateServices(const std::string& server, std::stop_token) override {
    if (server == SlowMachine) {
      SlowStarted.SetEvent();
      ReleaseSlow.WaitFor(-1);
    }
    auto it = Services.find(server);
    if (it == Services.end()) throw ENotSupportedError("no services here");
    return it->second;
  }
  int QueryServiceStatus(const std::string&, const std::string&) override { return Status; }
  void StartService(const std::string&, const std::string&) override {}
  void StopService(const std::string&, const std::string&) override {}

  std::vector<std::string> Machines;
  std::map<std::string, std::vector<TKxServiceInfo>> Services;
  std::string SlowMachine;
  ManualResetEvent SlowStarted;
  ManualResetEvent ReleaseSlow;
  std::atomic<int> Enumerations{0};
  int Error = 0;
  int Status = ssRunning;
};

struct Keywords : TStringList {
  Keywords(std::initializer_list<const char*> words) {
    for (const char* w : words) Add(w);
  }
};

TEST(KxNetManager, FindsMachinesByServiceNameOrDisplayNameAndCaches) {
  auto services = std::make_shared<FakeNetServices>();
  services->Machines = {"db2", "Web1", "db1"};
  services->Services["db1"] = {{"MySQL80", "MySQL Server"}};
  services->Services["db2"] = {{"svc", "MariaDB database server"}};
  services->Services["Web1"] = {{"httpd", "Apache"}};
  TManualClock clock(1000);
  TKxNetManager manager(services, clock);

  TStringList list;
  manager.GetServerList(list, Keywords{"mysql", "MARIADB"}, 60, 30);
  EXPECT_EQ(list.ToVector(), (std::vector<std::string>{"db1", "db2"}));  // localhost has no services
  manager.GetServerList(list, Keywords{"MySQL", "mariadb"}, 60, 30);
  EXPECT_EQ(services->Enumerations, 1);  // same keywords, fresh cache
  clock.Advance(61000);
  manager.GetServerList(list, Keywords{"mysql", "mariadb"}, 60, 30);
  EXPECT_EQ(services->Enumerations, 2);
  manager.GetServerList(list, Keywords{"apache"}, 60, 30);  // another keyword set
  EXPECT_EQ(list.ToVector(), std::vector<std::string>{"Web1"});

  manager.GetServerList(list, Keywords{"mysql"}, 60, 0);
  EXPECT_TRUE(list.IsEmpty());
}

TEST(KxNetManager, ReportsPlatformErrors) {
  auto services = std::make_shared<FakeNetServices>();
  services->Error = 53;
  TKxNetManager manager(services);
  TStringList list;
  try {
    manager.GetServerList(list);
    ADD_FAILURE();
  } catch (const EDAError& e) {
    EXPECT_EQ(e.Message(), "NetServerEnum error 53");
  }
  services->Status = 42;
  try {
    manager.GetServiceStatus("h", "s");
    ADD_FAILURE();
  } catch (const EDAError& e) {
    EXPECT_EQ(e.Message(), "Unknown service status $2A (42)");
  }
  services->Status = ssPaused;
  EXPECT_EQ(manager.GetServiceStatus("h", "s"), ssPaused);
}

TEST(KxNetManager, ThisPlatformKnowsLocalhostAndNoServiceControl) {
  TKxNetManager manager;
  TStringList list;
  manager.GetServerList(list);
  EXPECT_EQ(list.ToVector(), std::vector<std::string>{"localhost"});
  EXPECT_THROW(manager.GetServiceNames("localhost", list), ENotSupportedError);
  EXPECT_THROW(manager.ServiceStart("localhost", "mysql"), ENotSupportedError);
  manager.GetServerList(list, Keywords{"mysql"}, 0, 5);
  EXPECT_TRUE(list.IsEmpty());
}

TEST(KxNetManager, LateWorkersWriteIntoTheCacheOnly) {
  auto services = std::make_shared<FakeNetServices>();
  services->Machines = {"slow"};
  services->SlowMachine = "slow";
  services->Services["slow"] = {{"mysqld", ""}};
  TManualClock clock;
  TKxNetManager manager(services, clock);
  {
    auto list = std::make_unique<TStringList>();
    manager.GetServerList(*list, Keywords{"mysql"}, 600, 1);  // returns at its time-out
    EXPECT_TRUE(list->IsEmpty());
    ASSERT_TRUE(services->SlowStarted.WaitFor(10000));
  }  // the caller's list is gone before the worker ends
  services->ReleaseSlow.SetEvent();
  ASSERT_TRUE(manager.WaitForWorkers(10000));
  TStringList list;
  manager.GetServerList(list, Keywords{"mysql"}, 600, 1);
  EXPECT_EQ(list.ToVector(), std::vector<std::string>{"slow"});
  EXPECT_EQ(services->Enumerations, 1);
}

}  // namespace
}  // namespace lumo
