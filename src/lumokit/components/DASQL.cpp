#include <lumokit/components/DASQL.h>

#include <algorithm>

#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DATransaction.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/Format.h>

namespace lumo {

namespace {

TParamDirection DirectionOf(TParamType type) noexcept { return static_cast<TParamDirection>(type); }
TParamType ParamTypeOf(TParamDirection direction) noexcept { return static_cast<TParamType>(direction); }

bool IsSizedTextType(TFieldType type) noexcept {
  switch (type) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftBytes:
    case ftVarBytes:
      return true;
    default:
      return false;
  }
}

bool IsMemoType(TFieldType type) noexcept {
  return type == ftMemo || type == ftFmtMemo || type == ftOraClob || type == ftWideMemo;
}

std::string TrimTrailing(std::string s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.pop_back();
  return s;
}

}  // namespace

// Scans a text for parameter markers while no provider is known.
class TCustomDASQL::TScanCommand : public TKxCommand {
 public:
  bool GetPrepared() override { return false; }
  void Execute(int) override { throw EDAError("Connection is not defined"); }
  TCursorState GetCursorState() override { return FState; }
  void SetCursorState(TCursorState value) override { FState = value; }
  std::string CreateProcCall(const std::string&, bool, bool) override { throw EDAError("Connection is not defined"); }
  bool GetProp(int prop, Variant& value) override {
    if (prop == prRowsProcessed) {
      value = std::int64_t{0};
      return true;
    }
    return TKxCommand::GetProp(prop, value);
  }

 private:
  TCursorState FState = csInactive;
};

TKxCommand& TCustomDASQL::UseScanCommand() {
  if (!FScanCommand) {
    FScanCommand = std::make_unique<TScanCommand>();
    SetICommand(FScanCommand.get());
  }
  return *FScanCommand;
}

// ---- construction -----------------------------------------------------------------------

TCustomDASQL::TCustomDASQL() : FParams(CreateParamsObject()), FMacros(this) {
  FSQL.SetOnChange([this](TStrings&) { SQLChanged(); });
}

TCustomDASQL::~TCustomDASQL() {
  Destroying();
  try {
    if (!FDataSet) UnPrepare();
  } catch (...) {
  }
  if (FConnection) {
    FConnection->UnRegisterClient(this);
    FConnection = nullptr;
  }
  FICommand = nullptr;
}

std::unique_ptr<TDAParams> TCustomDASQL::CreateParamsObject() { return std::make_unique<TDAParams>(this); }

const TFieldTypeMap& TCustomDASQL::GetFieldTypeMapClass() { return TFieldTypeMap::Default(); }

std::unique_ptr<TKxRecordSet> TCustomDASQL::CreateIRecordSet() {
  TCustomDAConnection* c = UsedConnection();
  if (!c) return nullptr;
  std::unique_ptr<TKxRecordSet> rs = c->GetIRecordSetClass().Create();
  // Rows a statement hands back are read at once and dropped.
  rs->SetProp(prFetchAll, true);
  return rs;
}

void TCustomDASQL::SetProviderCommandProps(TKxCommand& command) {
  command.SetComponent(this);
  command.SetProp(prAutoCommit, FAutoCommit);
  command.SetProp(prScanParams, FParamCheck || HasState(csDesigning));
  // A failure ends the execution at once; success is finished by Execute
  // after the record set read what the statement handed back.
  command.SetAfterExecute([this](bool result) {
    if (!result) DoAfterExecute(false);
  });
}

void TCustomDASQL::SetICommand(TKxCommand* value) {
  FICommand = value;
  if (!value) return;
  if (!FDataSet) SetProviderCommandProps(*value);
}

TKxCommand& TCustomDASQL::CheckICommand() {
  if (FDataSet) return FDataSet->CheckICommand();
  TCustomDAConnection* c = UsedConnection();
  if (c) {
    const TClassRef<TKxRecordSet> cls = c->GetIRecordSetClass();
    if (!FIRecordSet || !cls.IsClassOf(FIRecordSet.get())) {
      try {
        if (FIRecordSet) FIRecordSet->Close();
      } catch (...) {
      }
      FIRecordSet = CreateIRecordSet();
      FScanCommand.reset();
      SetICommand(&FIRecordSet->GetCommand());
      FIRecordSet->SetConnection(c->IConnection());
      FBoundIConnection = c->IConnection();
    }
  } else if (!FICommand) {
    UseScanCommand();
  }
  return *FICommand;
}

// ---- properties -------------------------------------------------------------------------

void TCustomDASQL::SetConnection(TCustomDAConnection* value) {
  if (value == FConnection) return;
  if (FConnection) {
    try {
      if (!FDataSet) UnPrepare();
    } catch (...) {
    }
    FConnection->UnRegisterClient(this);
  }
  FConnection = value;
  if (value) FreeNotification(*value);
  if (FDataSet) return;
  FIRecordSet.reset();
  FICommand = nullptr;
  if (value) {
    RegisterWithConnection();
    AssembleSQL();
  }
}

void TCustomDASQL::RegisterWithConnection() {
  if (FConnection && RegisterAsClient() && !FConnection->IsClientRegistered(this))
    FConnection->RegisterClient(this, [this](bool connecting) { ConnectChange(connecting); });
}

void TCustomDASQL::SetTransaction(TDATransaction* value) {
  SetReference(FTransaction, value);
}

void TCustomDASQL::Notification(TComponent& component, TOperation operation) {
  if (operation == TOperation::opRemove) {
    if (&component == static_cast<TComponent*>(FConnection)) {
      FConnection = nullptr;
      if (!FDataSet) {
        FIRecordSet.reset();
        FICommand = nullptr;
      }
    }
    if (&component == static_cast<TComponent*>(FTransaction)) FTransaction = nullptr;
  }
  TComponent::Notification(component, operation);
}

void TCustomDASQL::SetParamCheck(bool value) {
  FParamCheck = value;
  if (FICommand) FICommand->SetProp(prScanParams, value || HasState(csDesigning));
  if (value) AssembleSQL();
}

void TCustomDASQL::SetAutoCommit(bool value) {
  FAutoCommit = value;
  if (FICommand && !FDataSet) FICommand->SetProp(prAutoCommit, value);
}

bool TCustomDASQL::Prepared() const { return FICommand && FICommand->GetPrepared(); }

void TCustomDASQL::SetPrepared(bool value) {
  if (value)
    Prepare();
  else
    UnPrepare();
}

bool TCustomDASQL::Executing() const { return FICommand && FICommand->Executing(); }

void TCustomDASQL::BreakExec() {
  if (FICommand) FICommand->BreakExec();
  if (FIRecordSet) FIRecordSet->BreakFetch();
}

// ---- the text -------------------------------------------------------------------------------

void TCustomDASQL::SQLChanged() {
  std::string text = FSQL.Text();
  if (text == FLastSQLText) return;
  FLastSQLText = std::move(text);
  FFinalSQLValid = false;
  if (FLockAssembleSQL) return;
  if (FDataSet) {
    FDataSet->CommandSQLChanged();
  } else {
    UnPrepare();
  }
  if (!FLockMacros) ScanMacros();
  AssembleSQL();
}

bool TCustomDASQL::ScanMacros() {
  std::string text = FSQL.Text();
  if (FDataSet) FDataSet->AddUpdateSQLText(text);
  const bool changed = FMacros.Scan(text);
  if (changed) FFinalSQLValid = false;
  return changed;
}

void TCustomDASQL::MacroChanged(TMacro& macro) {
  FFinalSQLValid = false;
  if (FDataSet) {
    FDataSet->MacroChanged(macro);
    return;
  }
  // The list stays as it is; only the text sent changes.
  AssembleSQL();
}

const TSQLInfo* TCustomDASQL::MacroSQLInfo() {
  TCustomDAConnection* c = UsedConnection();
  if (!c && !FICommand) return nullptr;
  try {
    return &CheckICommand().GetSQLInfo();
  } catch (const Exception&) {
    return nullptr;
  }
}

std::string TCustomDASQL::ExpandedSQL() {
  std::string sql = TrimTrailing(FSQL.Text());
  if (FMacros.Count() > 0) FMacros.Expand(sql);
  ExpandEscapes(sql);
  return sql;
}

std::string TCustomDASQL::GetFinalSQL() {
  if (FDataSet) return FDataSet->GetFinalSQL();
  return ExpandedSQL();
}

const std::string& TCustomDASQL::FinalSQL() {
  if (!FFinalSQLValid) {
    FFinalSQL = GetFinalSQL();
    FFinalSQLValid = true;
  }
  return FFinalSQL;
}

void TCustomDASQL::AssembleSQL() {
  if (FLockAssembleSQL) return;
  TKxCommand& cmd = CheckICommand();
  FFinalSQLValid = false;
  const std::string sql = FSQL.Count() == 0 ? std::string() : FinalSQL();
  if (FLockScanParams) {
    cmd.SetProp(prDisableParamScan, true);
    try {
      cmd.SetSQL(sql);
    } catch (...) {
      cmd.SetProp(prDisableParamScan, false);
      throw;
    }
    cmd.SetProp(prDisableParamScan, false);
  } else {
    cmd.SetSQL(sql);
  }
  if ((FParamCheck || HasState(csDesigning)) && !FLockScanParams) CreateParams();
}

// ---- parameters ---------------------------------------------------------------------------------

void TCustomDASQL::CreateParams() {
  if (!FICommand) return;
  CreateParams(*FParams, FICommand->Params());
}

void TCustomDASQL::CreateParams(TDAParams& params, const TParamDescs& descs) {
  TDAParams saved;
  saved.Assign(params);
  {
    TDAParamsRebuild rebuild(params);
    params.Clear();
    for (int i = 0; i < descs.Count(); ++i) {
      const TParamDesc& d = *descs.Items(i);
      if (params.FindParam(d.Name())) continue;
      TDAParam& p = static_cast<TDAParam&>(params.Add());
      AssignParamDesc(p, d);
      if (const TDAParam* old = saved.FindParam(d.Name())) {
        const std::string name = p.Name();
        const TParamType direction = p.ParamType();
        const TFieldType type = p.DataType();
        p.Assign(*old);
        p.SetName(name);
        if (direction != ptUnknown) p.SetParamType(direction);
        if (old->DataType() == ftUnknown && type != ftUnknown) p.SetDataType(type);
      }
    }
  }
  params.SetParamsChangeType(ctGenerated);
}

void TCustomDASQL::AssignParamDesc(TDAParam& param, const TParamDesc& desc) {
  param.SetName(desc.Name());
  param.SetParamType(ParamTypeOf(desc.ParamType()));
  if (desc.DataType() != dtUnknown) {
    const TFieldType type = GetFieldTypeMapClass().GetFieldType(desc.DataType());
    param.SetDataType(type);
  }
  param.SetSubDataType(desc.SubDataType());
  if (desc.Size() > 0) param.SetSize(desc.Size());
  param.SetNational(desc.GetNational());
}

std::int32_t TCustomDASQL::ParamTextSize(const TDAParam& param, TParamDesc&) {
  if (param.IsNull()) return 0;
  const Variant value = param.Value();
  if (value.IsByteArray()) return static_cast<std::int32_t>(value.AsBytes().size());
  if (const std::string* s = value.StringPtr()) return static_cast<std::int32_t>(s->size());
  if (const std::u16string* w = value.WideStringPtr()) return static_cast<std::int32_t>(Utf16ToUtf8(*w).size());
  return static_cast<std::int32_t>(value.AsString().size());
}

void TCustomDASQL::AssignParam(TParamDesc& desc, const TDAParam& param) {
  desc.SetName(param.Name());
  desc.SetDataType(GetFieldTypeMapClass().GetDataType(param.DataType()));
  std::uint16_t subType = param.SubDataType();
  if (param.DataType() == ftSingle && subType == 0) subType = dtSingle;
  desc.SetSubDataType(subType);
  desc.SetNational(param.National());
  desc.SetEncryptor(param.Encryptor());
  desc.SetParamType(DirectionOf(param.ParamType()));
  desc.SetIsBound(param.Bound());
  std::int32_t size = param.Size();
  if (size == 0 && IsSizedTextType(param.DataType())) {
    const bool sizeFromValue =
        param.ParamType() == ptInput || (param.ParamType() == ptUnknown && !IsInOutParamSupported());
    if (sizeFromValue) size = ParamTextSize(param, desc);
    if (size == 0) {
      if (TKxConnection* c = FICommand ? FICommand->Connection() : nullptr) {
        Variant max;
        c->GetProp(prMaxStringSize, max);
        size = max.AsInt32();
      }
    }
  }
  desc.SetSize(size);
}

void TCustomDASQL::AssignParamValue(TParamDesc& desc, const TDAParam& param) {
  TCustomDAConnection* c = UsedConnection();
  const bool convertEOL = c && c->ConvertEOL();
  const TFieldType type = param.DataType();
  if (param.IsBlobDataType()) {
    TBlob* blob = dynamic_cast<TBlob*>(ParamObjectToSend(param));
    const bool output = param.ParamType() == ptOutput || param.ParamType() == ptResult;
    if (output && blob) blob->Clear();
    if (!blob || (!output && blob->Size() == 0)) {
      desc.SetObject(nullptr);
      desc.SetNull(true);
      return;
    }
    if (!output && convertEOL && NeedConvertEOLForBlob() && IsMemoType(type)) {
      // The program's blob may be shared: the line breaks change on a copy.
      TSharedRef<TBlob> copy = blob->Clone();
      copy->RemoveCR();
      desc.SetObject(copy.Get());
    } else {
      desc.SetObject(blob);
    }
    desc.SetNull(false);
    return;
  }
  if (param.IsObjectDataType() && param.ParamObject()) {
    desc.SetObject(ParamObjectToSend(param));
    return;
  }
  desc.SetConvertEOL(convertEOL);
  if (param.IsNull()) {
    desc.SetNull(true);
    return;
  }
  Variant value = param.Value();
  if (type == ftDate) {
    value = Variant::FromDate(DateOf(value.AsDate()));
  } else if ((type == ftBytes || type == ftVarBytes) && !value.IsByteArray()) {
    const std::string text = value.WideStringPtr() ? UnicodeToAnsi(*value.WideStringPtr()) : value.AsString();
    value = Variant::FromBytes(text.data(), text.size());
  }
  desc.SetValue(value);
}

void TCustomDASQL::WriteParams(bool writeValue) {
  TKxCommand& cmd = CheckICommand();
  TParamDescs& descs = cmd.Params();
  const bool userList = FParams->ParamsChangeType() == ctUsers;
  std::vector<TParamDesc*> descOf(static_cast<std::size_t>(FParams->Count()), nullptr);
  for (int i = descs.Count() - 1; i >= 0; --i) {
    TParamDesc& d = *descs.Items(i);
    TDAParam* p = FParams->FindParam(d.Name());
    if (!p) {
      // A descriptor without a parameter: only the user's list keeps it.
      if (!userList) descs.Delete(i);
      continue;
    }
    descOf[static_cast<std::size_t>(p->Index())] = &d;
    AssignParam(d, *p);
    if (writeValue) AssignParamValue(d, *p);
  }
  for (int i = 0; i < FParams->Count(); ++i) {
    if (descOf[static_cast<std::size_t>(i)]) continue;
    TDAParam& p = FParams->Items(i);
    TParamDesc& d = cmd.AddParam();
    descOf[static_cast<std::size_t>(i)] = &d;
    AssignParam(d, p);
    if (writeValue) AssignParamValue(d, p);
  }
  // A list built from the text is in the text's order, which providers
  // fill their positional placeholders in: the descriptors follow it (a
  // descriptor added at the end for a parameter in the middle shifted every
  // later value onto the wrong placeholder). A user's list keeps the
  // descriptors' own order, matched by name.
  if (!userList)
    for (int i = 0; i < FParams->Count(); ++i) {
      const int at = descs.IndexOf(descOf[static_cast<std::size_t>(i)]);
      if (at != i) descs.Move(at, i);
    }
  FParams->SetParamsChangeType(ctGenerated);
}

void TCustomDASQL::AssignParamDescValue(TDAParam& param, const TParamDesc& desc) {
  if (desc.GetNull()) {
    param.Clear();
    return;
  }
  const Variant value = desc.GetValue();
  if (value.VarType() == varSharedObject) {
    TSharedRef<TSharedObject> obj = value.AsSharedObject();
    if (auto* blob = dynamic_cast<TBlob*>(obj.Get())) {
      if (!param.IsBlobDataType()) param.SetDataType(blob->IsUnicode() ? ftWideMemo : ftBlob);
      param.SetParamObject(blob);
      return;
    }
    param.SetParamObject(obj.Get());
    return;
  }
  const TFieldType type = param.DataType();
  param.SetValue(value);
  if (type != ftUnknown && !param.IsBlobDataType()) param.SetDataType(type);
}

void TCustomDASQL::ReadParams() {
  if (!FICommand) return;
  Variant canRead;
  FICommand->GetProp(prCanReadParams, canRead);
  if (!canRead.AsBoolean()) return;
  const bool inOut = IsInOutParamSupported();
  for (int i = 0; i < FParams->Count(); ++i) {
    TDAParam& p = FParams->Items(i);
    if (p.ParamType() == ptInput || (p.ParamType() == ptUnknown && inOut)) continue;
    if (const TParamDesc* d = FICommand->FindParam(p.Name())) AssignParamDescValue(p, *d);
  }
  FICommand->SetProp(prCanReadParams, false);
}

TDAParam* TCustomDASQL::FindResultParam() const {
  for (int i = FParams->Count() - 1; i >= 0; --i)
    if (FParams->Items(i).ParamType() == ptResult) return &FParams->Items(i);
  return nullptr;
}

// ---- connection use -----------------------------------------------------------------------

TKxTransaction* BeginUsedTransaction(TCustomDAConnection& connection, TDATransaction* used, bool noConnectCheck) {
  if (connection.IsMultipleTransactionsSupported()) {
    if (!used) throw EDAError("Transaction not assigned");
    if (noConnectCheck)
      used->GainTransaction();
    else if (!used->Active())
      used->StartTransaction();
  }
  return used ? used->ITransaction() : nullptr;
}

void EndUsedConnection(TCustomDAConnection& connection, TDATransaction* used) {
  if (connection.IsMultipleTransactionsSupported() && used) used->ReleaseTransaction();
  connection.InternalDisconnect();
}

TCustomDAConnection* TCustomDASQL::UsedConnection() {
  if (FDataSet) return FDataSet->UsedConnection();
  return FConnection;
}

void TCustomDASQL::CheckConnection() {
  if (!UsedConnection()) throw EDAError("Connection is not defined");
}

TDATransaction* TCustomDASQL::UsedTransaction() {
  if (FDataSet) return FDataSet->UsedTransaction();
  TCustomDAConnection* c = UsedConnection();
  if (!c) return nullptr;
  if (c->IsMultipleTransactionsSupported()) return GetTransaction() ? GetTransaction() : c->UsedTransaction();
  return c->UsedTransaction();
}

void TCustomDASQL::BeginConnection(bool noConnectCheck) {
  CheckConnection();
  TCustomDAConnection& c = *UsedConnection();
  if (noConnectCheck)
    c.InternalConnect();
  else if (!c.Connected())
    c.Connect();
  try {
    TKxCommand& cmd = CheckICommand();
    if (FBoundIConnection != c.IConnection() || cmd.Connection() == nullptr) {
      if (FIRecordSet)
        FIRecordSet->SetConnection(c.IConnection());
      else
        cmd.SetConnection(c.IConnection());
      FBoundIConnection = c.IConnection();
    }
    cmd.SetTransaction(BeginUsedTransaction(c, UsedTransaction(), noConnectCheck));
    RegisterWithConnection();
  } catch (...) {
    if (noConnectCheck) c.InternalDisconnect();
    throw;
  }
}

void TCustomDASQL::EndConnection() {
  if (TCustomDAConnection* c = UsedConnection()) EndUsedConnection(*c, UsedTransaction());
}

void TCustomDASQL::Disconnect() {
  try {
    UnPrepare();
  } catch (const EDAError& e) {
    if (!e.IsFatalError()) throw;
  }
  FParams->Disconnect();
}

void TCustomDASQL::ConnectChange(bool connecting) {
  if (!connecting) Disconnect();
}

void TCustomDASQL::SetIConnection(TKxConnection* value) {
  if (FDataSet) return;
  if (FIRecordSet)
    FIRecordSet->SetConnection(value);
  else if (FICommand && FICommand != FScanCommand.get())
    FICommand->SetConnection(value);
  FBoundIConnection = value;
}

void TCustomDASQL::ClearConnection() {
  if (FConnection) RemoveFreeNotification(*FConnection);
  FConnection = nullptr;
  if (!FDataSet) {
    FIRecordSet.reset();
    FICommand = nullptr;
  }
}

bool TCustomDASQL::PreventsReconnect(TComponent*, TConnLostCause) { return Prepared(); }

void TCustomDASQL::TransactionEnds(TDATransaction& transaction) {
  if (UsedTransaction() == &transaction) ConnectChange(false);
}

void TCustomDASQL::ResetProviderObjects() {
  try {
    if (FIRecordSet) FIRecordSet->Disconnect();
    if (FICommand) FICommand->Unprepare();
  } catch (...) {
  }
}

// ---- prepare and execute -------------------------------------------------------------------

void TCustomDASQL::InternalPrepare() { CheckICommand().Prepare(); }

void TCustomDASQL::InternalUnPrepare() {
  if (FICommand) FICommand->Unprepare();
}

void TCustomDASQL::Prepare() {
  if (Prepared()) return;
  TDAUseGuard<TCustomDASQL> use(*this);
  WriteParams(false);
  InternalPrepare();
  Variant described;
  FICommand->GetProp(prUseDescribeParams, described);
  if (described.AsBoolean()) CreateParams();
  // A prepared statement holds its use until it is unprepared.
  use.Keep();
}

void TCustomDASQL::UnPrepare() {
  if (!Prepared()) return;
  InternalUnPrepare();
  EndConnection();
}

void TCustomDASQL::CheckSQL(int) {
  if (FICommand && FICommand->SQL().empty() && FStoredProcName.empty() && FSQL.Count() > 0 &&
      !TrimTrailing(FSQL.Text()).empty())
    AssembleSQL();
}

void TCustomDASQL::DoBeforeExecute() {
  if (BeforeExecute) BeforeExecute(*this);
}

void TCustomDASQL::ExecuteRecordSet(int iters) {
  if (!FIRecordSet) {
    FICommand->Execute(iters);
    return;
  }
  FIRecordSet->Close();
  FIRecordSet->ExecCommand();
  if (FIRecordSet->RowsReturn()) {
    // Reads what the statement handed back (a stored procedure's output
    // values) and drops it.
    FIRecordSet->Open();
    FIRecordSet->Close();
  }
}

void TCustomDASQL::InternalExecute(int iters) {
  TCustomDAConnection& c = *UsedConnection();
  TDAOperationScope operation(c, clExecute, true);
  c.RunWithFailover(clExecute, [&] { ExecuteRecordSet(iters); });
}

void TCustomDASQL::ReleaseExecuteUse() {
  if (TDAUseGuard<TCustomDASQL>* use = std::exchange(FExecuteUse, nullptr)) use->Release();
}

void TCustomDASQL::Execute(int iters) {
  if (Executing()) return;
  TDAUseGuard<TCustomDASQL> use(*this);
  FExecuteUse = &use;
  FAfterExecuteDone = false;
  struct TForget {
    TCustomDASQL& Self;
    ~TForget() {
      Self.FExecuteUse = nullptr;
      Self.FBusy.reset();
    }
  } forget{*this};
  FBusy = std::make_unique<TDABusyCursor>(FChangeCursor);
  try {
    DoBeforeExecute();
    WriteParams(true);
    CheckSQL(iters);
    InternalExecute(iters);
  } catch (...) {
    if (!FAfterExecuteDone) {
      try {
        DoAfterExecute(false);
      } catch (...) {
      }
    }
    throw;
  }
  if (!FAfterExecuteDone) DoAfterExecute(true);
}

void TCustomDASQL::DoAfterExecute(bool result) {
  if (FAfterExecuteDone) return;
  FAfterExecuteDone = true;
  TCustomDAConnection* c = UsedConnection();
  if (result) {
    ReadParams();
    if (c && c->IConnection()) {
      Variant id;
      c->IConnection()->GetProp(prLastInsertId, id);
      FLastInsertId = id.AsInt64();
    }
    if (FICommand) {
      Variant rows;
      FICommand->GetProp(prRowsProcessed, rows);
      FRowsAffected = rows.AsInt64();
    }
  }
  if (FBusy) FBusy->Stop();
  if (result && c) {
    const bool needCommit = FAutoCommit && c->AutoCommit();
    if (needCommit && c->Options().DisconnectedMode()) c->DetectInTransaction();
    if (c->IsMultipleTransactionsSupported())
      if (TDATransaction* tr = UsedTransaction()) tr->AutoCommitTransaction(needCommit);
  }
  ReleaseExecuteUse();
  if (AfterExecute) AfterExecute(*this, result);
}

void TCustomDASQL::InternalCreateProcCall(const std::string& name, bool needDescribe, bool isQuery) {
  if (name.empty()) throw EDAError("StoredProcName must be defined");
  TDAUseGuard<TCustomDASQL> use(*this);
  TKxCommand& cmd = CheckICommand();
  if (!needDescribe) {
    WriteParams(false);
  } else {
    cmd.ClearParams();
  }
  const std::string text = cmd.CreateProcCall(name, needDescribe, isQuery);
  cmd.SetProp(prIsStoredProc, true);
  {
    TFlagScope lock(FLockAssembleSQL);
    FSQL.SetText(text);
  }
  FLastSQLText = FSQL.Text();
  FFinalSQLValid = false;
  if (needDescribe) CreateParams();
  FStoredProcName = name;
  FStoredProcIsQuery = isQuery;
  FIsSPInit = true;
  use.Release();
}

}  // namespace lumo
