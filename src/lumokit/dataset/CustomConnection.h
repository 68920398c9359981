// TCustomConnection: the dataset framework's connection component. It owns
// the connect/disconnect protocol (Open, Close, the Connected property with
// its before/after events) and the list of clients, the data sets and
// commands that use the connection and are told when it opens or closes.
// Database-specific connections derive from it and supply the actual
// connect and disconnect (DoConnect, DoDisconnect, GetConnected).
//
// Decisions:
// - A client is a component plus the callback it wants to hear with
//   (connecting true/false); a data set registers with a callback that
//   closes it. Registering the same client again replaces its callback.
// - Registration is guarded by a mutex (clients may register from the
//   thread that creates them); notification runs in the caller's thread on
//   a snapshot of the list, and a client unregistered by an earlier
//   callback of the same round is skipped. A client that is destroyed
//   without unregistering is dropped through its free notification.
// - While the component is being read from a stored form, setting
//   Connected only records the value (StreamedConnected); Loaded() applies
//   it once reading has ended.
// - The framework never prompts by itself: LoginPrompt and OnLogin are
//   stored here for the database-specific connection to act on.
// - Destroying the component neither disconnects nor calls clients back:
//   a derived destructor disconnects (and so tells the clients) while its
//   members still exist.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include <lumokit/core/Component.h>
#include <lumokit/core/StringList.h>

namespace lumo {

class TCustomConnection : public TComponent {
 public:
  using TNotifyEvent = std::function<void(TCustomConnection& sender)>;
  // Login parameters as Name=Value lines ("USER NAME", "PASSWORD" ...).
  using TLoginEvent = std::function<void(TCustomConnection& sender, TStrings& loginParams)>;
  using TConnectChangeEvent = std::function<void(bool connecting)>;

  TCustomConnection();
  ~TCustomConnection() override;

  std::string ClassName() const override { return "TCustomConnection"; }

  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }
  bool Connected() const { return GetConnected(); }
  virtual void SetConnected(bool value);

  // Applies a Connected read from a stored form.
  void Loaded() override;

  bool LoginPrompt() const noexcept { return FLoginPrompt; }
  void SetLoginPrompt(bool value) noexcept { FLoginPrompt = value; }

  // Clients: `event` is called with true after the connection opened and
  // with false before it closes.
  virtual void RegisterClient(TComponent* client, TConnectChangeEvent event = nullptr);
  virtual void UnRegisterClient(TComponent* client);
  bool IsClientRegistered(const TComponent* client) const;
  int ClientCount() const;
  // A snapshot of the registered clients, in registration order.
  std::vector<TComponent*> Clients() const;

  // Events.
  TNotifyEvent BeforeConnect;
  TNotifyEvent AfterConnect;
  TNotifyEvent BeforeDisconnect;
  TNotifyEvent AfterDisconnect;
  TLoginEvent OnLogin;

 protected:
  virtual bool GetConnected() const { return false; }
  virtual void DoConnect() {}
  virtual void DoDisconnect() {}
  // Tells every registered client that the connection opened or closes.
  void SendConnectEvent(bool connecting);
  // Tells one client, when it is still registered.
  void NotifyClient(TComponent* client, bool connecting);

  void Notification(TComponent& component, TOperation operation) override;

  void DoBeforeConnect() { if (BeforeConnect) BeforeConnect(*this); }
  void DoAfterConnect() { if (AfterConnect) AfterConnect(*this); }
  void DoBeforeDisconnect() { if (BeforeDisconnect) BeforeDisconnect(*this); }
  void DoAfterDisconnect() { if (AfterDisconnect) AfterDisconnect(*this); }

  bool StreamedConnected() const noexcept { return FStreamedConnected; }
  void SetStreamedConnected(bool value) noexcept { FStreamedConnected = value; }

 private:
  struct TClient {
    TComponent* Component;
    TConnectChangeEvent Event;
  };

  mutable std::mutex FClientsLock;
  std::vector<TClient> FClients;
  bool FLoginPrompt = false;
  bool FStreamedConnected = false;
};

}  // namespace lumo
