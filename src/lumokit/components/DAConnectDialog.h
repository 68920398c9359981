// The login dialog's component: TCustomConnectDialog holds the captions
// (from one of the built-in label sets or set by hand), the retry count and
// what to remember, fills the connection's user name, password and server
// from the last successful login, shows the login form that a form module
// installed (ShowConnectFormProc) and remembers the login and the server
// history in a settings store when the form succeeds.
//
// Decisions:
// - The history lives in an IDASettingsStore (DefaultDASettingsStore()
//   unless SetSettingsStore gives another): key GetKeyPath() + "Connect\"
//   + the application title holds "Username" and the server value; key
//   GetServerListKeyPath() holds the history "Server 1", "Server 2" ...
//   Passwords are never stored; SavePassword only keeps the one typed.
// - Setting one of the six captions by hand makes the label set lsCustom.
// - The application title is a process-wide setting (SetApplicationTitle),
//   by default the program's short name.
// - A label text is cut to 49 characters, as the string table is read with
//   a buffer of 50.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <lumokit/components/DASettingsStore.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/components/KxNetManager.h>
#include <lumokit/core/Component.h>

namespace lumo {

enum TLabelSet : std::uint8_t {
  lsCustom = 0,
  lsEnglish = 1,
  lsFrench = 2,
  lsGerman = 3,
  lsItalian = 4,
  lsPolish = 5,
  lsPortuguese = 6,
  lsRussian = 7,
  lsSpanish = 8
};

// The first string-table identifier of a label set (lsCustom: -1).
int LabelSetBase(TLabelSet labelSet) noexcept;
// The string-table text of `id` ("" when there is none).
std::string LoadLabelString(int id);

// Shows a login form for the dialog; true when the user confirmed.
using TShowConnectFormProc = std::function<bool(TCustomConnectDialog& dialog)>;
void SetShowConnectFormProc(TShowConnectFormProc proc);
void SetShowConnectFormProcFmx(TShowConnectFormProc proc);

const std::string& ApplicationTitle();
void SetApplicationTitle(std::string title);

class TCustomConnectDialog : public TComponent {
 public:
  TCustomConnectDialog();
  ~TCustomConnectDialog() override;

  std::string ClassName() const override { return "TCustomConnectDialog"; }

  virtual bool Execute();
  // The server list for the form (see the unit comment).
  virtual void GetServerList(TStrings& list);

  TCustomDAConnection* Connection() const noexcept { return FConnection; }
  void SetConnection(TCustomDAConnection* value);
  std::uint16_t Retries() const noexcept { return FRetries; }
  void SetRetries(std::uint16_t value) noexcept { FRetries = value; }
  const std::string& DialogClass() const noexcept { return FDialogClass; }
  void SetDialogClass(std::string value) { FDialogClass = std::move(value); }
  bool SavePassword() const noexcept { return FSavePassword; }
  void SetSavePassword(bool value) noexcept { FSavePassword = value; }
  bool StoreLogInfo() const noexcept { return FStoreLogInfo; }
  void SetStoreLogInfo(bool value) noexcept { FStoreLogInfo = value; }
  bool UseServerHistory() const noexcept { return FUseServerHistory; }
  void SetUseServerHistory(bool value) noexcept { FUseServerHistory = value; }
  bool NeedConnect() const noexcept { return FNeedConnect; }
  void SetNeedConnect(bool value) noexcept { FNeedConnect = value; }
  TLabelSet LabelSet() const noexcept { return FLabelSet; }
  void SetLabelSet(TLabelSet value) { DoSetLabelSet(value); }

  const std::string& Caption() const noexcept { return FCaption; }
  void SetCaption(std::string value);
  const std::string& UsernameLabel() const noexcept { return FUsernameLabel; }
  void SetUsernameLabel(std::string value);
  const std::string& PasswordLabel() const noexcept { return FPasswordLabel; }
  void SetPasswordLabel(std::string value);
  const std::string& ServerLabel() const noexcept { return FServerLabel; }
  void SetServerLabel(std::string value);
  const std::string& ConnectButton() const noexcept { return FConnectButton; }
  void SetConnectButton(std::string value);
  const std::string& CancelButton() const noexcept { return FCancelButton; }
  void SetCancelButton(std::string value);

  // The enumerator made from GetServerEnumeratorClass on first use.
  TKxServerEnumerator& ServerEnumerator();
  IDASettingsStore& SettingsStore() const noexcept { return FSettingsStore ? *FSettingsStore : DefaultDASettingsStore(); }
  void SetSettingsStore(IDASettingsStore* value) noexcept { FSettingsStore = value; }

 protected:
  void Notification(TComponent& component, TOperation operation) override;

  virtual TClassRef<TKxServerEnumerator> GetServerEnumeratorClass();
  virtual void SetServerEnumerator(std::unique_ptr<TKxServerEnumerator> value);
  virtual void DoSetLabelSet(TLabelSet value);
  virtual std::string DefDialogClass() { return {}; }
  virtual std::string GetKeyPath() { return {}; }
  virtual std::string GetServerStoreName() { return "Server"; }
  virtual std::string GetServerListKeyPath() { return GetKeyPath() + "Connect"; }
  virtual void SaveServerListToRegistry();
  virtual void LoadServerListFromRegistry(TStrings& list);
  virtual void SaveInfoToRegistry();
  virtual void LoadInfoFromRegistry();

  // The key of this application's login values.
  std::string InfoKeyPath() { return GetKeyPath() + "Connect\\" + ApplicationTitle(); }

 private:
  TCustomDAConnection* FConnection = nullptr;
  std::uint16_t FRetries = 3;
  std::string FDialogClass;
  bool FSavePassword = false;
  bool FStoreLogInfo = true;
  bool FUseServerHistory = true;
  bool FNeedConnect = true;
  TLabelSet FLabelSet = lsEnglish;
  std::string FCaption;
  std::string FUsernameLabel;
  std::string FPasswordLabel;
  std::string FServerLabel;
  std::string FConnectButton;
  std::string FCancelButton;
  std::unique_ptr<TKxServerEnumerator> FServerEnumerator;
  IDASettingsStore* FSettingsStore = nullptr;
};

}  // namespace lumo
