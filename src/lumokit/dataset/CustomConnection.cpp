#include <lumokit/dataset/CustomConnection.h>

#include <algorithm>

namespace lumo {

TCustomConnection::TCustomConnection() = default;

TCustomConnection::~TCustomConnection() {
  Destroying();
  for (TComponent* client : Clients()) UnRegisterClient(client);
}

void TCustomConnection::Notification(TComponent& component, TOperation operation) {
  if (operation == TOperation::opRemove && IsClientRegistered(&component)) {
    std::lock_guard<std::mutex> guard(FClientsLock);
    std::erase_if(FClients, [&component](const TClient& c) { return c.Component == &component; });
  }
  TComponent::Notification(component, operation);
}

void TCustomConnection::SetConnected(bool value) {
  if (HasState(csReading)) {
    FStreamedConnected = value;
    return;
  }
  if (value == GetConnected()) return;
  if (value) {
    DoBeforeConnect();
    DoConnect();
    SendConnectEvent(true);
    DoAfterConnect();
  } else {
    DoBeforeDisconnect();
    SendConnectEvent(false);
    DoDisconnect();
    DoAfterDisconnect();
  }
}

void TCustomConnection::Loaded() {
  TComponent::Loaded();
  const bool connect = FStreamedConnected;
  FStreamedConnected = false;
  if (connect) SetConnected(true);
}

void TCustomConnection::RegisterClient(TComponent* client, TConnectChangeEvent event) {
  if (!client || client == this) return;
  bool added = false;
  {
    std::lock_guard<std::mutex> guard(FClientsLock);
    auto it =
        std::find_if(FClients.begin(), FClients.end(), [client](const TClient& c) { return c.Component == client; });
    if (it != FClients.end()) {
      it->Event = std::move(event);
    } else {
      FClients.push_back({client, std::move(event)});
      added = true;
    }
  }
  if (added) FreeNotification(*client);
}

void TCustomConnection::UnRegisterClient(TComponent* client) {
  // The free notification stays: the client may have asked for it as well
  // (to learn that the connection goes away), and a notification for a
  // client no longer registered changes nothing.
  std::lock_guard<std::mutex> guard(FClientsLock);
  std::erase_if(FClients, [client](const TClient& c) { return c.Component == client; });
}

bool TCustomConnection::IsClientRegistered(const TComponent* client) const {
  std::lock_guard<std::mutex> guard(FClientsLock);
  return std::any_of(FClients.begin(), FClients.end(), [client](const TClient& c) { return c.Component == client; });
}

int TCustomConnection::ClientCount() const {
  std::lock_guard<std::mutex> guard(FClientsLock);
  return static_cast<int>(FClients.size());
}

std::vector<TComponent*> TCustomConnection::Clients() const {
  std::lock_guard<std::mutex> guard(FClientsLock);
  std::vector<TComponent*> result;
  result.reserve(FClients.size());
  for (const TClient& c : FClients) result.push_back(c.Component);
  return result;
}

void TCustomConnection::SendConnectEvent(bool connecting) {
  for (TComponent* client : Clients()) NotifyClient(client, connecting);
}

void TCustomConnection::NotifyClient(TComponent* client, bool connecting) {
  TConnectChangeEvent event;
  {
    std::lock_guard<std::mutex> guard(FClientsLock);
    auto it = std::find_if(FClients.begin(), FClients.end(), [client](const TClient& c) { return c.Component == client; });
    if (it == FClients.end()) return;  // unregistered by an earlier callback
    event = it->Event;
  }
  if (event) event(connecting);
}

}  // namespace lumo
