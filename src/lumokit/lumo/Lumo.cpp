#include <lumokit/lumo/Lumo.h>

#include <exception>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>

namespace lumo {

bool EnableLumoSQL = true;

namespace {

template <class Base>
TClassRef<Base> ToClassRef(const TLumoClassRef<Base>& ref) {
  if (!ref) return {};
  return TClassRef<Base>(ref.Factory, *ref.Type);
}

// A line's prefix is the text before a "." that comes before the "=".
bool HasPrefix(std::string_view line) {
  const std::size_t eq = line.find('=');
  const std::size_t dot = line.find('.');
  return dot != std::string_view::npos && (eq == std::string_view::npos || dot < eq);
}

std::string BoolOptionText(bool value) { return value ? "True" : "False"; }

}  // namespace

// ---- errors ----------------------------------------------------------------------------------

ELumoError::ELumoError(std::shared_ptr<const EDAError> inner, TComponent* component)
    : EDAError(inner ? inner->ErrorCode() : 0, inner ? std::string(inner->what()) : std::string(),
               inner && inner->Component() ? inner->Component() : component),
      FInnerError(std::move(inner)) {}

bool ELumoError::IsFatalError() const { return FInnerError && FInnerError->IsFatalError(); }

bool ELumoError::IsKeyViolation() const { return FInnerError && FInnerError->IsKeyViolation(); }

std::shared_ptr<const EDAError> CurrentDAError() {
  // The thrown object itself is kept (not a slice of it), alive as long as
  // the exception_ptr that the shared pointer carries.
  auto holder = std::make_shared<std::exception_ptr>(std::current_exception());
  if (!*holder) return nullptr;  // not inside a handler
  const EDAError* error = nullptr;
  try {
    std::rethrow_exception(*holder);
  } catch (const EDAError& e) {
    error = &e;
  } catch (...) {
  }
  if (!error) return nullptr;
  return std::shared_ptr<const EDAError>(holder, error);
}

// ---- specific options ------------------------------------------------------------------------

int TSpecificOptionsList::IndexOfName(std::string_view name) const {
  const int i = TStringList::IndexOfName(name);
  if (i >= 0 || name.find('.') != std::string_view::npos) return i;
  const std::string provider = ProviderName();
  if (provider.empty()) return -1;
  return TStringList::IndexOfName(provider + "." + std::string(name));
}

std::string TSpecificOptionsList::Values(std::string_view name) const {
  const int i = IndexOfName(name);
  if (i < 0) return {};
  const std::string& line = Get(i);
  const std::size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

void TSpecificOptionsList::SetValues(std::string_view name, std::string_view value) {
  const int i = IndexOfName(name);
  if (i >= 0) {
    Put(i, Names(i) + "=" + std::string(value));
  } else {
    Add(std::string(name) + "=" + std::string(value));
  }
}

std::string TSpecificOptionsList::WithPrefix(std::string line) const {
  if (line.find('=') == std::string::npos || HasPrefix(line)) return line;
  const std::string provider = ProviderName();
  if (provider.empty()) throw EDAError("Provider is not defined");
  return provider + "." + line;
}

void TSpecificOptionsList::Put(int index, std::string s) { TStringList::Put(index, WithPrefix(std::move(s))); }

int TSpecificOptionsList::AddObject(std::string s, std::any object) {
  return TStringList::AddObject(WithPrefix(std::move(s)), std::move(object));
}

void TSpecificOptionsList::InsertObject(int index, std::string s, std::any object) {
  TStringList::InsertObject(index, WithPrefix(std::move(s)), std::move(object));
}

TSpecificOptionsHolder::TSpecificOptionsHolder(TSpecificOptionsList::TProviderNameFunc providerName,
                                               std::function<void()> changing, std::function<void()> changed)
    : FValues(std::move(providerName)) {
  if (changing) FValues.SetOnChanging([changing](TStrings&) { changing(); });
  FValues.SetOnChange([this, changed](TStrings&) {
    FIsModified = true;
    if (changed) changed();
  });
}

// ---- macros ----------------------------------------------------------------------------------

void TLumoMacro::SetName(const std::string& value) {
  if (value == FName) return;
  FName = value;
  FOwner.Changed();
}

void TLumoMacro::SetValue(const std::string& value) {
  if (value == FValue) return;
  FValue = value;
  FOwner.Changed();
}

void TLumoMacro::SetCondition(const std::string& value) {
  if (value == FCondition) return;
  FCondition = value;
  FOwner.Changed();
}

TLumoMacro& TLumoMacros::Add() {
  FItems.push_back(std::make_unique<TLumoMacro>(*this));
  Changed();
  return *FItems.back();
}

TLumoMacro& TLumoMacros::Add(const std::string& name, const std::string& value, const std::string& condition) {
  BeginUpdate();
  TLumoMacro& m = Add();
  m.SetName(name);
  m.SetValue(value);
  m.SetCondition(condition);
  EndUpdate();
  return m;
}

TLumoMacro& TLumoMacros::Items(int index) const {
  if (index < 0 || index >= Count()) throw Exception(Format("List index out of bounds (%d)", {index}));
  return *FItems[static_cast<std::size_t>(index)];
}

TLumoMacro* TLumoMacros::FindMacro(std::string_view name) const {
  for (const auto& m : FItems)
    if (SameTextAscii(m->Name(), name)) return m.get();
  return nullptr;
}

void TLumoMacros::Delete(int index) {
  Items(index);
  FItems.erase(FItems.begin() + index);
  Changed();
}

void TLumoMacros::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Changed();
}

void TLumoMacros::Assign(const TLumoMacros& source) {
  if (&source == this) return;
  BeginUpdate();
  FItems.clear();
  for (const auto& m : source.FItems) Add(m->Name(), m->Value(), m->Condition());
  Changed();
  EndUpdate();
}

void TLumoMacros::EndUpdate() {
  if (FUpdateCount > 0) --FUpdateCount;
  if (FUpdateCount == 0 && FPendingChange) {
    FPendingChange = false;
    if (OnChanged) OnChanged();
  }
}

void TLumoMacros::Changed() {
  if (FUpdateCount > 0) {
    FPendingChange = true;
    return;
  }
  if (OnChanged) OnChanged();
}

// ---- connection options ----------------------------------------------------------------------

bool TLumoConnectionOptions::ConvertEOL() const { return FOwner && FOwner->ConvertEOL(); }

void TLumoConnectionOptions::SetConvertEOL(bool value) {
  if (FOwner) FOwner->SetConvertEOL(value);
}

// ---- connect string --------------------------------------------------------------------------

namespace {

struct TLumoKey {
  const char* Name;
  std::vector<const char*> Alternatives;
};

const TLumoKey ProviderKey{"Provider Name", {"ProviderName"}};
const TLumoKey DataSourceKey{"Data Source", {}};
const TLumoKey ServerKey{"Server", {"Host"}};
const TLumoKey UserKey{"User ID", {"User", "UID", "User Name", "UserName"}};
const TLumoKey PasswordKey{"Password", {"PWD"}};
const TLumoKey DatabaseKey{"Database", {}};
const TLumoKey PortKey{"Port", {}};

bool IsKey(std::string_view name, const TLumoKey& key) {
  if (AnsiSameText(name, key.Name)) return true;
  for (const char* alt : key.Alternatives)
    if (AnsiSameText(name, alt)) return true;
  return false;
}

}  // namespace

TLumoConnectStringBuilder::TLumoConnectStringBuilder(TLumoConnection& owner) : TDAConnectStringBuilder(owner) {}

TLumoConnection& TLumoConnectStringBuilder::Owner() const { return static_cast<TLumoConnection&>(FOwner); }

const TOption* TLumoConnectStringBuilder::ConnectStringOption(const std::string& name) const {
  std::shared_ptr<TLumoProvider> p = Owner().ProviderOrNull();
  if (!p) return nullptr;
  const TOption* option = p->GetConnectionOptions().OptionByName(name);
  return option && option->IsUsedInConnectString() ? option : nullptr;
}

std::string TLumoConnectStringBuilder::GetConnectString() {
  std::string result = TDAConnectStringBuilder::GetConnectString();
  TLumoConnection& c = Owner();
  std::shared_ptr<TLumoProvider> p = c.ProviderOrNull();
  const bool servers = !p || p->IsServerSupported();
  if (!c.ProviderName().empty()) AddPair(result, ProviderKey.Name, c.ProviderName());
  if (servers) {
    if (!c.Server().empty()) AddPair(result, DataSourceKey.Name, c.Server());
    if (!c.Database().empty()) AddPair(result, DatabaseKey.Name, c.Database());
  } else if (!c.Database().empty()) {
    AddPair(result, DataSourceKey.Name, c.Database());
  }
  if (!c.Username().empty()) AddPair(result, UserKey.Name, c.Username());
  if (!c.Password().empty()) AddPair(result, PasswordKey.Name, c.Password());
  if (c.Port() != 0) AddPair(result, PortKey.Name, std::to_string(c.Port()));
  if (!p) return result;
  const TOptionsList& options = p->GetConnectionOptions();
  const TSpecificOptionsList& lines = c.SpecificOptions();
  for (int i = 0; i < lines.Count(); ++i) {
    std::string prefix, name, value;
    if (!ExtractOption(lines[i], prefix, name, value) || !AnsiSameText(prefix, options.Prefix())) continue;
    const TOption* option = options.OptionByName(name);
    if (!option || !option->IsUsedInConnectString()) continue;
    if (AnsiSameText(Trim(value), option->GetAsString(option->DefaultValue()))) continue;
    AddPair(result, option->OptionName(), value);
  }
  return result;
}

void TLumoConnectStringBuilder::SetConnectString(const std::string& value) {
  // The provider decides which option keys exist, so it is read first.
  FProviderFromString.clear();
  for (const TPair& p : Parse(value))
    if (IsKey(p.Name, ProviderKey)) FProviderFromString = p.Value;
  TDAConnectStringBuilder::SetConnectString(value);
}

void TLumoConnectStringBuilder::InitConnectStringOptions() {
  TDAConnectStringBuilder::InitConnectStringOptions();
  TLumoConnection& c = Owner();
  c.SetServer("");
  c.SetUsername("");
  c.SetPassword("");
  c.SetDatabase("");
  c.SetPort(0);
  c.SetProviderName("");
  c.SetProviderName(FProviderFromString);
  std::shared_ptr<TLumoProvider> p = c.ProviderOrNull();
  if (!p) return;
  const TOptionsList& options = p->GetConnectionOptions();
  TSpecificOptionsList& lines = c.SpecificOptions();
  for (int i = 0; i < options.Count(); ++i) {
    const TOption& option = options.Items(i);
    if (!option.IsUsedInConnectString()) continue;
    if (lines.IndexOfName(option.OptionName()) >= 0)
      lines.SetValues(option.OptionName(), option.GetAsString(option.DefaultValue()));
  }
}

std::string TLumoConnectStringBuilder::CanonicalName(const std::string& name) {
  for (const TLumoKey* key : {&ProviderKey, &DataSourceKey, &ServerKey, &UserKey, &PasswordKey, &DatabaseKey,
                              &PortKey})
    if (IsKey(name, *key)) return key->Name;
  return TDAConnectStringBuilder::CanonicalName(name);
}

void TLumoConnectStringBuilder::ProcessConnectStringParam(const std::string& name, const std::string& value,
                                                          bool quoted) {
  TLumoConnection& c = Owner();
  if (IsKey(name, ProviderKey)) {
    c.SetProviderName(value);
  } else if (IsKey(name, DataSourceKey)) {
    std::shared_ptr<TLumoProvider> p = c.ProviderOrNull();
    if (!p || p->IsServerSupported())
      c.SetServer(value);
    else
      c.SetDatabase(value);
  } else if (IsKey(name, ServerKey)) {
    c.SetServer(value);
  } else if (IsKey(name, UserKey)) {
    c.SetUsername(value);
  } else if (IsKey(name, PasswordKey)) {
    c.SetPassword(value);
  } else if (IsKey(name, DatabaseKey)) {
    c.SetDatabase(value);
  } else if (IsKey(name, PortKey)) {
    c.SetPort(ParseInt(name, value, 0, 65535));
  } else if (const TOption* option = ConnectStringOption(name)) {
    // Checked here, so that a bad value fails while the string is read.
    option->Validate(value);
    c.SpecificOptions().SetValues(option->OptionName(), value);
  } else {
    TDAConnectStringBuilder::ProcessConnectStringParam(name, value, quoted);
  }
}

// ---- the connection --------------------------------------------------------------------------

TLumoConnection::TLumoConnection()
    : FSpecificOptions([this] { return FProviderName; }, nullptr, [this] { SpecificOptionsChanged(); }) {
  FMacros.OnChanged = [this] { MacrosChanged(); };
}

TLumoConnection::~TLumoConnection() {
  Destroying();
  try {
    Disconnect();
  } catch (...) {
  }
  FMacros.OnChanged = nullptr;
}

void TLumoConnection::SetProviderName(const std::string& value) {
  const std::string name = Trim(value);
  if (AnsiSameText(name, FProviderName)) return;
  if (Connected()) throw EDAError("This operation is not allowed on active connection");
  // The provider connection, the formatter and the lexer were the old
  // provider's.
  SetIConnection(nullptr);
  FSQLFormatter.reset();
  FProvider = name.empty() ? nullptr : LumoProviders().GetProvider(name);
  FProviderName = name;
  MacrosChanged();
}

std::shared_ptr<TLumoProvider> TLumoConnection::ProviderOrNull() {
  if (!FProvider && !FProviderName.empty()) FProvider = LumoProviders().GetProvider(FProviderName);
  return FProvider;
}

TLumoProvider& TLumoConnection::Provider() {
  if (FProviderName.empty()) throw EDAError("Provider is not defined");
  if (std::shared_ptr<TLumoProvider> p = ProviderOrNull()) return *p;
  TLumoProviderDesc desc;
  try {
    desc = LumoProviders().GetProviderDesc(FProviderName);
  } catch (const Exception& e) {
    throw EDAError(e.what());
  }
  throw EDAError(Format(
      "%s provider is not registered. You should add the %s unit to the uses clause of any unit in your project "
      "or place the %s component on the form.",
      {desc.ProviderName, desc.ProviderUnitName(), desc.ProviderComponentName()}));
}

void TLumoConnection::SetPort(std::int32_t value) {
  if (value == FPort) return;
  Disconnect();
  FPort = value;
  if (IConnection()) IConnection()->SetProp(prPort, value);
}

void TLumoConnection::SetDatabase(const std::string& value) {
  const std::string name = Trim(value);
  if (name == FDatabase) return;
  if (Connected() && IConnection() && !IConnection()->CanChangeDatabase()) Disconnect();
  FDatabase = name;
  if (IConnection()) WithLumoErrors(this, [&] { IConnection()->SetProp(prDatabase, name); });
}

TLumoConnectionOptions& TLumoConnection::Options() const {
  return static_cast<TLumoConnectionOptions&>(TCustomDAConnection::Options());
}

std::string TLumoConnection::ServerVersion() {
  if (!Connected()) throw EDAError("Connection is not connected");
  return IConnection()->GetServerVersion();
}

std::string TLumoConnection::ServerVersionFull() {
  if (!Connected()) throw EDAError("Connection is not connected");
  return IConnection()->GetServerVersionFull();
}

std::string TLumoConnection::ClientVersion() {
  if (!Connected()) throw EDAError("Connection is not connected");
  return IConnection()->GetClientVersion();
}

void TLumoConnection::StartTransaction() { StartTransaction(ilReadCommitted, false); }

void TLumoConnection::StartTransaction(TKxIsolationLevel isolationLevel, bool readOnly) {
  TDATransaction& tr = DefaultTransactionOrInternal();
  if (!tr.Active()) {
    tr.SetIsolationLevel(isolationLevel);
    tr.SetReadOnly(readOnly);
  }
  WithLumoErrors(this, [&] { TCustomDAConnection::StartTransaction(); });
}

bool TLumoConnection::IsMultipleTransactionsSupported() {
  std::shared_ptr<TLumoProvider> p = ProviderOrNull();
  return p && p->IsDataSetNeedTransaction();
}

TDATransaction* TLumoConnection::UsedTransaction() {
  if (!IsMultipleTransactionsSupported() || DefaultTransactionOrInternal().Active())
    return TCustomDAConnection::UsedTransaction();
  return &InternalTransaction();
}

std::unique_ptr<TDATransaction> TLumoConnection::CreateTransaction() {
  auto tr = std::make_unique<TLumoTransaction>();
  tr->SetDefaultConnection(this);
  return tr;
}

std::unique_ptr<TCustomDADataSet> TLumoConnection::CreateDataSet() {
  auto ds = std::make_unique<TCustomLumoDataSet>();
  ds->SetConnection(this);
  return ds;
}

std::unique_ptr<TCustomDASQL> TLumoConnection::CreateSQL() {
  auto sql = std::make_unique<TLumoSQL>();
  sql->SetConnection(this);
  return sql;
}

std::unique_ptr<TDAMetaData> TLumoConnection::CreateMetaData() {
  auto md = std::make_unique<TLumoMetaData>();
  md->SetConnection(this);
  return md;
}

std::string TLumoConnection::DefaultTableSchema() { return Provider().DefaultTableSchema(); }

TClassRef<TKxConnection> TLumoConnection::GetIConnectionClass() {
  return ToClassRef(Provider().GetConnectionClass());
}
TClassRef<TKxCommand> TLumoConnection::GetICommandClass() { return ToClassRef(Provider().GetCommandClass()); }
TClassRef<TKxRecordSet> TLumoConnection::GetIRecordSetClass() { return ToClassRef(Provider().GetRecordSetClass()); }
TClassRef<TKxMetaData> TLumoConnection::GetIMetaDataClass() { return ToClassRef(Provider().GetMetaDataClass()); }

TSQLParserClass TLumoConnection::ParserClass() {
  std::shared_ptr<TLumoProvider> p = ProviderOrNull();
  return p ? p->GetParserClass() : TSQLParserClass();
}

void TLumoConnection::CreateIConnection() {
  TLumoProvider& p = Provider();
  if (IConnection()) {
    if (FSpecificOptions.IsModified()) {
      p.SetObjectProps(*IConnection(), SpecificOptions());
      FSpecificOptions.SetIsModified(false);
    }
    return;
  }
  TCustomDAConnection::CreateIConnection();
  TKxConnection& c = *IConnection();
  if (p.IsDatabaseSupported()) c.SetProp(prDatabase, FDatabase);
  if (p.IsPortSupported()) c.SetProp(prPort, FPort);
  p.SetObjectProps(c, SpecificOptions());
  FSpecificOptions.SetIsModified(false);
}

void TLumoConnection::DoConnect() {
  WithLumoErrors(this, [&] { TCustomDAConnection::DoConnect(); });
  std::shared_ptr<TLumoProvider> p = ProviderOrNull();
  if (p && p->IsDatabaseSupported() && FDatabase.empty() && IConnection()) {
    Variant v;
    if (IConnection()->GetProp(prDatabase, v) && !v.IsNull() && !v.IsEmpty()) FDatabase = v.AsString();
  }
}

void TLumoConnection::DoError(const Exception& e, bool& fail, bool& reconnect, bool& reexecute,
                              int reconnectAttempt, TConnLostCause& connLostCause) {
  const auto* error = dynamic_cast<const EDAError*>(&e);
  if (!error || dynamic_cast<const ELumoError*>(error)) {
    TCustomDAConnection::DoError(e, fail, reconnect, reexecute, reconnectAttempt, connLostCause);
    return;
  }
  // The wrapper lives for this call. It owns the error when that is the
  // exception being handled; otherwise it only refers to it (the caller
  // keeps it alive for the call).
  std::shared_ptr<const EDAError> inner = CurrentDAError();
  if (inner.get() != error) inner = std::shared_ptr<const EDAError>(std::shared_ptr<const EDAError>(), error);
  const ELumoError wrapper(std::move(inner), this);
  TCustomDAConnection::DoError(wrapper, fail, reconnect, reexecute, reconnectAttempt, connLostCause);
}

void TLumoConnection::DoDisconnect() {
  WithLumoErrors(this, [&] { TCustomDAConnection::DoDisconnect(); });
}

std::unique_ptr<TDAConnectionOptions> TLumoConnection::CreateOptions() {
  return std::make_unique<TLumoConnectionOptions>(this);
}

std::unique_ptr<TDAConnectStringBuilder> TLumoConnection::CreateConnectStringBuilder() {
  return std::make_unique<TLumoConnectStringBuilder>(*this);
}

void TLumoConnection::AssignConnectOptions(TCustomDAConnection& source) {
  TCustomDAConnection::AssignConnectOptions(source);
  auto* src = dynamic_cast<TLumoConnection*>(&source);
  if (!src) return;
  SetProviderName(src->ProviderName());
  SetDatabase(src->Database());
  SetPort(src->Port());
  FMacros.Assign(src->Macros());
  SpecificOptions().Assign(src->SpecificOptions());
}

void TLumoConnection::SpecificOptionsChanged() {
  if (Connected()) Disconnect();
}

void TLumoConnection::MacrosChanged() {
  FMacrosChanged = true;
  ++FMacrosVersion;
}

TLumoMacro& TLumoConnection::MacroByName(const std::string& name) {
  if (TLumoMacro* m = FMacros.FindMacro(name)) return *m;
  TLumoMacro& m = FMacros.Add();
  m.SetName(name);
  return m;
}

Variant TLumoConnection::ActiveMacroValueByName(const std::string& name) {
  if (FMacrosChanged) DetectActiveMacros();
  const int i = FMacroNames.IndexOf(AsciiUpperCase(name));
  if (i < 0) return Variant();
  return Variant(FMacroValues[i]);
}

TLumoSqlFormatter& TLumoConnection::Formatter() {
  TLumoProvider& p = Provider();
  const TSqlFormatterClass cls = p.GetSqlFormatterClass();
  if (!FSQLFormatter || !cls.IsClassOf(*FSQLFormatter)) {
    FSQLFormatter = cls.Create();
    FMacrosChanged = true;
  }
  FSQLFormatter->SetParserClass(p.GetParserClass());
  return *FSQLFormatter;
}

bool TLumoConnection::IsConditionActive(const std::string& condition, const TLumoMacro* checking, int depth) {
  if (depth > FMacros.Count()) throw EDAError("Cyclic macros conditions");
  const std::string name = AsciiUpperCase(Trim(condition));
  if (name.empty()) return true;
  // A macro the formatter knows (a predefined one of the provider).
  if (FSQLFormatter && FSQLFormatter->CheckIfCondition(name)) return true;
  for (int i = 0; i < FMacros.Count(); ++i) {
    const TLumoMacro& m = FMacros.Items(i);
    if (&m == checking || AsciiUpperCase(Trim(m.Name())) != name) continue;
    if (Trim(m.Condition()).empty() || IsConditionActive(m.Condition(), &m, depth + 1)) return true;
  }
  return false;
}

void TLumoConnection::DetectActiveMacros() {
  // Conditions may name the provider's predefined macros, which the
  // formatter knows. It must not see the lists while they are rebuilt.
  if (ProviderOrNull()) Formatter();
  if (FSQLFormatter) FSQLFormatter->SetUserMacros(nullptr, nullptr);
  FMacroNames.Clear();
  FMacroValues.Clear();
  std::vector<std::string> unconditional;  // names whose listed value came without condition
  for (int i = 0; i < FMacros.Count(); ++i) {
    const TLumoMacro& m = FMacros.Items(i);
    const bool conditioned = !Trim(m.Condition()).empty();
    if (conditioned && !IsConditionActive(m.Condition(), &m, 0)) continue;
    const std::string name = AsciiUpperCase(Trim(m.Name()));
    const int listed = FMacroNames.IndexOf(name);
    if (listed < 0) {
      FMacroNames.Add(name);
      FMacroValues.Add(m.Value());
      if (!conditioned) unconditional.push_back(name);
      continue;
    }
    if (!conditioned) continue;
    // A conditioned value overrides an unconditioned one, once.
    for (auto it = unconditional.begin(); it != unconditional.end(); ++it)
      if (*it == name) {
        FMacroValues.Put(listed, m.Value());
        unconditional.erase(it);
        break;
      }
  }
  FMacrosChanged = false;
}

void TLumoConnection::ExpandMacros(std::string& sql) {
  if (!ProviderOrNull()) return;
  TLumoSqlFormatter& f = Formatter();
  if (FMacrosChanged) DetectActiveMacros();
  f.SetUserMacros(&FMacroNames, &FMacroValues);
  f.Expand(sql);
}

// ---- transaction -----------------------------------------------------------------------------

TLumoTransaction::TLumoTransaction()
    : FSpecificOptions([this] {
        TLumoConnection* c = LumoConnection();
        return c ? c->ProviderName() : std::string();
      }) {}

TLumoConnection* TLumoTransaction::LumoConnection() const { return dynamic_cast<TLumoConnection*>(UsedConnection()); }

TClassRef<TKxTransaction> TLumoTransaction::GetITransactionClass() {
  if (TransactionType() == ttMTS) return TDATransaction::GetITransactionClass();
  TLumoConnection* c = LumoConnection();
  if (!c) throw EDAError("Connection is not defined");
  return ToClassRef(c->Provider().GetTransactionClass());
}

void TLumoTransaction::GainITransaction() {
  TDATransaction::GainITransaction();
  TLumoConnection* c = LumoConnection();
  if (!c || !ITransaction() || SpecificOptions().Count() == 0 || ShareTransaction()) return;
  if (std::shared_ptr<TLumoProvider> p = c->ProviderOrNull()) {
    p->SetObjectProps(*ITransaction(), TOptionGroup::ogTransaction, SpecificOptions());
    FSpecificOptions.SetIsModified(false);
  }
}

// ---- parameter objects -----------------------------------------------------------------------

TSharedRef<TBlob> TLumoBlob::CreateClone() const {
  // A clone shares the data object, so it must be of a class that keeps
  // that kind of data.
  if (FNativeBlob) return FNativeBlob->CreateClone();
  return TBlob::CreateClone();
}

TSharedRef<TKxBlobData> TLumoBlob::CreateBlobData() const {
  if (FNativeBlob) return FNativeBlob->CreateBlobData();
  return TBlob::CreateBlobData();
}

void TLumoBlob::ShareWithNative() {
  const TSharedRef<TKxBlobData> kind = FNativeBlob->CreateBlobData();
  const TKxBlobData& nativeKind = *kind;
  const TKxBlobData& ownKind = *FData;
  if (typeid(nativeKind) != typeid(ownKind)) {
    // The bytes are kept as they are; only the data object's kind changes.
    const std::string content = ReadAll();
    kind->Write(0, static_cast<std::int64_t>(content.size()), content.data());
    FData = kind;
  }
  if (FNativeBlob->Data() != FData.Get()) FNativeBlob->SetData(FData);
}

TBlob& TLumoBlob::GetNativeBlob(const TLumoProvider& provider, TFieldType dataType) {
  CheckAlive();
  if (!FNativeBlob || !provider.GetParamObjectClass(dataType).IsClassOf(*FNativeBlob)) {
    TSharedRef<TBlob> native = provider.CreateParamObject(dataType);
    native->SetIsUnicode(FIsUnicode);
    FNativeBlob = std::move(native);
  }
  ShareWithNative();
  return *FNativeBlob;
}

void TLumoBlob::SetNativeBlob(TSharedRef<TBlob> native) {
  CheckAlive();
  if (!native || native.Get() == this) return;
  FNativeBlob = std::move(native);
  FIsUnicode = FNativeBlob->IsUnicode();
  TKxBlobData* data = FNativeBlob->Data();
  if (!data) AssertionFailure(__FILE__, __LINE__, "A blob has no data object");
  FData = TSharedRef<TKxBlobData>::Share(data);
}

bool TLumoCursor::CanFetch() { return FNativeCursor && FNativeCursor->CanFetch(); }

TSharedRef<TSharedObject> TLumoParam::CreateObject() {
  switch (DataType()) {
    case ftCursor:
      return NewShared<TLumoCursor>();
    case ftBlob:
    case ftMemo:
    case ftWideMemo:
      return NewShared<TLumoBlob>(DataType() == ftWideMemo);
    default:
      return TDAParam::CreateObject();
  }
}

TSharedObject* TLumoParam::NativeObject(const TLumoProvider& provider) const {
  if (TLumoBlob* blob = LumoBlob()) return &blob->GetNativeBlob(provider, DataType());
  if (TLumoCursor* cursor = LumoCursor()) return cursor->NativeCursor();
  return ParamObject();
}

// ---- SQL command -----------------------------------------------------------------------------

TLumoSQL::TLumoSQL()
    : FSpecificOptions([this] {
        TLumoConnection* c = LumoConnection();
        return c ? c->ProviderName() : std::string();
      }),
      FEnableLumoSQL(lumo::EnableLumoSQL) {
  // The base made its list before this class's factory was in place.
  RecreateParamsObject();
}

std::unique_ptr<TDAParams> TLumoSQL::CreateParamsObject() { return std::make_unique<TLumoParams>(this); }

TSharedObject* TLumoSQL::ParamObjectToSend(const TDAParam& param) {
  const auto* front = dynamic_cast<const TLumoParam*>(&param);
  TLumoConnection* c = LumoConnection();
  std::shared_ptr<TLumoProvider> provider = c ? c->ProviderOrNull() : nullptr;
  if (!front || !provider) return TCustomDASQL::ParamObjectToSend(param);
  return front->NativeObject(*provider);
}

void TLumoSQL::AssignParamDescValue(TDAParam& param, const TParamDesc& desc) {
  auto* front = dynamic_cast<TLumoParam*>(&param);
  const Variant value = desc.GetNull() ? Variant() : desc.GetValue();
  if (front && value.VarType() == varSharedObject) {
    TSharedRef<TSharedObject> object = value.AsSharedObject();
    TLumoBlob* wrapper = front->LumoBlob();
    if (auto* blob = dynamic_cast<TBlob*>(object.Get()); wrapper && blob && blob != wrapper) {
      wrapper->SetNativeBlob(TSharedRef<TBlob>::Share(blob));
      return;
    }
    TLumoCursor* cursor = front->LumoCursor();
    if (auto* native = dynamic_cast<TKxCursor*>(object.Get()); cursor && native && native != cursor) {
      cursor->SetNativeCursor(TSharedRef<TKxCursor>::Share(native));
      return;
    }
  }
  TCustomDASQL::AssignParamDescValue(param, desc);
}

TLumoConnection* TLumoSQL::LumoConnection() { return dynamic_cast<TLumoConnection*>(UsedConnection()); }

void TLumoSQL::SetEnableLumoSQL(bool value) {
  if (value == FEnableLumoSQL) return;
  FEnableLumoSQL = value;
  InvalidateFinalSQL();
}

void TLumoSQL::ApplySpecificOptions(TKxCommand& command) {
  TLumoConnection* c = LumoConnection();
  if (!c) return;
  std::shared_ptr<TLumoProvider> p = c->ProviderOrNull();
  if (!p) return;
  p->SetObjectProps(command, SpecificOptions());
  FSpecificOptions.SetIsModified(false);
}

void TLumoSQL::SetICommand(TKxCommand* value) {
  TCustomDASQL::SetICommand(value);
  if (value && !DataSet()) ApplySpecificOptions(*value);
}

void TLumoSQL::BeginConnection(bool noConnectCheck) {
  TCustomDASQL::BeginConnection(noConnectCheck);
  if (!DataSet() && FSpecificOptions.IsModified() && ICommand()) ApplySpecificOptions(*ICommand());
}

void TLumoSQL::CheckMacrosVersion() {
  if (!lumo::EnableLumoSQL || !FEnableLumoSQL) return;
  TLumoConnection* c = LumoConnection();
  if (!c || c->MacrosVersion() == FMacrosVersion) return;
  FMacrosVersion = c->MacrosVersion();
  InvalidateFinalSQL();
  if (!DataSet()) AssembleSQL();
}

void TLumoSQL::InternalPrepare() {
  WithLumoErrors(this, [&] {
    CheckMacrosVersion();
    TCustomDASQL::InternalPrepare();
  });
}

void TLumoSQL::InternalUnPrepare() {
  WithLumoErrors(this, [&] { TCustomDASQL::InternalUnPrepare(); });
}

void TLumoSQL::InternalExecute(int iters) {
  WithLumoErrors(this, [&] {
    CheckMacrosVersion();
    TCustomDASQL::InternalExecute(iters);
  });
}

void TLumoSQL::InternalCreateProcCall(const std::string& name, bool needDescribe, bool isQuery) {
  // A generated call is server syntax already.
  FEnableLumoSQL = false;
  TCustomDASQL::InternalCreateProcCall(name, needDescribe, isQuery);
}

void TLumoSQL::ExpandEscapes(std::string& sql) {
  if (!FEnableLumoSQL) return;
  if (TLumoConnection* c = LumoConnection()) {
    FMacrosVersion = c->MacrosVersion();
    c->ExpandMacros(sql);
  }
}

// ---- data sets -------------------------------------------------------------------------------

TCustomLumoDataSet::TCustomLumoDataSet()
    : FSpecificOptions(
          [this] {
            TLumoConnection* c = LumoConnection();
            return c ? c->ProviderName() : std::string();
          },
          [this] {
            if (!FSettingFetchAll) CheckInactive();
          }) {
  ReplaceCommand(CreateCommand());
}

TCustomLumoDataSet::~TCustomLumoDataSet() = default;

TLumoSQL& TCustomLumoDataSet::LumoCommand() const { return static_cast<TLumoSQL&>(Command()); }

TLumoConnection* TCustomLumoDataSet::LumoConnection() {
  return dynamic_cast<TLumoConnection*>(UsedConnection());
}

std::unique_ptr<TCustomDASQL> TCustomLumoDataSet::CreateCommand() { return std::make_unique<TLumoSQL>(); }

std::unique_ptr<TDADataSetOptions> TCustomLumoDataSet::CreateOptions() {
  return std::make_unique<TLumoDataSetOptions>(this);
}

void TCustomLumoDataSet::ApplySpecificOptions(TKxRecordSet& rs) {
  TLumoConnection* c = LumoConnection();
  if (!c) return;
  std::shared_ptr<TLumoProvider> p = c->ProviderOrNull();
  if (!p) return;
  rs.SetProp(prLockFetchAll, false);
  p->SetObjectProps(rs, SpecificOptions());
  FSpecificOptions.SetIsModified(false);
  // The component layer keeps its own copy of FetchAll.
  Variant fetchAll;
  if (rs.GetProp(prFetchAll, fetchAll)) TCustomDADataSet::SetFetchAllImpl(fetchAll.AsBoolean());
}

void TCustomLumoDataSet::SetIRecordSet(std::unique_ptr<TData> data) {
  TCustomDADataSet::SetIRecordSet(std::move(data));
  if (IRecordSet()) ApplySpecificOptions(*IRecordSet());
}

std::unique_ptr<TDataSetService> TCustomLumoDataSet::GetDataSetServiceClass() {
  TLumoConnection* c = LumoConnection();
  std::shared_ptr<TLumoProvider> p = c ? c->ProviderOrNull() : nullptr;
  if (!p || !p->GetDataSetServiceClass()) return TCustomDADataSet::GetDataSetServiceClass();
  std::unique_ptr<TDataSetService> service = p->GetDataSetServiceClass().Create(*this);
  p->SetObjectProps(*service, TOptionGroup::ogDataSet, SpecificOptions());
  return service;
}

void TCustomLumoDataSet::BeginConnection(bool noConnectCheck) {
  TCustomDADataSet::BeginConnection(noConnectCheck);
  if (FSpecificOptions.IsModified() && IRecordSet()) {
    try {
      ApplySpecificOptions(*IRecordSet());
    } catch (...) {
      EndConnection();
      throw;
    }
  }
}

void TCustomLumoDataSet::OpenCursor(bool infoQuery) {
  WithLumoErrors(this, [&] {
    LumoCommand().CheckMacrosVersion();
    TCustomDADataSet::OpenCursor(infoQuery);
  });
}

void TCustomLumoDataSet::CloseCursor() {
  WithLumoErrors(this, [&] { TCustomDADataSet::CloseCursor(); });
}

void TCustomLumoDataSet::InternalExecute() {
  WithLumoErrors(this, [&] {
    LumoCommand().CheckMacrosVersion();
    TCustomDADataSet::InternalExecute();
  });
}

void TCustomLumoDataSet::Prepare() {
  WithLumoErrors(this, [&] { TCustomDADataSet::Prepare(); });
}

void TCustomLumoDataSet::UnPrepare() {
  WithLumoErrors(this, [&] { TCustomDADataSet::UnPrepare(); });
}

bool TCustomLumoDataSet::GetFetchAll() {
  if (TKxRecordSet* rs = IRecordSet()) {
    Variant v;
    if (rs->GetProp(prFetchAll, v)) return v.AsBoolean();
  }
  return TCustomDADataSet::GetFetchAll();
}

void TCustomLumoDataSet::SetFetchAllImpl(bool value) {
  TLumoConnection* c = LumoConnection();
  if (c && c->ProviderOrNull()) {
    TFlagScope setting(FSettingFetchAll);
    SpecificOptions().SetValues("FetchAll", BoolOptionText(value));
    FSpecificOptions.SetIsModified(false);
  }
  TCustomDADataSet::SetFetchAllImpl(value);
  if (TKxRecordSet* rs = IRecordSet(); rs && !Active()) rs->SetProp(prFetchAll, value);
}

// ---- update statements ---------------------------------------------------------------------

bool TLumoUpdateSQL::IsDataSetClass(const TComponent& component) const {
  return dynamic_cast<const TCustomLumoDataSet*>(&component) != nullptr;
}

bool TLumoUpdateSQL::IsSQLClass(const TComponent& component) const {
  return dynamic_cast<const TLumoSQL*>(&component) != nullptr;
}

// ---- metadata --------------------------------------------------------------------------------

void TLumoMetaData::OpenCursor(bool infoQuery) {
  WithLumoErrors(this, [&] { TDAMetaData::OpenCursor(infoQuery); });
}

}  // namespace lumo
