#include <lumokit/components/DADataSet.h>

#include <algorithm>
#include <climits>

#include <lumokit/components/DASQLText.h>
#include <lumokit/components/DATransaction.h>
#include <lumokit/components/DAUpdateSQL.h>
#include <lumokit/core/Ascii.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>
#include <lumokit/dataset/FieldTypes.h>
#include <lumokit/dataset/DataSource.h>

namespace lumo {

bool ResyncBeforeFetch = false;
bool BaseSQLOldBehavior = false;

namespace {

// A number as SQL writes it: [+|-]digits[.digits][e[+|-]digits].
bool IsSqlNumber(const std::string& text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto digits = [&] {
    const std::size_t from = i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    return i - from;
  };
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t count = digits();
  if (i < n && text[i] == '.') {
    ++i;
    count += digits();
  }
  if (count == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == n;
}

// The text of a single-quoted SQL string (doubled quotes undone); false
// when `text` is not one whole string literal.
bool UnquoteSqlString(const std::string& text, std::string& value) {
  if (text.size() < 2 || text.front() != '\'' || text.back() != '\'') return false;
  value.clear();
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '\'') {
      if (i + 2 >= text.size() || text[i + 1] != '\'') return false;  // a quote that ends the string early
      ++i;
    }
    value.push_back(text[i]);
  }
  return true;
}

// Assigns a default expression that is a simple literal; false for any
// other expression (left to the updater or the server).
bool AssignLiteralDefault(TField& field, std::string expression) {
  expression = Trim(expression);
  while (expression.size() >= 2 && expression.front() == '(' && expression.back() == ')')
    expression = Trim(expression.substr(1, expression.size() - 2));
  const bool numeric = dynamic_cast<TNumericField*>(&field) != nullptr;
  auto number = [&](std::string text) {
    if (numeric) std::replace(text.begin(), text.end(), '.', FormatSettings().DecimalSeparator);
    field.SetAsString(text);
  };
  std::string text;
  if (UnquoteSqlString(expression, text)) {
    if (numeric && IsSqlNumber(Trim(text)))
      number(Trim(text));
    else
      field.SetAsString(text);
    return true;
  }
  if (IsSqlNumber(expression)) {
    number(expression);
    return true;
  }
  const std::string upper = AsciiUpperCase(expression);
  if (upper == "TRUE" || upper == "FALSE") {
    field.SetValue(Variant(upper == "TRUE"));
    return true;
  }
  return false;
}

// The first word of a statement, upper-cased (comments and parentheses
// skipped).
std::string FirstWord(const std::string& sql, const TSQLParserClass& parserClass) {
  std::unique_ptr<TSQLParser> parser = parserClass.Create(sql);
  parser->SetOmitBlank(true);
  parser->SetOmitComment(true);
  for (;;) {
    int code;
    try {
      code = parser->GetNextToken();
    } catch (const EParserError&) {
      continue;
    }
    if (code == lcEnd) return {};
    const std::string text = AsciiUpperCase(parser->LexemView());
    if (text == "(") continue;
    return text;
  }
}

}  // namespace

// ---- TDADataSetOptions ---------------------------------------------------------------------

void TDADataSetOptions::Assign(const TDADataSetOptions& source) {
  if (&source == this) return;
  FSetFieldsReadOnly = source.FSetFieldsReadOnly;
  SetRequiredFields(source.FRequiredFields);
  FStrictUpdate = source.FStrictUpdate;
  SetNumberRange(source.FNumberRange);
  FQueryRecCount = source.FQueryRecCount;
  FAutoPrepare = source.FAutoPrepare;
  FReturnParams = source.FReturnParams;
  SetTrimFixedChar(source.FTrimFixedChar);
  SetTrimVarChar(source.FTrimVarChar);
  SetSetEmptyStrToNull(source.FSetEmptyStrToNull);
  SetLongStrings(source.FLongStrings);
  FRemoveOnRefresh = source.FRemoveOnRefresh;
  SetFlatBuffers(source.FFlatBuffers);
  SetQuoteNames(source.FQuoteNames);
  SetCompressBlobMode(source.FCompressBlobMode);
  FFullRefresh = source.FFullRefresh;
  SetLocalMasterDetail(source.FLocalMasterDetail);
  SetFieldsOrigin(source.FFieldsOrigin);
  SetDefaultValues(source.FDefaultValues);
  SetExtendedFieldsInfo(source.FExtendedFieldsInfo);
  FUpdateBatchSize = source.FUpdateBatchSize;
  FUpdateAllFields = source.FUpdateAllFields;
  FPrepareUpdateSQL = source.FPrepareUpdateSQL;
  SetEnableBCD(source.FEnableBCD);
  SetEnableFMTBCD(source.FEnableFMTBCD);
}

void TDADataSetOptions::CheckInactive() const {
  if (FOwner) FOwner->CheckInactive();
}

void TDADataSetOptions::ToRecordSet(int prop, const Variant& value) {
  if (!FOwner || !FOwner->IRecordSet()) return;
  TKxRecordSet& rs = *FOwner->IRecordSet();
  switch (prop) {
    case prQuoteNames:
    case prEnableBCD:
    case prEnableFmtBCD:
      rs.GetCommand().SetProp(prop, value);
      break;
    default:
      rs.SetProp(prop, value);
  }
}

void TDADataSetOptions::SetClosedOption(bool& option, bool value, int prop) {
  if (value == option) return;
  CheckInactive();
  option = value;
  ToRecordSet(prop, value);
}

void TDADataSetOptions::SetRequiredFields(bool value) {
  FRequiredFields = value;
  if (!FOwner) return;
  FOwner->SetLocalConstraints(value);
  if (!FOwner->Active()) FOwner->FieldDefs().SetUpdated(false);
}

void TDADataSetOptions::SetNumberRange(bool value) {
  FNumberRange = value;
  if (FOwner) FOwner->TMemDataSet::SetNumberRange(value);
}

void TDADataSetOptions::SetAutoPrepare(bool value) {
  if (value == FAutoPrepare) return;
  if (FOwner) FOwner->UnPrepare();
  FAutoPrepare = value;
}

void TDADataSetOptions::SetTrimFixedChar(bool value) {
  FTrimFixedChar = value;
  if (FOwner && FOwner->IRecordSet()) FOwner->IRecordSet()->SetTrimFixedChar(value);
}

void TDADataSetOptions::SetTrimVarChar(bool value) {
  FTrimVarChar = value;
  if (FOwner && FOwner->IRecordSet()) FOwner->IRecordSet()->SetTrimVarChar(value);
}

void TDADataSetOptions::SetSetEmptyStrToNull(bool value) {
  FSetEmptyStrToNull = value;
  if (FOwner && FOwner->IRecordSet()) FOwner->IRecordSet()->SetSetEmptyStrToNull(value);
}

void TDADataSetOptions::SetLongStrings(bool value) { SetClosedOption(FLongStrings, value, prLongStrings); }

void TDADataSetOptions::SetFlatBuffers(bool value) { SetClosedOption(FFlatBuffers, value, prFlatBuffers); }

void TDADataSetOptions::SetCompressBlobMode(TCompressBlobMode value) {
  if (value == FCompressBlobMode) return;
  CheckInactive();
  FCompressBlobMode = value;
  ToRecordSet(prCompressBlobMode, static_cast<std::int32_t>(value));
}

void TDADataSetOptions::SetFieldsOrigin(bool value) { SetClosedOption(FFieldsOrigin, value, prFieldsOrigin); }

void TDADataSetOptions::SetDefaultValues(bool value) { SetClosedOption(FDefaultValues, value, prDefaultValues); }

void TDADataSetOptions::SetExtendedFieldsInfo(bool value) { SetClosedOption(FExtendedFieldsInfo, value, prExtendedFieldsInfo); }

void TDADataSetOptions::SetEnableBCD(bool value) { SetClosedOption(FEnableBCD, value, prEnableBCD); }

void TDADataSetOptions::SetEnableFMTBCD(bool value) { SetClosedOption(FEnableFMTBCD, value, prEnableFmtBCD); }

void TDADataSetOptions::SetQuoteNames(bool value) {
  if (value == FQuoteNames) return;
  FQuoteNames = value;
  ToRecordSet(prQuoteNames, value);
  if (FOwner) {
    FOwner->Command().InvalidateFinalSQL();
    FOwner->Command().AssembleSQL();
  }
}

void TDADataSetOptions::SetLocalMasterDetail(bool value) {
  if (value == FLocalMasterDetail) return;
  CheckInactive();
  FLocalMasterDetail = value;
  if (FOwner) FOwner->MDPropertiesChanged();
}

// ---- construction -----------------------------------------------------------------------

TCustomDADataSet::TCustomDADataSet() : FCommand(CreateCommand()) {
  FCommand->SetDataSet(this);
  for (auto& list : FUpdateSQL) {
    list = std::make_unique<TStringList>();
    list->SetOnChange([this](TStrings&) { ScanMacros(); });
  }
}

TCustomDADataSet::~TCustomDADataSet() {
  Destroying();
  try {
    Close();
  } catch (...) {
  }
  try {
    UnPrepare();
  } catch (...) {
  }
  EndFetchUse();
  if (FConnection) FConnection->UnRegisterClient(this);
  FConnection = nullptr;
}

std::unique_ptr<TCustomDASQL> TCustomDADataSet::CreateCommand() { return std::make_unique<TCustomDASQL>(); }

void TCustomDADataSet::ReplaceCommand(std::unique_ptr<TCustomDASQL> command) {
  if (!command || Active() || FIRecordSet) AssertionFailure(__FILE__, __LINE__, "ReplaceCommand on a used data set");
  FCommand = std::move(command);
  FCommand->SetDataSet(this);
}

std::unique_ptr<TDAMapRules> TCustomDADataSet::CreateDataTypeMap() { return std::make_unique<TDAMapRules>(); }

std::unique_ptr<TDADataSetOptions> TCustomDADataSet::CreateOptions() {
  return std::make_unique<TDADataSetOptions>(this);
}

TDADataSetOptions& TCustomDADataSet::Options() const {
  if (!FOptions) FOptions = const_cast<TCustomDADataSet*>(this)->CreateOptions();
  return *FOptions;
}

TDAMapRules& TCustomDADataSet::DataTypeMap() const {
  if (!FDataTypeMap) FDataTypeMap = const_cast<TCustomDADataSet*>(this)->CreateDataTypeMap();
  return *FDataTypeMap;
}

TStringList& TCustomDADataSet::UpdateSQL(TStatementType type) {
  switch (type) {
    case stInsert:
      return *FUpdateSQL[0];
    case stUpdate:
      return *FUpdateSQL[1];
    case stDelete:
      return *FUpdateSQL[2];
    case stLock:
      return *FUpdateSQL[3];
    case stRefresh:
      return *FUpdateSQL[4];
    default:
      throw EDAError("Bad statement type");
  }
}

void TCustomDADataSet::SetUpdateObject(TComponent* value) {
  if (value == FUpdateObject) return;
  auto* updateSQL = dynamic_cast<TCustomDAUpdateSQL*>(value);
  if (updateSQL)
    for (TStatementType t : {stInsert, stUpdate, stDelete, stLock, stRefresh})
      updateSQL->CheckObject(updateSQL->UpdateObjectOf(t), this);
  // An update object serves one data set at a time.
  if (auto* old = dynamic_cast<TCustomDAUpdateSQL*>(FUpdateObject); old && old->DataSet() == this)
    old->SetDataSet(nullptr);
  if (updateSQL && updateSQL->DataSet() && updateSQL->DataSet() != this)
    updateSQL->DataSet()->SetUpdateObject(nullptr);
  FUpdateObject = value;
  if (value) FreeNotification(*value);
  if (updateSQL) updateSQL->SetDataSet(this);
}

std::unique_ptr<TDataSetService> TCustomDADataSet::GetDataSetServiceClass() {
  return std::make_unique<TDADataSetService>(*this);
}

TDADataSetService& TCustomDADataSet::DADataSetService() {
  auto* service = dynamic_cast<TDADataSetService*>(&DataSetService());
  if (!service) AssertionFailure(__FILE__, __LINE__, "The data set's service is not a TDADataSetService");
  return *service;
}

// ---- connection and record set ----------------------------------------------------------------

void TCustomDADataSet::SetConnection(TCustomDAConnection* value) {
  if (value == FConnection) return;
  if (FConnection) {
    Close();
    UnPrepare();
    EndFetchUse();
    FConnection->UnRegisterClient(this);
  }
  FConnection = value;
  if (value) {
    FreeNotification(*value);
    value->RegisterClient(this, [this](bool connecting) { ConnectChange(connecting); });
    // The text is scanned again with the provider's rules.
    if (FIRecordSet && !value->GetIRecordSetClass().IsClassOf(FIRecordSet)) FCommand->SetICommand(nullptr);
    CheckIRecordSet();
    FCommand->InvalidateFinalSQL();
  }
}

void TCustomDADataSet::SetTransactionImpl(TDATransaction* value) {
  SetReference(FTransaction, value);
}

void TCustomDADataSet::SetUpdateTransaction(TDATransaction* value) {
  SetReference(FUpdateTransaction, value);
}

void TCustomDADataSet::Notification(TComponent& component, TOperation operation) {
  if (operation == TOperation::opRemove) {
    if (&component == static_cast<TComponent*>(FConnection)) {
      FConnection = nullptr;
      if (FIRecordSet) FIRecordSet->SetConnection(nullptr);
      FBoundIConnection = nullptr;
      FFetchUse = false;
    }
    if (&component == static_cast<TComponent*>(FTransaction)) FTransaction = nullptr;
    if (&component == static_cast<TComponent*>(FUpdateTransaction)) FUpdateTransaction = nullptr;
    if (&component == FUpdateObject) FUpdateObject = nullptr;
  }
  TMemDataSet::Notification(component, operation);
}

TCustomDAConnection* TCustomDADataSet::UsedConnection() { return FConnection; }

void TCustomDADataSet::CheckConnection() {
  if (!UsedConnection()) throw EDAError("Connection is not defined");
}

TDATransaction* TCustomDADataSet::UsedTransaction() {
  TCustomDAConnection* c = UsedConnection();
  if (!c) return FTransaction;
  if (c->IsMultipleTransactionsSupported() && FTransaction) return FTransaction;
  return c->UsedTransaction();
}

TDATransaction* TCustomDADataSet::UsedUpdateTransaction() {
  TCustomDAConnection* c = UsedConnection();
  if (c && c->IsMultipleTransactionsSupported() && FUpdateTransaction) return FUpdateTransaction;
  return UsedTransaction();
}

void TCustomDADataSet::CreateIRecordSet() {
  if (!UsedConnection()) {
    // A store without a provider holds nothing; opening needs a connection.
    TMemDataSet::CreateIRecordSet();
    return;
  }
  CheckIRecordSet();
}

TKxRecordSet& TCustomDADataSet::CheckIRecordSet() {
  CheckConnection();
  const TClassRef<TKxRecordSet> cls = UsedConnection()->GetIRecordSetClass();
  if (!FIRecordSet || !cls.IsClassOf(FIRecordSet)) {
    if (Active()) Close();
    std::unique_ptr<TKxRecordSet> rs = cls.Create();
    SetIRecordSet(std::move(rs));
  }
  return *FIRecordSet;
}

TKxCommand& TCustomDADataSet::CheckICommand() {
  if (UsedConnection()) return CheckIRecordSet().GetCommand();
  if (FIRecordSet) return FIRecordSet->GetCommand();
  return FCommand->UseScanCommand();
}

void TCustomDADataSet::SetIRecordSet(std::unique_ptr<TData> data) {
  FIRecordSet = dynamic_cast<TKxRecordSet*>(data.get());
  TMemDataSet::SetIRecordSet(std::move(data));
  if (!FIRecordSet) return;
  ApplyRecordSetProps(*FIRecordSet);
  FCommand->SetICommand(&FIRecordSet->GetCommand());
  FCommand->FScanCommand.reset();
  FCommand->AssembleSQL();
}

void TCustomDADataSet::ApplyRecordSetProps(TKxRecordSet& rs) {
  if (TCustomDAConnection* c = UsedConnection()) {
    rs.SetConnection(c->IConnection());
    FBoundIConnection = c->IConnection();
    TDATransaction* tr = UsedTransaction();
    rs.SetTransaction(tr ? tr->ITransaction() : nullptr);
  }
  TDADataSetOptions& o = Options();
  rs.SetProp(prUniDirectional, FUniDirectional);
  rs.SetProp(prFetchRows, FFetchRows);
  rs.SetProp(prFetchAll, FFetchAll);
  rs.SetProp(prReadOnly, FReadOnly);
  rs.SetProp(prRoAfterUpdate, FRefreshOptions.Contains(roAfterUpdate));
  rs.SetProp(prLongStrings, o.LongStrings());
  rs.SetProp(prFlatBuffers, o.FlatBuffers());
  rs.SetTrimFixedChar(o.TrimFixedChar());
  rs.SetTrimVarChar(o.TrimVarChar());
  rs.SetSetEmptyStrToNull(o.SetEmptyStrToNull());
  rs.SetProp(prCompressBlobMode, static_cast<std::int32_t>(o.CompressBlobMode()));
  rs.SetProp(prDefaultValues, o.DefaultValues());
  rs.SetProp(prFieldsOrigin, o.FieldsOrigin());
  rs.SetProp(prExtendedFieldsInfo, o.ExtendedFieldsInfo());
  TKxCommand& cmd = rs.GetCommand();
  cmd.SetComponent(this);
  cmd.SetProp(prQuoteNames, o.QuoteNames());
  cmd.SetProp(prEnableBCD, o.EnableBCD());
  cmd.SetProp(prEnableFmtBCD, o.EnableFMTBCD());
  cmd.SetProp(prAutoCommit, FAutoCommit);
  cmd.SetProp(prScanParams, FCommand->ParamCheck() || HasState(csDesigning));
  cmd.SetAfterExecute([this](bool result) { DoAfterExecute(result); });
  rs.OnBeforeFetch = [this](bool& cancel) { DoOnBeforeFetch(cancel); };
  rs.OnAfterFetch = [this] { DoOnAfterFetch(); };
  rs.OnDataChanged = [this] {
    if (ResyncBeforeFetch && Active()) Resync({});
  };
  rs.OnFieldsChanged = [this] {
    if (!Active()) FieldDefs().SetUpdated(false);
    DADataSetService().ClearFieldDescRefs();
  };
}

void TCustomDADataSet::BeginConnection(bool noConnectCheck) {
  CheckConnection();
  TCustomDAConnection& c = *UsedConnection();
  if (noConnectCheck)
    c.InternalConnect();
  else if (!c.Connected())
    c.Connect();
  try {
    TKxRecordSet& rs = CheckIRecordSet();
    // Compared with what was handed over, not with the record set's current
    // connection: a provider may run a result on a session of its own.
    if (FBoundIConnection != c.IConnection()) {
      rs.SetConnection(c.IConnection());
      FBoundIConnection = c.IConnection();
    }
    rs.SetTransaction(BeginUsedTransaction(c, UsedTransaction(), noConnectCheck));
    if (!c.IsClientRegistered(this)) c.RegisterClient(this, [this](bool connecting) { ConnectChange(connecting); });
  } catch (...) {
    if (noConnectCheck) c.InternalDisconnect();
    throw;
  }
}

void TCustomDADataSet::EndConnection() {
  if (TCustomDAConnection* c = UsedConnection()) EndUsedConnection(*c, UsedTransaction());
}

void TCustomDADataSet::EndFetchUse() noexcept {
  if (!FFetchUse) return;
  FFetchUse = false;
  try {
    EndConnection();
  } catch (...) {
  }
}

void TCustomDADataSet::CheckFetchUse() {
  if (!FIRecordSet) return;
  const bool open = FIRecordSet->Active() && !FIRecordSet->CanDisconnect();
  if (open && !FFetchUse) {
    BeginConnection(true);
    FFetchUse = true;
  } else if (!open && FFetchUse) {
    EndFetchUse();
  }
}

void TCustomDADataSet::Disconnect(bool needClose) {
  if (needClose) {
    Close();
    UnPrepare();
  } else if (FIRecordSet) {
    FIRecordSet->Disconnect();
  }
}

void TCustomDADataSet::ConnectChange(bool connecting) {
  if (connecting) return;
  TCustomDAConnection* c = UsedConnection();
  // The disconnect dropped every use, the one for fetching included.
  FFetchUse = false;
  FPrepareUse = false;
  const bool keepOpen = (c && c->Options().DisconnectedMode()) || FDisconnected;
  try {
    Disconnect(!keepOpen);
  } catch (const EDAError& e) {
    if (!e.IsFatalError()) throw;
  }
  FCommand->Params().Disconnect();
}

void TCustomDADataSet::SetIConnection(TKxConnection* value) {
  if (FIRecordSet) FIRecordSet->SetConnection(value);
  FBoundIConnection = value;
}

void TCustomDADataSet::ClearConnection() {
  if (FConnection) RemoveFreeNotification(*FConnection);
  FConnection = nullptr;
  FFetchUse = false;
  if (FIRecordSet) FIRecordSet->SetConnection(nullptr);
  FBoundIConnection = nullptr;
}

bool TCustomDADataSet::PreventsReconnect(TComponent*, TConnLostCause) {
  if (Prepared()) return true;
  return Active() && FIRecordSet && !FIRecordSet->CanDisconnect();
}

void TCustomDADataSet::TransactionEnds(TDATransaction& transaction) {
  if (UsedTransaction() == &transaction) ConnectChange(false);
}

void TCustomDADataSet::ResetProviderObjects() {
  try {
    if (FIRecordSet) FIRecordSet->Disconnect();
  } catch (...) {
  }
}

TSQLInfo* TCustomDADataSet::SQLInfo() {
  try {
    return &CheckICommand().GetSQLInfo();
  } catch (const Exception&) {
    return nullptr;
  }
}

TSQLParserClass TCustomDADataSet::ParserClass() {
  try {
    return CheckICommand().GetParserClass();
  } catch (const Exception&) {
    return ParserClassOf<TSQLParser>();
  }
}

// ---- properties ----------------------------------------------------------------------------

void TCustomDADataSet::SetFetchRows(std::int32_t value) {
  if (value == FFetchRows) return;
  if (value < 1 || value > 65535) throw EDAError("FetchRows must be 1..65535");
  CheckInactive();
  FFetchRows = value;
  if (FIRecordSet) FIRecordSet->SetProp(prFetchRows, value);
}

void TCustomDADataSet::SetFetchAllImpl(bool value) {
  if (value == FFetchAll) return;
  FFetchAll = value;
  if (value) FUniDirectional = false;
  if (FIRecordSet) {
    if (value) FIRecordSet->SetProp(prUniDirectional, false);
    FIRecordSet->SetProp(prFetchAll, value);
  }
  if (value && Active() && !IsFetched() && FIRecordSet) {
    FIRecordSet->FetchAll();
    CheckFetchUse();
    Resync({});
  }
}

void TCustomDADataSet::SetUniDirectional(bool value) {
  if (value == FUniDirectional) return;
  CheckInactive();
  FUniDirectional = value;
  if (value) FFetchAll = false;
  if (FIRecordSet) {
    FIRecordSet->SetProp(prUniDirectional, value);
    FIRecordSet->SetProp(prFetchAll, FFetchAll);
  }
}

void TCustomDADataSet::SetReadOnlyImpl(bool value) {
  FReadOnly = value;
  if (FIRecordSet) FIRecordSet->SetProp(prReadOnly, value);
}

void TCustomDADataSet::SetAutoCommit(bool value) {
  FAutoCommit = value;
  if (FIRecordSet) FIRecordSet->GetCommand().SetProp(prAutoCommit, value);
}

void TCustomDADataSet::SetRefreshOptionsImpl(TRefreshOptions value) {
  FRefreshOptions = value;
  if (FIRecordSet) FIRecordSet->SetProp(prRoAfterUpdate, value.Contains(roAfterUpdate));
}

void TCustomDADataSet::SetKeyFieldsImpl(const std::string& value) {
  FKeyFields = value;
  DADataSetService().ClearCachedKeyFieldDescs();
}

void TCustomDADataSet::SetUpdatingTableImpl(const std::string& value) {
  FUpdatingTable = value;
  if (Active()) DADataSetService().InitUpdatingTable();
}

bool TCustomDADataSet::Executing() { return FIRecordSet && FIRecordSet->GetCommand().Executing(); }

bool TCustomDADataSet::Fetching() {
  if (!FIRecordSet) return false;
  const TCursorState s = FIRecordSet->GetCommand().GetCursorState();
  return s == csFetching || s == csFetchingAll;
}

bool TCustomDADataSet::FetchingAll() {
  return FIRecordSet && FIRecordSet->GetCommand().GetCursorState() == csFetchingAll;
}

bool TCustomDADataSet::IsFetched() {
  if (!FIRecordSet) return false;
  const TCursorState s = FIRecordSet->GetCommand().GetCursorState();
  return s == csFetched || (Active() && s == csInactive);
}

void TCustomDADataSet::BreakExec() {
  if (FIRecordSet) {
    FIRecordSet->GetCommand().BreakExec();
    FIRecordSet->BreakFetch();
  }
}

// ---- the text --------------------------------------------------------------------------------

void TCustomDADataSet::CommandSQLChanged() {
  if (!FCommand->FSavingModifiedSQL || BaseSQLOldBehavior) FBaseSQL.clear();
  if (!HasState(csLoading)) {
    Close();
    UnPrepare();
  }
  FieldDefs().SetUpdated(false);
  if (FIRecordSet && FIRecordSet->GetCommand().GetCursor()) FIRecordSet->GetCommand().SetCursor(nullptr);
  FOldKeyFields.clear();
  FOldTableName.clear();
  FIsQueryKnown = false;
}

void TCustomDADataSet::MacroChanged(TMacro& macro) {
  FCommand->InvalidateFinalSQL();
  if (Active() && !FCommand->Macros().IsReferenced(SQLText(), macro.Name())) return;
  if (!HasState(csLoading)) {
    Close();
    UnPrepare();
  }
  FieldDefs().SetUpdated(false);
  FIsQueryKnown = false;
  FCommand->AssembleSQL();
}

void TCustomDADataSet::AddUpdateSQLText(std::string& text) {
  for (const auto& list : FUpdateSQL)
    if (list && list->Count() > 0) text += list->Text();
}

void TCustomDADataSet::ScanMacros() {
  if (FCommand->ScanMacros()) FCommand->AssembleSQL();
}

std::string TCustomDADataSet::GetFinalSQL() {
  std::string sql = FCommand->ExpandedSQL();
  if (!FFilterSQL.empty()) sql = SQLAddWhere(sql, FFilterSQL);
  if (MasterSource() && !MasterFields().empty() && !DetailFields().empty() && !Options().LocalMasterDetail()) {
    const std::vector<std::string> master = SplitFieldNames(MasterFields());
    const std::vector<std::string> detail = SplitFieldNames(DetailFields());
    const TSQLInfo* info = SQLInfo();
    static const TSQLInfo standard;
    if (!info) info = &standard;
    std::string condition;
    for (std::size_t i = 0; i < master.size() && i < detail.size(); ++i) {
      if (!condition.empty()) condition += " and ";
      condition += info->NormalizeName(detail[i], Options().QuoteNames()) + " = :" +
                   info->NormalizeName(master[i], Options().QuoteNames());
    }
    if (!condition.empty()) sql = SQLAddWhere(sql, condition);
  }
  return sql;
}

std::string TCustomDADataSet::BaseSQL() {
  std::string text = Trim(FBaseSQL.empty() ? SQLText() : FBaseSQL);
  FCommand->Macros().Expand(text);
  return text;
}

std::string TCustomDADataSet::SQLAddWhere(const std::string& sql, const std::string& condition) {
  return TDASQLText::AddWhere(sql, condition, ParserClass());
}

std::string TCustomDADataSet::SQLDeleteWhere(const std::string& sql) {
  return TDASQLText::DeleteWhere(sql, ParserClass());
}

std::string TCustomDADataSet::SQLGetWhere(const std::string& sql) { return TDASQLText::GetWhere(sql, ParserClass()); }

std::string TCustomDADataSet::SQLGetFrom(const std::string& sql) { return TDASQLText::GetFrom(sql, ParserClass()); }

std::string TCustomDADataSet::SQLSetOrderBy(const std::string& sql, const std::string& fields) {
  return TDASQLText::SetOrderBy(sql, fields, ParserClass());
}

std::string TCustomDADataSet::SQLGetOrderBy(const std::string& sql) {
  return TDASQLText::GetOrderBy(sql, ParserClass());
}

void TCustomDADataSet::SaveModifiedSQL(const std::string& text) {
  const std::string current = Trim(SQLText());
  if (text == current) return;
  if (FBaseSQL.empty()) FBaseSQL = SQLText();
  TFlagScope saving(FCommand->FSavingModifiedSQL);
  SetSQLText(text);
}

void TCustomDADataSet::AddWhere(const std::string& condition) {
  SaveModifiedSQL(SQLAddWhere(Trim(SQLText()), condition));
}

void TCustomDADataSet::DeleteWhere() { SaveModifiedSQL(SQLDeleteWhere(Trim(SQLText()))); }

void TCustomDADataSet::SetOrderBy(const std::string& fields) {
  SaveModifiedSQL(SQLSetOrderBy(Trim(SQLText()), fields));
}

std::string TCustomDADataSet::GetOrderBy() { return SQLGetOrderBy(SQLText()); }

void TCustomDADataSet::SaveSQL() { FBaseSQL = SQLText(); }

void TCustomDADataSet::RestoreSQL() {
  if (FBaseSQL.empty()) return;
  const std::string text = FBaseSQL;
  SetSQLText(text);
  FBaseSQL.clear();
}

void TCustomDADataSet::SetFilterSQLImpl(const std::string& value) {
  const std::string filter = Trim(value);
  if (filter == FFilterSQL) return;
  const std::string old = FFilterSQL;
  const bool wasActive = Active();
  try {
    if (!HasState(csLoading)) {
      Close();
      UnPrepare();
    }
    FFilterSQL = filter;
    FCommand->InvalidateFinalSQL();
    FCommand->AssembleSQL();
    if (wasActive) Open();
  } catch (...) {
    FFilterSQL = old;
    FCommand->InvalidateFinalSQL();
    try {
      FCommand->AssembleSQL();
    } catch (...) {
    }
    throw;
  }
}

void TCustomDADataSet::CheckSQL() {
  TKxCommand& cmd = CheckICommand();
  const bool stale = !FCommand->FFinalSQLValid;
  if (stale || (cmd.UserSQL().empty() && FCommand->SQL().Count() > 0)) FCommand->AssembleSQL();
}

bool TCustomDADataSet::GetIsQuery() {
  if (FIsQueryKnown) return FIsQueryValue;
  static constexpr std::string_view words[] = {"SELECT", "WITH", "SHOW", "DESC", "DESCRIBE", "EXPLAIN", "VALUES",
                                               "TABLE"};
  const std::string first = FirstWord(FCommand->FinalSQL(), ParserClass());
  return std::find(std::begin(words), std::end(words), first) != std::end(words);
}

// ---- master/detail ------------------------------------------------------------------------------

bool TCustomDADataSet::NeedDetailRefresh(TDAParam& param, TBlob* masterBlob) {
  return param.AsBlobRef() != masterBlob;
}

bool TCustomDADataSet::SetMasterParams(TDAParams& params) {
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (!master || !master->Active()) return false;
  const TSQLInfo* info = SQLInfo();
  bool changed = false;
  for (int i = 0; i < params.Count(); ++i) {
    TDAParam& p = params[i];
    const std::string name = info ? info->UnQuote(p.Name()) : p.Name();
    TField* field = master->FindField(name);
    if (!field) continue;
    auto* masterMem = dynamic_cast<TMemDataSet*>(master);
    if (field->IsBlob() && masterMem) {
      TBlob* blob = masterMem->GetBlob(*field);
      if (NeedDetailRefresh(p, blob)) changed = true;
      if (!p.IsBlobDataType()) p.SetDataType(field->DataType());
      p.SetParamObject(blob);
    } else {
      const Variant value = field->Value();
      const bool same = Active() && ((p.IsNull() && value.IsNullOrEmpty()) ||
                                     (!p.IsNull() && !value.IsNullOrEmpty() && VarSameValue(p.Value(), value)));
      if (!same) {
        p.AssignFieldValue(*field, value);
        changed = true;
      }
    }
    p.SetParamType(ptInput);
  }
  return changed;
}

bool TCustomDADataSet::UseLocalMasterDetailFilter() {
  return Options().LocalMasterDetail() && TMemDataSet::UseLocalMasterDetailFilter();
}

bool TCustomDADataSet::MDLinksRefreshed(TField* field) {
  if (Options().LocalMasterDetail()) return TMemDataSet::MDLinksRefreshed(field);
  if (!MasterSource() || MasterFields().empty() || DetailFields().empty()) return false;
  return SetMasterParams(Params());
}

void TCustomDADataSet::RefreshDetail() {
  if (Options().LocalMasterDetail()) {
    TMemDataSet::RefreshDetail();
    return;
  }
  if (!Active()) return;
  CheckBrowseMode();
  if (BeforeRefresh) BeforeRefresh(*this);
  CheckConnection();
  TCustomDAConnection& c = *UsedConnection();
  TDAOperationScope operation(c, clRefresh, c.IsFailOverAllowed());
  TDAUseGuard<TCustomDADataSet> use(*this);
  DisableControls();
  struct TEnable {
    TDataSet& DS;
    ~TEnable() { DS.EnableControls(); }
  } enable{*this};
  c.RunWithFailover(clRefresh, [&] {
    TDABusyCursor busy;
    DoBeforeExecute();
    CheckSQL();
    FCommand->WriteParams();
    FreeRefBuffers();
    DataReopen();
    First();
  });
  ComputeRecordCount();
  FRowsAffected = -1;
  if (AfterRefresh) AfterRefresh(*this);
}

void TCustomDADataSet::MasterDetailInvalidated() {
  FCommand->InvalidateFinalSQL();
  FIsQueryKnown = false;
}

void TCustomDADataSet::MDPropertiesChanged() {
  TMemDataSet::MDPropertiesChanged();
  if (Options().LocalMasterDetail()) return;
  MasterDetailInvalidated();
  if (HasState(csLoading) || HasState(csDestroying)) return;
  const bool wasActive = Active();
  if (wasActive) Close();
  UnPrepare();
  FCommand->AssembleSQL();
  if (wasActive) Open();
}

// ---- prepare, open and close ---------------------------------------------------------------------

void TCustomDADataSet::SetActive(bool value) {
  if (HasState(csReading)) {
    FStreamedOpen = value;
    return;
  }
  TMemDataSet::SetActive(value);
}

void TCustomDADataSet::Loaded() {
  TMemDataSet::Loaded();
  if (!std::exchange(FStreamedOpen, false)) return;
  if (HasState(csDesigning) || !FConnection || FConnection->Options().KeepDesignConnected()) Open();
}

void TCustomDADataSet::ComputeRecordCount() {
  FRecordCount = 0;
  if (Options().QueryRecCount() && (!FFetchAll || FNonBlocking)) FRecordCount = DADataSetService().GetRecCount();
}

void TCustomDADataSet::Prepare() {
  if (Prepared() || Active()) return;
  TDAUseGuard<TCustomDADataSet> use(*this);
  CheckSQL();
  if (!Options().LocalMasterDetail()) SetMasterParams(Params());
  FCommand->WriteParams(DADataSetService().NeedParamValuesOnPrepare());
  TMemDataSet::Prepare();
  Variant described;
  FIRecordSet->GetCommand().GetProp(prUseDescribeParams, described);
  if (described.AsBoolean()) FCommand->CreateParams();
  if (Prepared()) {
    use.Keep();
    FPrepareUse = true;
  }
}

void TCustomDADataSet::UnPrepare() {
  TMemDataSet::UnPrepare();
  if (FPrepareUse) {
    FPrepareUse = false;
    try {
      EndConnection();
    } catch (...) {
    }
  }
  if (FIRecordSet && !FIRecordSet->Prepared()) FIRecordSet->TablesInfo().Clear();
}

void TCustomDADataSet::OpenCursor(bool infoQuery) {
  CheckConnection();
  TCustomDAConnection& c = *UsedConnection();
  TDAOperationScope operation(c, clOpen, c.IsFailOverAllowed());
  FOldKeyFields.clear();
  TDAUseGuard<TCustomDADataSet> use(*this);
  c.RunWithFailover(clOpen, [&] {
    BeforeOpenCursor(infoQuery);
    CheckSQL();
    if (!Options().LocalMasterDetail()) {
      TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
      if (master && master->Active())
        SetMasterParams(Params());
      else if (MasterSource())
        DADataSetService().InitMasterParams(Params());
    }
    ComputeRecordCount();
    FFetchedRows = 0;
    TDABusyCursor busy(!FNonBlocking);
    DoBeforeExecute();
    FCommand->WriteParams();
    if (FDataTypeMap) FDataTypeMap->WriteTo(FIRecordSet->DataTypeMap());
    {
      TFlagScope opening(FInExecute);
      TMemDataSet::OpenCursor(infoQuery);
    }
    Variant selectParams;
    FIRecordSet->GetCommand().GetProp(prIsSelectParams, selectParams);
    if (selectParams.AsBoolean()) {
      Variant rows;
      FIRecordSet->GetCommand().GetProp(prRowsProcessed, rows);
      FRowsAffected = rows.AsInt64();
    } else {
      FRowsAffected = -1;
    }
    AfterOpenCursor(infoQuery);
  });
  // Rows still to come keep the connection in use until they are read.
  if (!infoQuery && FIRecordSet->Active() && !FIRecordSet->CanDisconnect() && !FFetchUse) {
    use.Keep();
    FFetchUse = true;
  }
}

void TCustomDADataSet::InternalOpen() {
  if (Options().AutoPrepare()) Prepare();
  TDAUseGuard<TCustomDADataSet> use(*this);
  TMemDataSet::InternalOpen();
  DADataSetService().InitCursor();
  use.Release();
}

void TCustomDADataSet::CloseCursor() {
  TMemDataSet::CloseCursor();
  EndFetchUse();
  if (!Prepared() || (FIRecordSet && FIRecordSet->FieldListDependsOnParams())) FieldDefs().SetUpdated(false);
}

void TCustomDADataSet::InternalClose() {
  try {
    TMemDataSet::InternalClose();
  } catch (const EDAError& e) {
    if (!e.IsFatalError()) throw;
  }
  if (!Prepared() && FIRecordSet) FIRecordSet->TablesInfo().Clear();
  DADataSetService().CloseCursor();
}

void TCustomDADataSet::DoAfterOpen() {
  FOldTableName = FUpdatingTable;
  TMemDataSet::DoAfterOpen();
}

void TCustomDADataSet::DataReopen() {
  TKxRecordSet& rs = CheckIRecordSet();
  const int recordSize = rs.RecordSize();
  rs.Reopen();
  if (rs.RecordSize() != recordSize) {
    // The row layout changed: the buffers must be laid out again.
    Close();
    Open();
    return;
  }
  CheckFetchUse();
}

// ---- fetching -----------------------------------------------------------------------------------

void TCustomDADataSet::InternalLast() {
  if (FIRecordSet && FIRecordSet->Active() && !IsFetched()) FIRecordSet->FetchAll();
  TMemDataSet::InternalLast();
}

void TCustomDADataSet::DoOnBeforeFetch(bool& cancel) {
  FRowsBeforeFetch = FIRecordSet ? FIRecordSet->GetRecordCount() : 0;
  if (BeforeFetch) BeforeFetch(*this, cancel);
  FFetchCanceled = cancel;
}

void TCustomDADataSet::DoOnAfterFetch() {
  if (FIRecordSet) {
    const int now = FIRecordSet->GetRecordCount();
    FFetchedRows += now >= FRowsBeforeFetch ? now - FRowsBeforeFetch : now;
  }
  if (AfterFetch && (!FFetchAll || IsFetched())) AfterFetch(*this);
  // Outside an open (which decides itself) the last block ends the use.
  if (!FInExecute && FFetchUse && FIRecordSet && FIRecordSet->CanDisconnect()) EndFetchUse();
}

int TCustomDADataSet::GetRecordCount() {
  const int held = TMemDataSet::GetRecordCount();
  if (Options().QueryRecCount() && Active() && !IsFetched() && FRecordCount > 0) {
    const std::int64_t counted = FRecordCount - FFetchedRows + held;
    return static_cast<int>(std::clamp<std::int64_t>(std::max<std::int64_t>(counted, held), 0, INT_MAX));
  }
  return std::max(held, 0);
}

// ---- executing ----------------------------------------------------------------------------------

void TCustomDADataSet::DoBeforeExecute() {
  if (BeforeExecute) BeforeExecute(*this);
}

void TCustomDADataSet::ReleaseExecuteUse() {
  if (TDAUseGuard<TCustomDADataSet>* use = std::exchange(FExecuteUse, nullptr)) use->Release();
}

void TCustomDADataSet::DoAfterExecute(bool result) {
  TCustomDAConnection* c = UsedConnection();
  bool query = false;
  if (result && FIRecordSet) {
    query = FIRecordSet->RowsReturn();
    FIsQueryKnown = true;
    FIsQueryValue = query;
    if (FCommand->ParamCount() > 0) FCommand->ReadParams();
    Variant rows;
    FIRecordSet->GetCommand().GetProp(prRowsProcessed, rows);
    FRowsAffected = rows.AsInt64();
    // The session the statement ran on knows its insert id.
    TKxConnection* ran = FIRecordSet->GetCommand().Connection();
    if (!ran && c) ran = c->IConnection();
    if (!query && ran) {
      Variant id;
      ran->GetProp(prLastInsertId, id);
      FLastInsertId = id.AsInt64();
    }
  }
  if (result && !query && c) {
    const bool needCommit = FAutoCommit && c->AutoCommit();
    if (needCommit && c->Options().DisconnectedMode()) c->DetectInTransaction();
    if (c->IsMultipleTransactionsSupported())
      if (TDATransaction* tr = UsedTransaction()) tr->AutoCommitTransaction(needCommit);
  }
  ReleaseExecuteUse();
  if (AfterExecute) AfterExecute(*this, result);
}

void TCustomDADataSet::InternalExecute() {
  // A statement without rows runs on the connection's own session (with
  // FetchAll a provider reads a result at once instead of streaming it over
  // a session of its own), in the connection's transaction.
  Variant fetchAll;
  FIRecordSet->GetProp(prFetchAll, fetchAll);
  FIRecordSet->SetProp(prFetchAll, true);
  try {
    FIRecordSet->ExecCommand();
  } catch (...) {
    FIRecordSet->SetProp(prFetchAll, fetchAll);
    throw;
  }
  FIRecordSet->SetProp(prFetchAll, fetchAll);
}

void TCustomDADataSet::ExecuteImpl() {
  CheckConnection();
  TCustomDAConnection& c = *UsedConnection();
  // Popped however Execute ends, also when it does nothing.
  TDAOperationScope operation(c, clExecute, true);
  if (Executing()) return;
  TDAUseGuard<TCustomDADataSet> use(*this);
  if (Active()) Close();
  c.RunWithFailover(clExecute, [&] {
    TDABusyCursor busy;
    if (Options().AutoPrepare()) Prepare();
    if (GetIsQuery()) {
      Open();
      return;
    }
    DoBeforeExecute();
    CheckSQL();
    if (!Options().LocalMasterDetail()) SetMasterParams(Params());
    FCommand->WriteParams();
    FExecuteUse = &use;
    struct TForget {
      TCustomDADataSet& Self;
      ~TForget() { Self.FExecuteUse = nullptr; }
    } forget{*this};
    InternalExecute();
    if (FIRecordSet->RowsReturn()) {
      FIsQueryKnown = FIsQueryValue = true;
      Open();
    }
  });
}

// ---- refresh ---------------------------------------------------------------------------------------

bool TCustomDADataSet::CurrentKey(std::vector<TField*>& fields, Variant& values) {
  fields.clear();
  if (!Active() || IsEmpty()) return false;
  TFieldDescArray descs;
  DADataSetService().GetKeyFieldDescs(descs);
  for (TKxFieldDesc* d : descs) {
    if (TField* f = FindField(d->Name())) fields.push_back(f);
  }
  if (fields.empty()) return false;
  if (fields.size() == 1) {
    values = fields[0]->Value();
  } else {
    Variant::Array items;
    for (TField* f : fields) items.push_back(f->Value());
    values = Variant::FromArray(std::move(items));
  }
  return true;
}

void TCustomDADataSet::InternalRefresh() {
  CheckConnection();
  TCustomDAConnection& c = *UsedConnection();
  TDAOperationScope operation(c, clRefresh, c.IsFailOverAllowed());
  std::vector<TField*> keyFields;
  Variant keyValues;
  const bool haveKey = CurrentKey(keyFields, keyValues);
  c.RunWithFailover(clRefresh, [&] {
    TDAUseGuard<TCustomDADataSet> use(*this);
    ComputeRecordCount();
    FFetchedRows = 0;
    TDABusyCursor busy;
    DoBeforeExecute();
    CheckSQL();
    FCommand->WriteParams();
    try {
      TMemDataSet::InternalRefresh();
    } catch (const EFailOver&) {
      throw;
    } catch (...) {
      try {
        Close();
      } catch (...) {
      }
      throw;
    }
  });
  FRowsAffected = -1;
  if (!Active()) return;
  if (!haveKey || !LocateKey(keyFields, keyValues, {})) InternalFirst();
}

bool TCustomDADataSet::LocateKey(const std::vector<TField*>& fields, const Variant& values, TLocateExOptions options) {
  if (LocateEx(fields, values, options)) return true;
  if (!FIRecordSet || IsFetched()) return false;
  // The row may be among those not read yet.
  FIRecordSet->FetchAll();
  CheckFetchUse();
  return LocateEx(fields, values, options);
}

void TCustomDADataSet::RemoveRecordLocally() {
  TData& d = Data();
  auto onDelete = std::move(d.OnDelete);
  d.OnDelete = nullptr;
  try {
    InternalSetToRecord(ActiveBuffer());
    d.DeleteRecord();
  } catch (...) {
    d.OnDelete = std::move(onDelete);
    throw;
  }
  d.OnDelete = std::move(onDelete);
}

void TCustomDADataSet::RefreshRecord() {
  if (State() == dsInsert) {
    Cancel();
    return;
  }
  if (State() == dsEdit) Cancel();
  if (State() == dsSetKey) Post();
  if (IsEmpty()) return;
  const bool found = DADataSetService().DAUpdater().PerformRefreshRecord();
  if (!found && Options().RemoveOnRefresh()) RemoveRecordLocally();
  Resync({});
}

void TCustomDADataSet::Lock() { DADataSetService().DAUpdater().PerformLock(); }

void TCustomDADataSet::UnLock() { DADataSetService().DAUpdater().PerformUnLock(); }

// ---- editing --------------------------------------------------------------------------------------

bool TCustomDADataSet::GetCanModify() { return DADataSetService().DetectCanModify(); }

void TCustomDADataSet::BeginEditStep(bool preconnect, void (TDADataSetUpdater::*prepare)(),
                                     void (TCustomDADataSet::*step)()) {
  TDADataSetUpdater& updater = DADataSetService().DAUpdater();
  if (preconnect && !FPreconnected) {
    BeginConnection(true);
    FPreconnected = true;
  }
  try {
    (updater.*prepare)();
    (this->*step)();
  } catch (...) {
    EndPreconnect();
    throw;
  }
}

void TCustomDADataSet::EndPreconnect() noexcept {
  if (!std::exchange(FPreconnected, false)) return;
  try {
    EndConnection();
  } catch (...) {
  }
}

void TCustomDADataSet::InternalInsert() {
  BeginEditStep(DADataSetService().DAUpdater().IsNeedInsertPreconnect(), &TDADataSetUpdater::PrepareAppend,
                &TCustomDADataSet::MemInternalInsert);
}

void TCustomDADataSet::InternalEdit() {
  BeginEditStep(DADataSetService().DAUpdater().IsNeedEditPreconnect(), &TDADataSetUpdater::PrepareUpdate,
                &TCustomDADataSet::MemInternalEdit);
}

void TCustomDADataSet::InternalDelete() {
  DADataSetService().DAUpdater().PrepareDelete();
  TMemDataSet::InternalDelete();
}

void TCustomDADataSet::InternalCancel() {
  struct TEnd {
    TCustomDADataSet& Self;
    ~TEnd() { Self.EndPreconnect(); }
  } end{*this};
  DADataSetService().DAUpdater().UnPrepareAppendUpdate();
  TMemDataSet::InternalCancel();
}

void TCustomDADataSet::InternalPost() {
  struct TEnd {
    TCustomDADataSet& Self;
    ~TEnd() { Self.EndPreconnect(); }
  } end{*this};
  // A pessimistic lock of the edit stays: the written row is part of the
  // lock's transaction (committed with it, or by the caller's Commit).
  TMemDataSet::InternalPost();
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (Options().LocalMasterDetail() || !master || !master->Active()) return;
  std::vector<TField*> masterFields, detailFields;
  GetDetailLinkFields(masterFields, detailFields);
  const bool caseSensitive = !FIRecordSet || FIRecordSet->IsCaseSensitive();
  bool matches = true;
  for (std::size_t i = 0; matches && i < masterFields.size(); ++i) {
    const Variant m = masterFields[i]->Value();
    const Variant d = detailFields[i]->Value();
    if (m.IsNullOrEmpty() || d.IsNullOrEmpty())
      matches = m.IsNullOrEmpty() && d.IsNullOrEmpty();
    else if (!caseSensitive && m.IsText() && d.IsText())
      matches = AnsiSameText(m.AsString(), d.AsString());
    else
      matches = VarSameValue(m, d);
  }
  if (matches) return;
  if (CachedUpdates()) throw EDAError("Can not use Master/Detail with CachedUpdates");
  // The row now belongs to another master: it leaves this detail.
  RemoveRecordLocally();
}

void TCustomDADataSet::SetDefaultExpressionValues() {
  if (DefaultExpressionOldBehavior) {
    TMemDataSet::SetDefaultExpressionValues();
    return;
  }
  AssignDefaultValues([this] {
    TDADataSetUpdater& updater = DADataSetService().DAUpdater();
    std::vector<TField*> remaining;
    std::string list;
    for (const auto& f : Fields()) {
      if (f->FieldKind() != fkData || Trim(f->DefaultExpression()).empty()) continue;
      const std::string expression = Trim(f->DefaultExpression());
      if (AssignLiteralDefault(*f, expression)) continue;
      Variant value;
      if (updater.GetDefaultExpressionValue(expression, value)) {
        f->SetValue(value);
        continue;
      }
      remaining.push_back(f.get());
      list += (list.empty() ? "" : ", ") + expression;
    }
    if (remaining.empty()) return;
    const std::string sql = DADataSetService().SQLGenerator().GenerateSelectValues(list);
    const std::vector<Variant> values = updater.SelectDbValues("Select default values", sql);
    for (std::size_t i = 0; i < remaining.size() && i < values.size(); ++i) {
      if (values[i].IsNullOrEmpty())
        remaining[i]->Clear();
      else
        remaining[i]->SetValue(values[i]);
    }
  });
}

void TCustomDADataSet::ApplyUpdates(TUpdateRecKinds kinds) {
  CheckConnection();
  TCustomDAConnection& c = *UsedConnection();
  const bool multiple = c.IsMultipleTransactionsSupported();
  TDAOperationScope operation(c, clApply, c.IsFailOverAllowed() && (!FAutoCommit || multiple));
  c.RunWithFailover(clApply, [&] {
    TDATransaction* tr = UsedUpdateTransaction();
    bool startedHere = false;
    const bool autoCommit = FAutoCommit;
    struct TRestore {
      bool& Flag;
      bool Value;
      ~TRestore() { Flag = Value; }
    } restore{FAutoCommit, autoCommit};
    if (multiple || (c.Options().DisconnectedMode() && !FAutoCommit)) {
      if (tr && !tr->Active()) {
        tr->StartTransaction();
        startedHere = true;
      }
      FAutoCommit = false;
    }
    TMemDataSet::ApplyUpdates(kinds);
    FAutoCommit = autoCommit;
    if (multiple && autoCommit && tr && tr->Active()) {
      if (startedHere)
        tr->Commit();
      else
        tr->CommitRetaining();
    }
  });
}

// ---- keys and navigation ---------------------------------------------------------------------------

namespace {

bool ValueFits(const TField& field, const Variant& value) {
  if (value.IsNullOrEmpty()) return true;
  try {
    switch (field.DataType()) {
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftAutoInc:
      case ftLargeint:
      case ftLongWord:
      case ftShortint:
      case ftByte:
        value.AsInt64();
        break;
      case ftFloat:
      case ftCurrency:
      case ftBCD:
      case ftFMTBcd:
      case ftSingle:
      case ftExtended:
        value.AsDouble();
        break;
      case ftDate:
      case ftTime:
      case ftDateTime:
      case ftTimeStamp:
        value.AsDate();
        break;
      case ftBoolean:
        value.AsBoolean();
        break;
      default:
        break;
    }
  } catch (const Exception&) {
    return false;
  }
  return true;
}

}  // namespace

bool TCustomDADataSet::KeyFor(const std::vector<Variant>& keyValues, std::vector<TField*>& fields, Variant& values) {
  CheckBrowseMode();
  TFieldDescArray descs;
  DADataSetService().GetKeyFieldDescs(descs);
  fields.clear();
  for (TKxFieldDesc* d : descs)
    if (TField* f = FindField(d->Name())) fields.push_back(f);
  if (fields.empty()) throw EDAError("Key fields required to call FindKey or FindNearest");
  for (std::size_t i = 0; i < fields.size() && i < keyValues.size(); ++i)
    if (!ValueFits(*fields[i], keyValues[i]))
      throw EDAError(Format("Invalid value for field '%s'", {fields[i]->FieldName()}));
  if (fields.size() == 1) {
    values = keyValues.empty() ? Variant() : keyValues[0];
  } else {
    Variant::Array items(fields.size());
    for (std::size_t i = 0; i < fields.size() && i < keyValues.size(); ++i) items[i] = keyValues[i];
    values = Variant::FromArray(std::move(items));
  }
  return true;
}

bool TCustomDADataSet::FindKey(const std::vector<Variant>& keyValues) {
  std::vector<TField*> fields;
  Variant values;
  KeyFor(keyValues, fields, values);
  return LocateKey(fields, values, {});
}

void TCustomDADataSet::FindNearest(const std::vector<Variant>& keyValues) {
  std::vector<TField*> fields;
  Variant values;
  KeyFor(keyValues, fields, values);
  LocateKey(fields, values, {lxNearest});
}

void TCustomDADataSet::GotoCurrent(TCustomDADataSet& dataSet) {
  std::vector<TField*> otherFields;
  Variant values;
  if (dataSet.CurrentKey(otherFields, values)) {
    std::vector<TField*> fields;
    for (TField* f : otherFields)
      if (TField* mine = FindField(f->FieldName())) fields.push_back(mine);
    if (fields.size() == otherFields.size() && LocateKey(fields, values, {})) return;
  }
  First();
}

void TCustomDADataSet::SetFiltered(bool value) {
  std::vector<TField*> fields;
  Variant values;
  const bool haveKey = Active() && CurrentKey(fields, values);
  TMemDataSet::SetFiltered(value);
  if (haveKey && Active()) LocateKey(fields, values, {});
}

// ---- fields and the update flow ---------------------------------------------------------------------

TFieldDesc* TCustomDADataSet::GetFieldDesc(std::string_view fieldName) {
  if (!FIRecordSet) return nullptr;
  return FIRecordSet->FindField(fieldName);
}

std::uint16_t TCustomDADataSet::GetDataType(std::string_view fieldName) {
  TFieldDesc* d = GetFieldDesc(fieldName);
  if (!d) throw EDAError(Format("Field '%s' not found", {fieldName}));
  return d->DataType();
}

int TCustomDADataSet::GetFieldPrecision(std::string_view fieldName) {
  TFieldDesc* d = GetFieldDesc(fieldName);
  if (!d) throw EDAError(Format("Field '%s' not found", {fieldName}));
  return d->Length();
}

int TCustomDADataSet::GetFieldScale(std::string_view fieldName) {
  TFieldDesc* d = GetFieldDesc(fieldName);
  if (!d) throw EDAError(Format("Field '%s' not found", {fieldName}));
  return d->Scale();
}

void TCustomDADataSet::AssignFieldValue(TDAParam& param, TField& field, bool old) {
  param.AssignFieldValue(field, old ? GetStateFieldValue(dsOldValue, field) : field.Value());
}

void TCustomDADataSet::AssignFieldValue(TDAParam& param, TFieldDesc& desc, bool old) {
  if (TField* f = FindField(desc.Name())) {
    AssignFieldValue(param, *f, old);
    return;
  }
  // No field object: the value as the row's old or new record buffer holds it.
  const void* oldRecBuf = nullptr;
  const void* newRecBuf = nullptr;
  TMemDSUtils::GetOldAndNewRecBuf(*this, oldRecBuf, newRecBuf);
  const void* buffer = old ? oldRecBuf : newRecBuf;
  param.SetDataType(GetFieldType(desc.DataType()));
  const Variant value =
      buffer ? Data().GetFieldAsVariant(desc.FieldNo(), const_cast<void*>(buffer)) : Variant::Null();
  if (value.IsNullOrEmpty())
    param.Clear();
  else
    param.SetValue(value);
}

bool TCustomDADataSet::CanRefreshField(TField& field) { return !field.ReadOnly() || field.FieldKind() == fkData; }

void TCustomDADataSet::DoBeforeUpdateExecute(TStatementTypes types, TDAParams& params) {
  if (BeforeUpdateExecute) BeforeUpdateExecute(*this, types, params);
}

void TCustomDADataSet::DoAfterUpdateExecute(TStatementTypes types, TDAParams& params) {
  if (AfterUpdateExecute) AfterUpdateExecute(*this, types, params);
}

}  // namespace lumo
