#include <lumokit/components/DAConnectDialog.h>

#include <cerrno>
#include <cstring>

#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>

namespace lumo {

namespace {

// The label texts of the string table: caption, user name, password,
// server, connect button, cancel button, database, port, protocol,
// provider, data source.
struct TLabelTable {
  TLabelSet Set;
  int Base;
  const char* Texts[11];
};

const TLabelTable LabelTables[] = {
    {lsEnglish, 100, {"Connect", "User Name", "Password", "Server", "Connect", "Cancel", "Database", "Port",
                      "Protocol", "Provider", "Data source"}},
    {lsFrench, 200, {"Ouverture de session", "Nom utilisateur", "Mot de passe", "Serveur", "Ok", "Annuler",
                     "Base de donnees", "Port", "Protocole", "Fournisseur", "Donnees de Soruce"}},
    {lsGerman, 300, {"Anmeldung", "Benutzername", "Kennwort", "Host-Zeichenfolge", "Ok", "Abbrechen", "Datenbank",
                     "Tor", "Protokoll", "Versorger", "Datenquelle"}},
    {lsItalian, 400, {"Connessione", "Nome Utente", "Parola d'ordine", "Stringa Conn.Host", "Ok", "Elimina",
                      "Base di dati", "Orificio", "Protocollo", "Fornitore", "Fonte di dati"}},
    {lsPolish, 500, {"Rejestracja", "Użytkownik", "Hasło", "Opis hosta", "Ok", "Anuluj", "Baza Danych", "Port",
                     "Protokół", "Dostawca", "Źródło Danych"}},
    {lsPortuguese, 600, {"Iniciar Sessão", "Nome do Usuário", "Senha", "Servidor", "Ok", "Cancelar",
                         "Base de dados", "Porta", "Protocolo", "Fornecedor", "Origem dos dados"}},
    {lsRussian, 0, {"Соединение", "Имя", "Пароль", "Сервер", "Соединить", "Отмена", "База данных", "Порт",
                    "Протокол", "Провайдер", "Источник данных"}},
    {lsSpanish, 700, {"Conectar", "Usuario", "Clave", "Cadena Conexiyn", "Ok", "Cancelar", "Base de datos",
                      "Puerto", "Protocolo", "Abastecedor", "Fuente de datos"}},
};

// At most `count` UTF-8 characters of `text`.
std::string FirstCharacters(std::string_view text, std::size_t count) {
  std::size_t chars = 0, i = 0;
  while (i < text.size()) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == count) break;
      ++chars;
    }
    ++i;
  }
  return std::string(text.substr(0, i));
}

TShowConnectFormProc GShowConnectForm;
TShowConnectFormProc GShowConnectFormFmx;

std::string& Title() {
  static std::string title = program_invocation_short_name ? program_invocation_short_name : "";
  return title;
}

bool EndsWithText(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() && AnsiSameText(std::string_view(text).substr(text.size() - suffix.size()), suffix);
}

}  // namespace

int LabelSetBase(TLabelSet labelSet) noexcept {
  for (const TLabelTable& t : LabelTables)
    if (t.Set == labelSet) return t.Base;
  return -1;
}

std::string LoadLabelString(int id) {
  for (const TLabelTable& t : LabelTables) {
    if (id >= t.Base && id < t.Base + 11) return FirstCharacters(t.Texts[id - t.Base], 49);
  }
  return {};
}

void SetShowConnectFormProc(TShowConnectFormProc proc) { GShowConnectForm = std::move(proc); }
void SetShowConnectFormProcFmx(TShowConnectFormProc proc) { GShowConnectFormFmx = std::move(proc); }
const std::string& ApplicationTitle() { return Title(); }
void SetApplicationTitle(std::string title) { Title() = std::move(title); }

// ---- TCustomConnectDialog -------------------------------------------------------------------

TCustomConnectDialog::TCustomConnectDialog() { DoSetLabelSet(lsEnglish); }

TCustomConnectDialog::~TCustomConnectDialog() {
  Destroying();
  SetConnection(nullptr);
}

void TCustomConnectDialog::SetConnection(TCustomDAConnection* value) {
  SetReference(FConnection, value);
}

void TCustomConnectDialog::Notification(TComponent& component, TOperation operation) {
  if (operation == TOperation::opRemove && FConnection && &component == static_cast<TComponent*>(FConnection))
    FConnection = nullptr;
  TComponent::Notification(component, operation);
}

void TCustomConnectDialog::DoSetLabelSet(TLabelSet value) {
  FLabelSet = value;
  if (value == lsCustom) return;
  const int base = LabelSetBase(value);
  FCaption = LoadLabelString(base);
  FUsernameLabel = LoadLabelString(base + 1);
  FPasswordLabel = LoadLabelString(base + 2);
  FServerLabel = LoadLabelString(base + 3);
  FConnectButton = LoadLabelString(base + 4);
  FCancelButton = LoadLabelString(base + 5);
}

void TCustomConnectDialog::SetCaption(std::string value) {
  FCaption = std::move(value);
  FLabelSet = lsCustom;
}
void TCustomConnectDialog::SetUsernameLabel(std::string value) {
  FUsernameLabel = std::move(value);
  FLabelSet = lsCustom;
}
void TCustomConnectDialog::SetPasswordLabel(std::string value) {
  FPasswordLabel = std::move(value);
  FLabelSet = lsCustom;
}
void TCustomConnectDialog::SetServerLabel(std::string value) {
  FServerLabel = std::move(value);
  FLabelSet = lsCustom;
}
void TCustomConnectDialog::SetConnectButton(std::string value) {
  FConnectButton = std::move(value);
  FLabelSet = lsCustom;
}
void TCustomConnectDialog::SetCancelButton(std::string value) {
  FCancelButton = std::move(value);
  FLabelSet = lsCustom;
}

TClassRef<TKxServerEnumerator> TCustomConnectDialog::GetServerEnumeratorClass() {
  AssertionFailure(__FILE__, __LINE__, "Must be overrided");
}

void TCustomConnectDialog::SetServerEnumerator(std::unique_ptr<TKxServerEnumerator> value) {
  FServerEnumerator = std::move(value);
}

TKxServerEnumerator& TCustomConnectDialog::ServerEnumerator() {
  if (!FServerEnumerator) SetServerEnumerator(GetServerEnumeratorClass().Create());
  return *FServerEnumerator;
}

// ---- the history ----------------------------------------------------------------------------

void TCustomConnectDialog::LoadServerListFromRegistry(TStrings& list) {
  IDASettingsStore& store = SettingsStore();
  const std::string key = GetServerListKeyPath();
  list.BeginUpdate();
  list.Clear();
  for (int n = 1;; ++n) {
    std::string value;
    if (!store.ReadString(key, Format("%s %d", {GetServerStoreName(), n}), value)) break;
    list.Add(value);
  }
  list.EndUpdate();
}

void TCustomConnectDialog::SaveServerListToRegistry() {
  if (!FConnection) return;
  TStringList known;
  LoadServerListFromRegistry(known);
  IDASettingsStore& store = SettingsStore();
  const std::string key = GetServerListKeyPath();
  const std::string current = FConnection->Server();
  std::vector<std::string> servers{current};
  for (int i = 0; i < known.Count(); ++i)
    if (!AnsiSameText(known[i], current)) servers.push_back(known[i]);
  int n = 1;
  for (const std::string& s : servers) store.WriteString(key, Format("%s %d", {GetServerStoreName(), n++}), s);
  // Entries past the new end (none unless the store was edited by hand).
  for (std::string stale; store.ReadString(key, Format("%s %d", {GetServerStoreName(), n}), stale); ++n)
    store.DeleteValue(key, Format("%s %d", {GetServerStoreName(), n}));
}

void TCustomConnectDialog::LoadInfoFromRegistry() {
  if (!FConnection) return;
  IDASettingsStore& store = SettingsStore();
  const std::string key = InfoKeyPath();
  const bool designing = FConnection->HasState(csDesigning);
  const std::string before = FConnection->Username();
  if (designing && !before.empty()) return;
  std::string username = before, server = FConnection->Server();
  store.ReadString(key, "Username", username);
  store.ReadString(key, GetServerStoreName(), server);
  const std::string password = FConnection->Password();
  FConnection->SetUsername(username);
  FConnection->SetServer(server);
  const bool userChanged = username != before;
  if (designing)
    FConnection->SetPassword(userChanged ? std::string() : password);
  else
    FConnection->SetPassword(FSavePassword && !userChanged ? password : std::string());
}

void TCustomConnectDialog::SaveInfoToRegistry() {
  if (!FConnection) return;
  IDASettingsStore& store = SettingsStore();
  const std::string key = InfoKeyPath();
  store.WriteString(key, "Username", FConnection->Username());
  store.WriteString(key, GetServerStoreName(), FConnection->Server());
}

void TCustomConnectDialog::GetServerList(TStrings& list) {
  if (!FUseServerHistory) {
    ServerEnumerator().GetServerList(list);
    if (list.Count() > 0) return;
  }
  LoadServerListFromRegistry(list);
}

bool TCustomConnectDialog::Execute() {
  if (!FConnection) throw EDAError("Connection is not defined");
  TCustomDAConnection& c = *FConnection;
  const std::string username = c.Username(), password = c.Password(), server = c.Server();
  bool ok = false;
  try {
    if (FStoreLogInfo) LoadInfoFromRegistry();
    const bool fmx = c.HasState(csDesigning) && EndsWithText(FDialogClass, "fmx") && GShowConnectFormFmx;
    if (fmx)
      ok = GShowConnectFormFmx(*this);
    else if (GShowConnectForm)
      ok = GShowConnectForm(*this);
    if (ok && FStoreLogInfo) {
      SaveServerListToRegistry();
      SaveInfoToRegistry();
    }
  } catch (...) {
    ok = false;
    if (FConnection) {
      FConnection->SetUsername(username);
      FConnection->SetPassword(password);
      FConnection->SetServer(server);
    }
    throw;
  }
  if (!ok) {
    c.SetUsername(username);
    c.SetPassword(password);
    c.SetServer(server);
  }
  return ok;
}

}  // namespace lumo
