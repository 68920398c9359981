#include "DAConnectionCommand.h"

#include <utility>

#include "DATransaction.h"
#include "DBAccess.h"

namespace lumo {

namespace {

struct TTypePair {
  TFieldType Field;
  std::uint16_t Data;
};

// Field types and data-type codes that stand for the same value kind; the
// first pair of a data type is the one it maps back to.
constexpr TTypePair TypePairs[] = {
    {ftString, dtString},         {ftSmallint, dtInt16},       {ftInteger, dtInt32},
    {ftWord, dtUInt16},           {ftBoolean, dtBoolean},      {ftFloat, dtFloat},
    {ftCurrency, dtCurrency},     {ftBCD, dtBCD},              {ftDate, dtDate},
    {ftTime, dtTime},             {ftDateTime, dtDateTime},    {ftBytes, dtBytes},
    {ftVarBytes, dtVarBytes},     {ftAutoInc, dtInt32},        {ftBlob, dtBlob},
    {ftMemo, dtMemo},             {ftGraphic, dtBlob},         {ftFmtMemo, dtMemo},
    {ftFixedChar, dtString},      {ftWideString, dtWideString}, {ftLargeint, dtInt64},
    {ftVariant, dtVariant},       {ftGuid, dtGuid},            {ftTimeStamp, dtSQLTimeStamp},
    {ftFMTBcd, dtFMTBCD},         {ftFixedWideChar, dtWideString}, {ftWideMemo, dtWideMemo},
    {ftLongWord, dtUInt32},       {ftShortint, dtInt8},        {ftByte, dtUInt8},
    {ftExtended, dtFloat},        {ftSingle, dtSingle},        {ftCursor, dtCursor},
};

TParamDirection DirectionOf(TParamType type) noexcept {
  switch (type) {
    case ptInput:
      return pdInput;
    case ptOutput:
      return pdOutput;
    case ptInputOutput:
      return pdInputOutput;
    case ptResult:
      return pdResult;
    default:
      return pdUnknown;
  }
}

TParamType ParamTypeOf(TParamDirection direction) noexcept {
  switch (direction) {
    case pdInput:
      return ptInput;
    case pdOutput:
      return ptOutput;
    case pdInputOutput:
      return ptInputOutput;
    case pdResult:
      return ptResult;
    default:
      return ptUnknown;
  }
}

}  // namespace

std::uint16_t DataTypeOfFieldType(TFieldType type) noexcept {
  for (const TTypePair& p : TypePairs)
    if (p.Field == type) return p.Data;
  return dtUnknown;
}

TFieldType FieldTypeOfDataType(std::uint16_t dataType) noexcept {
  switch (dataType) {
    case dtExtString:
      return ftString;
    case dtExtWideString:
      return ftWideString;
    case dtExtVarBytes:
      return ftVarBytes;
    case dtUInt64:
      return ftLargeint;
    default:
      break;
  }
  for (const TTypePair& p : TypePairs)
    if (p.Data == dataType) return p.Field;
  return ftUnknown;
}

// ---- TDAProviderCommand ---------------------------------------------------------------------

TDAProviderCommand::TDAProviderCommand(TCustomDAConnection& connection) : FConnection(connection) {}

TDAProviderCommand::~TDAProviderCommand() = default;

void TDAProviderCommand::Disconnect() {
  if (!FRecordSet) return;
  try {
    FRecordSet->Close();
  } catch (...) {
  }
  FRecordSet.reset();
}

TKxRecordSet& TDAProviderCommand::RecordSet() {
  TClassRef<TKxRecordSet> cls = FConnection.GetIRecordSetClass();
  if (FRecordSet && !cls.IsClassOf(FRecordSet.get())) Disconnect();
  if (!FRecordSet) {
    FRecordSet = cls.Create();
    // Everything is read at once, on the connection's own session (a
    // provider may stream a partly read result over a session of its own).
    FRecordSet->SetProp(prFetchAll, true);
  }
  if (FRecordSet->Connection() != FConnection.IConnection()) FRecordSet->SetConnection(FConnection.IConnection());
  TDATransaction* tr = FConnection.UsedTransaction();
  FRecordSet->SetTransaction(tr ? tr->ITransaction() : nullptr);
  return *FRecordSet;
}

void TDAProviderCommand::ReadDescriptors() {
  TKxCommand& cmd = RecordSet().GetCommand();
  FParams.Clear();
  for (int i = 0; i < cmd.GetParamCount(); ++i) {
    const TParamDesc& d = cmd.GetParam(i);
    TParam& p = FParams.Add();
    p.SetName(d.Name());
    p.SetDataType(FieldTypeOfDataType(d.DataType()));
    p.SetParamType(ParamTypeOf(d.ParamType()));
    p.SetSize(d.Size());
  }
}

void TDAProviderCommand::SetSQL(const std::string& text) {
  FStoredProcName.clear();
  FSQL = text;
  TKxRecordSet& rs = RecordSet();
  rs.Close();
  rs.GetCommand().SetProp(prIsStoredProc, false);
  // The same text again: the scan is not repeated, the parameters stay.
  rs.SetSQL(std::string());
  rs.SetSQL(text);
  ReadDescriptors();
}

void TDAProviderCommand::SetStoredProc(const std::string& name) {
  FSQL.clear();
  FStoredProcName = name;
  TKxRecordSet& rs = RecordSet();
  rs.Close();
  TKxCommand& cmd = rs.GetCommand();
  cmd.ClearParams();
  cmd.CreateProcCall(name, true, false);
  cmd.SetProp(prIsStoredProc, true);
  ReadDescriptors();
}

void TDAProviderCommand::WriteParams() {
  TKxCommand& cmd = RecordSet().GetCommand();
  for (int i = 0; i < FParams.Count(); ++i) {
    const TParam& p = FParams[i];
    TParamDesc& d = i < cmd.GetParamCount() ? cmd.GetParam(i) : cmd.AddParam();
    d.SetName(p.Name());
    if (const std::uint16_t type = DataTypeOfFieldType(p.DataType()); type != dtUnknown) d.SetDataType(type);
    d.SetParamType(DirectionOf(p.ParamType()));
    if (p.Size() > 0) d.SetSize(p.Size());
    d.SetIsBound(p.Bound());
    if (p.IsNull())
      d.SetNull(true);
    else
      d.SetValue(p.Value());
  }
}

void TDAProviderCommand::ReadParams() {
  TKxCommand& cmd = RecordSet().GetCommand();
  Variant canRead;
  cmd.GetProp(prCanReadParams, canRead);
  if (!canRead.AsBoolean()) return;
  for (int i = 0; i < FParams.Count() && i < cmd.GetParamCount(); ++i) {
    TParam& p = FParams[i];
    if (p.ParamType() == ptInput) continue;
    const TParamDesc& d = cmd.GetParam(i);
    if (d.GetNull()) {
      p.Clear();
      continue;
    }
    const TFieldType type = p.DataType();
    p.SetValue(d.GetValue());
    if (type != ftUnknown) p.SetDataType(type);
  }
  cmd.SetProp(prCanReadParams, false);
}

void TDAProviderCommand::ExecuteOnce() {
  TKxRecordSet& rs = RecordSet();
  WriteParams();
  rs.Close();
  rs.ExecCommand();
  if (rs.RowsReturn()) {
    // Reads what the statement returned (for a stored procedure the row
    // that carries its output parameters) and drops the rest.
    rs.Open();
    rs.Close();
  }
  ReadParams();
}

void TDAProviderCommand::Execute() {
  TDAOperationScope operation(FConnection, clExecute, true);
  FConnection.RunWithFailover(clExecute, [this] { ExecuteOnce(); });
}

}  // namespace lumo
