#include <lumokit/access/KxAccessRecordSet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/StringList.h>
#include <lumokit/data/KxBlob.h>

namespace lumo {

// ---- TKxFieldDesc ---------------------------------------------------------------------------

void TKxFieldDesc::Assign(const TFieldDesc& source) {
  auto* kx = dynamic_cast<const TKxFieldDesc*>(&source);
  LUMO_ASSERT(kx != nullptr);
  TFieldDesc::Assign(source);
  FDBType = kx->FDBType;
  FDBLength = kx->FDBLength;
  FDBScale = kx->FDBScale;
  FMapRule = kx->FMapRule;
  FMapLength = kx->FMapLength;
  FMapScale = kx->FMapScale;
  FOnDemandConverter = kx->FOnDemandConverter;
}

std::uint16_t TKxFieldDesc::MappedDataType() const noexcept {
  return FOnDemandConverter && FMapRule ? FMapRule->DataType() : FDataType;
}

const std::string& TKxFieldDesc::ActualNameQuoted(const TSQLInfo& info, bool quoteNames) const {
  TQuotedCache& cache = FActualNameQuoted[quoteNames ? 1 : 0];
  if (!cache.Valid || cache.Source != FActualName) {
    cache.Quoted = info.NormalizeName(FActualName, quoteNames, false);
    cache.Source = FActualName;
    cache.Valid = true;
  }
  return cache.Quoted;
}

// ---- TKxRecordSet: set-up -------------------------------------------------------------------

TKxRecordSet::TKxRecordSet()
    : FTablesInfo([this](TKxTablesInfo& owner) { return GetCommand().CreateTableInfo(owner); }) {}

TKxRecordSet::~TKxRecordSet() = default;

void TKxRecordSet::SetCommand(std::unique_ptr<TKxCommand> value) { FCommand = std::move(value); }

TKxCommand& TKxRecordSet::GetCommand() {
  if (!FCommand) {
    FCommand = CreateCommand();
    LUMO_ASSERT(FCommand != nullptr);
  }
  return *FCommand;
}

TKxMapRules& TKxRecordSet::DataTypeMap() {
  if (!FDataTypeMap) FDataTypeMap = GetCommand().CreateMapRules();
  return *FDataTypeMap;
}

void TKxRecordSet::SetConnection(TKxConnection* value) { GetCommand().SetConnection(value); }

void TKxRecordSet::SetTransaction(TKxTransaction* value) { GetCommand().SetTransaction(value); }

void TKxRecordSet::SetSQL(const std::string& value) { GetCommand().SetSQL(value); }

bool TKxRecordSet::SetProp(int prop, const Variant& value) {
  switch (prop) {
    case prUniDirectional:
      FUniDirectional = value.AsBoolean();
      if (FUniDirectional) FFetchAll = false;
      return true;
    case prFetchRows:
      FFetchRows = std::clamp<std::int32_t>(value.AsInt32(), 1, 65535);
      return true;
    case prFetchAll:
      if (!FLockFetchAll) FFetchAll = value.AsBoolean() && !FUniDirectional;
      return true;
    case prLongStrings:
      FLongStrings = value.AsBoolean();
      return true;
    case prFlatBuffers:
      FFlatBuffers = value.AsBoolean();
      return true;
    case prIndexFieldNames:
      SetIndexFieldNames(value.AsString());
      return true;
    case prCompressBlobMode:
      return GetCommand().SetProp(prCompressBlobMode, value);
    case prReadOnly:
    case prRoAfterUpdate:
      return true;
    case prLockFetchAll:
      FLockFetchAll = value.AsBoolean();
      return true;
    case prExtendedFieldsInfo:
      FExtendedFieldsInfo = value.AsBoolean();
      return true;
    case prDefaultValues:
      FDefaultValues = value.AsBoolean();
      return true;
    case prFieldsOrigin:
      FFieldsOrigin = value.AsBoolean();
      return true;
    case prEncryptedFields:
      FEncryptedFields = value.AsString();
      return true;
    default:
      UnknownPropError(prop);
  }
}

bool TKxRecordSet::GetProp(int prop, Variant& value) {
  switch (prop) {
    case prFetchAll:
      value = FFetchAll;
      return true;
    case prExtendedFieldsInfo:
      value = FExtendedFieldsInfo;
      return true;
    case prDefaultValues:
      value = FDefaultValues;
      return true;
    case prFieldsOrigin:
      value = FFieldsOrigin;
      return true;
    default:
      UnknownPropError(prop);
  }
}

// ---- TKxRecordSet: prepare, open, close -------------------------------------------------------

void TKxRecordSet::InternalPrepare() { GetCommand().Prepare(); }

void TKxRecordSet::InternalUnPrepare() { GetCommand().Unprepare(); }

void TKxRecordSet::Prepare() {
  TMemData::Prepare();
  if (!NeedInitFieldsOnPrepare()) return;
  try {
    InitFields();
  } catch (...) {
    UnPrepare();
    throw;
  }
}

void TKxRecordSet::UnPrepare() {
  TMemData::UnPrepare();
  FTablesInfo.Clear();
}

void TKxRecordSet::InternalOpen(bool disableInitFields) {
  FNoData = false;
  FEOF = false;
  try {
    ExecFetch(disableInitFields);
  } catch (...) {
    TKxCommand& cmd = GetCommand();
    if (!Prepared()) cmd.Unprepare();
    if (cmd.GetCursorState() == csExecuted) cmd.SetCursorState(csInactive);
    throw;
  }
}

void TKxRecordSet::InternalClose() {
  TKxCommand& cmd = GetCommand();
  if (Prepared())
    cmd.SetCursorState(csPrepared);
  else
    cmd.Unprepare();
}

void TKxRecordSet::Disconnect() {
  InternalUnPrepare();
  FPrepared = false;
}

bool TKxRecordSet::CanDisconnect() {
  const TCursorState s = GetCommand().GetCursorState();
  return s == csInactive || s == csFetched;
}

// ---- TKxRecordSet: executing and fetching ------------------------------------------------------

void TKxRecordSet::ExecCommand() {
  GetCommand().Execute();
  FWaitForFetchBreak.store(false, std::memory_order_release);
}

void TKxRecordSet::ExecFetch(bool disableInitFields) {
  ExecCommand();
  if (!disableInitFields && (!Prepared() || FieldCount() == 0 || NeedInitFieldsOnFetch())) InitFields();
  if (FFetchAll)
    FetchAll();
  else
    Fetch(false);
  if (AfterExecFetch) AfterExecFetch(true);
}

void TKxRecordSet::FetchAll() {
  TKxCommand& cmd = GetCommand();
  const TCursorState state = cmd.GetCursorState();
  if (state >= csExecuted && state < csFetched) cmd.SetCursorState(csFetchingAll);
  while (!FetchBreakRequested() && Fetch(false)) {
  }
  if (cmd.GetCursorState() == csFetchingAll) cmd.SetCursorState(csFetching);
  if (AfterFetchAll) AfterFetchAll();
}

void TKxRecordSet::BreakFetch() { FWaitForFetchBreak.store(true, std::memory_order_release); }

void TKxRecordSet::DoBeforeFetch(bool& cancel) {
  if (OnBeforeFetch) OnBeforeFetch(cancel);
  if (cancel && GetCommand().GetCursorState() == csFetchingAll) GetCommand().SetCursorState(csFetching);
}

void TKxRecordSet::DoAfterFetch() {
  if (OnAfterFetch) OnAfterFetch();
}

void TKxRecordSet::InitFetchedBlock(TBlockHeader* block, int rowsFetched, bool fetchBack) {
  LinkFetchedItems(block, static_cast<std::uint32_t>(std::max(rowsFetched, 0)), fetchBack);
}

void TKxRecordSet::CreateBlockStruct(TBlockHeader* block, int rowsFetched, bool fetchBack) {
  const std::uint32_t capacity = block->ItemCount;
  TItemHeader* first = rowsFetched > 0 ? BlockMan().BlockItem(block, 0) : nullptr;
  InitFetchedBlock(block, rowsFetched, fetchBack);
  if (!fetchBack && static_cast<std::uint32_t>(rowsFetched) < capacity) FNoData = true;
  // Without encrypted fields there is nothing to decrypt (asked once per
  // block, not once per record).
  if (GetEncryptStateSize() == 0) return;
  TItemHeader* item = first;
  for (int i = 0; i < rowsFetched && item; ++i, item = fetchBack ? item->Prev : item->Next) DecryptBuffer(item);
}

namespace {

std::uint16_t ReadLength(const std::uint8_t* p) noexcept {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

void WriteLength(std::uint8_t* p, std::int64_t v) noexcept {
  const auto n = static_cast<std::uint16_t>(v);
  std::memcpy(p, &n, 2);
}

// Characters of `unit` bytes that a text slot of `size` bytes holds before
// its terminator (the terminator written after decryption stays inside).
std::size_t SlotChars(int size, int unit) noexcept {
  return size >= unit ? static_cast<std::size_t>(size / unit - 1) : 0;
}

std::size_t WideLength(const std::uint8_t* p, std::size_t maxUnits) noexcept {
  std::size_t n = 0;
  while (n < maxUnits && (p[2 * n] | p[2 * n + 1]) != 0) ++n;
  return n;
}

}  // namespace

void TKxRecordSet::DecryptBuffer(TItemHeader* item) {
  if (GetEncryptStateSize() == 0) return;
  std::uint8_t* rec = TBlockManager::GetRecordPtr(item);
  std::memset(rec + FDataSize + FIndicatorSize, 0, static_cast<std::size_t>(GetEncryptStateSize()));
  for (int i = 0; i < FieldCount(); ++i) {
    auto* field = dynamic_cast<TKxFieldDesc*>(Fields()[i]);
    if (!field || !field->Decryptor()) continue;
    const int fieldNo = i + 1;
    if (IsNullIndicator(fieldNo, rec)) continue;
    const TDecryptionMethod& decrypt = field->Decryptor();
    std::uint8_t* slot = Slot(rec, *field);
    std::int64_t size = 0;
    bool result = true;
    switch (GetDecryptDataType(field->DataType())) {
      case dtString:
      case dtExtString: {
        auto* text = field->DataType() == dtString ? reinterpret_cast<char*>(slot)
                                                   : static_cast<char*>(ReadHandle(slot));
        if (!text) break;
        size = static_cast<std::int64_t>(
            field->DataType() == dtString ? strnlen(text, SlotChars(field->Size(), 1)) : std::strlen(text));
        if (size == 0) break;
        const std::int64_t before = size;
        result = decrypt(text, dtString, size);
        size = std::clamp<std::int64_t>(size, 0, before);
        text[size] = 0;
        break;
      }
      case dtWideString:
      case dtExtWideString: {
        auto* text = field->DataType() == dtWideString ? slot : static_cast<std::uint8_t*>(ReadHandle(slot));
        if (!text) break;
        const std::size_t maxUnits = field->DataType() == dtWideString ? SlotChars(field->Size(), 2) : SIZE_MAX / 2;
        size = static_cast<std::int64_t>(2 * WideLength(text, maxUnits));
        if (size == 0) break;
        const std::int64_t before = size;
        result = decrypt(text, dtWideString, size);
        size = std::clamp<std::int64_t>(size, 0, before) & ~std::int64_t(1);
        text[size] = text[size + 1] = 0;
        break;
      }
      case dtBytes:
        size = field->Length();
        if (size > 0) result = decrypt(slot, dtBytes, size);
        break;
      case dtVarBytes:
      case dtExtVarBytes: {
        auto* p = field->DataType() == dtVarBytes ? slot : static_cast<std::uint8_t*>(ReadHandle(slot));
        if (!p) break;
        size = ReadLength(p);
        if (size == 0) break;
        const std::int64_t before = size;
        result = decrypt(p + 2, dtBytes, size);
        size = std::clamp<std::int64_t>(size, 0, before);
        WriteLength(p, size);
        break;
      }
      case dtBlob:
        if (TBlob* blob = GetObject(fieldNo, rec)) {
          size = blob->Size();
          if (size == 0) break;
          result = decrypt(blob, dtBlob, size);
          if (size == 0) blob->Clear();
        }
        break;
      case dtMemo:
      case dtWideMemo:
        if (TBlob* blob = GetObject(fieldNo, rec)) {
          if (blob->IsUnicode()) {
            std::u16string text = blob->AsWideString();
            size = static_cast<std::int64_t>(2 * text.size());
            if (size == 0) break;
            text.push_back(0);
            const std::int64_t before = size;
            result = decrypt(text.data(), dtWideString, size);
            text.resize(static_cast<std::size_t>(std::clamp<std::int64_t>(size, 0, before) / 2));
            blob->SetAsWideString(text);
          } else {
            std::string text = blob->AsAnsiString();
            size = static_cast<std::int64_t>(text.size());
            if (size == 0) break;
            const std::int64_t before = size;
            result = decrypt(text.data(), dtString, size);
            text.resize(static_cast<std::size_t>(std::clamp<std::int64_t>(size, 0, before)));
            blob->SetAsAnsiString(text);
          }
          blob->Commit();
        }
        break;
      default:
        throw Exception(Format("Data type cannot be encrypted: %s", {std::to_string(field->DataType())}));
    }
    if (size < 0) size = 0;
    if (result || size != 0) {
      SetEncryptBit(fieldNo, rec, result);
    } else {
      // A value the decryptor refused (a bad hash): no value at all.
      SetNullIndicator(fieldNo, rec, true);
      SetEncryptBit(fieldNo, rec, false);
    }
  }
}

void TKxRecordSet::ReleaseFetchedRows() {
  const bool bof = FBOF, eof = FEOF;
  ReleaseAll();
  FRecordCount = 0;
  FRecordNoOffset = 0;
  FBOF = bof;
  FEOF = eof;
  FRowsReleased = true;
}

bool TKxRecordSet::FetchForWalk(bool fetchBack, TItemHeader*& item) {
  TItemHeader* edge = fetchBack ? FFirstItem : FLastItem;
  FRowsReleased = false;
  if (!Fetch(fetchBack)) return false;
  // Rows released by the fetch took the edge item with them: start again
  // at the new end.
  if (FRowsReleased || !edge)
    item = fetchBack ? FLastItem : FFirstItem;
  else
    item = fetchBack ? edge->Prev : edge->Next;
  return true;
}

void TKxRecordSet::SortItems() {
  if (IndexFields().Count() > 0 && Active() && !FNoData && GetCommand().GetCursorState() != csFetched) FetchAll();
  TMemData::SortItems();
}

void TKxRecordSet::SetSortDefaults(TSortColumn& column) {
  TMemData::SetSortDefaults(column);
  if (TKxConnection* c = GetCommand().Connection()) column.SortType = c->DefaultSortType();
}

bool TKxRecordSet::NeedConvertEOL() {
  TKxConnection* c = GetCommand().Connection();
  return c && c->ConvertEOL();
}

// ---- TKxRecordSet: fields, mapping and encryption ----------------------------------------------

const TKxMapRule* TKxRecordSet::GetMapRule(const TKxFieldDesc& field) {
  TKxConnection* c = GetCommand().Connection();
  return FindMapRule(&DataTypeMap(), c ? &c->DataTypeMap() : nullptr, field.Name(), field.DBType(),
                     field.DBLength(), field.DBScale());
}

const TOnDemandConverter* TKxRecordSet::GetMapOnDemandConverter(const TKxFieldDesc& field,
                                                                const TKxMapRule*& mapRule) {
  mapRule = GetMapRule(field);
  return FindMapOnDemandConverter(mapRule, field.DataType(), field.DBLength(), field.DBScale());
}

void TKxRecordSet::InitFields() {
  TMemData::InitFields();
  if (TKxConnection* c = GetCommand().Connection())
    FTablesInfo.SetCaseSensitive(c->GetSQLInfo().TableNamesCaseSensitive());
  if (!DataTypeMap().Enabled()) return;
  for (int i = 0; i < FieldCount(); ++i) {
    auto* field = dynamic_cast<TKxFieldDesc*>(Fields()[i]);
    if (!field || field->HasParent()) continue;
    field->SetMapRule(nullptr);
    field->SetOnDemandConverter(nullptr);
    field->SetMapLength(-1);
    field->SetMapScale(-1);
    const TKxMapRule* rule = nullptr;
    const TOnDemandConverter* converter = GetMapOnDemandConverter(*field, rule);
    if (!rule || IsEqualDataTypes(field->DataType(), field->Length(), field->Scale(), *rule)) continue;
    field->SetMapRule(rule);
    if (!converter) continue;  // reported by the data-set layer
    field->SetOnDemandConverter(converter);
    if (rule->FieldLength() >= 0)
      field->SetMapLength(rule->FieldLength());
    else if (converter->CalcLength())
      field->SetMapLength(converter->CalcLength()(field->Length()));
    else
      field->SetMapLength(IsSizedFieldType(rule->DataType()) ? 20 : field->Length());
    if (rule->FieldScale() >= 0)
      field->SetMapScale(rule->FieldScale());
    else if (converter->CalcScale())
      field->SetMapScale(converter->CalcScale()(field->Scale()));
    else
      field->SetMapScale(field->Scale());
  }
}

void TKxRecordSet::GetFieldData(const TFieldDesc& field, const void* recBuf, void* dest, bool needConvert) {
  auto* kx = dynamic_cast<const TKxFieldDesc*>(&field);
  if (!needConvert || !kx || !kx->OnDemandConverter()) {
    TMemData::GetFieldData(field, recBuf, dest, needConvert);
    return;
  }
  GetMappedFieldData(kx->Mapping(), &StringHeap(), field.DataType(), field.Length(), field.Scale(),
                     Slot(recBuf, field), dest, field.Name());
}

void TKxRecordSet::PutFieldData(const TFieldDesc& field, void* recBuf, const void* source, std::int64_t length,
                                bool isDatabaseValue) {
  const bool presented = FPutConverted || (!isDatabaseValue && !FPutStoredForm);
  auto* kx = presented ? dynamic_cast<const TKxFieldDesc*>(&field) : nullptr;
  if (!kx || !kx->OnDemandConverter()) {
    TMemData::PutFieldData(field, recBuf, source, length, isDatabaseValue);
    return;
  }
  PutMappedFieldData(kx->Mapping(), &StringHeap(), field.DataType(), field.Length(), field.Scale(), source,
                     Slot(recBuf, field), field.Name());
}

void TKxRecordSet::PutMappedField(int fieldNo, void* recBuf, const void* source) {
  FPutConverted = true;
  struct TReset {
    bool& Flag;
    ~TReset() { Flag = false; }
  } reset{FPutConverted};
  PutField(fieldNo, recBuf, source, false);
}

void TKxRecordSet::PutFieldAsVariant(int fieldNo, void* recBuf, const Variant& value, bool isDatabaseValue) {
  const bool was = FPutStoredForm;
  FPutStoredForm = true;
  struct TRestore {
    bool& Flag;
    bool Value;
    ~TRestore() { Flag = Value; }
  } restore{FPutStoredForm, was};
  TMemData::PutFieldAsVariant(fieldNo, recBuf, value, isDatabaseValue);
}

bool TKxRecordSet::IsEncryptableDataType(std::uint16_t dataType) {
  switch (dataType) {
    case dtString:
    case dtBlob:
    case dtMemo:
    case dtExtString:
    case dtVarBytes:
    case dtExtVarBytes:
    case dtWideString:
    case dtExtWideString:
    case dtWideMemo:
      return true;
    default:
      return false;
  }
}

bool TKxRecordSet::FieldIsEncrypted(const std::string& name) {
  if (FEncryptedFields.empty()) return false;
  TStringList names;
  TSQLInfo& info = GetCommand().GetSQLInfo();
  info.NamesToList(FEncryptedFields, names);
  for (int i = 0; i < names.Count(); ++i)
    if (SameFieldName(info.UnQuote(names[i]), name)) return true;
  return false;
}

void TKxRecordSet::InitEncryption() {
  std::vector<std::string> names;
  if (FEncryptor && !FEncryptedFields.empty()) {
    TStringList list;
    TSQLInfo& info = GetCommand().GetSQLInfo();
    info.NamesToList(FEncryptedFields, list);
    for (int i = 0; i < list.Count(); ++i) names.push_back(info.UnQuote(list[i]));
  }
  auto listed = [&](const std::string& name) {
    return !name.empty() &&
           std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameFieldName(n, name); });
  };
  int k = 0;
  for (int i = 0; i < FieldCount(); ++i) {
    auto* field = dynamic_cast<TKxFieldDesc*>(Fields()[i]);
    if (!field) continue;
    field->SetEncryptor(nullptr);
    field->SetDecryptor(nullptr);
    field->SetEncryptState(-1);
    if (!listed(field->Name()) && !listed(field->ActualName())) continue;
    if (field->FieldDescKind() == fdkCalculated || field->HasParent() || !IsEncryptableDataType(field->DataType()))
      throw Exception(Format("Data type cannot be encrypted: %s", {std::to_string(field->DataType())}));
    field->SetEncryptor(FEncryptor.Encrypt);
    field->SetDecryptor(FEncryptor.Decrypt);
    field->SetEncryptState((k / 8) * 256 + (1 << (k % 8)));
    ++k;
  }
}

int TKxRecordSet::GetEncryptStateSize() {
  int count = 0;
  for (int i = 0; i < FieldCount(); ++i) {
    auto* field = dynamic_cast<TKxFieldDesc*>(Fields()[i]);
    if (field && field->Decryptor()) ++count;
  }
  return (count + 7) / 8;
}

int TKxRecordSet::GetEncryptState(int fieldNo) {
  if (fieldNo < 1 || fieldNo > FieldCount()) return -1;
  auto* field = dynamic_cast<TKxFieldDesc*>(Fields()[fieldNo - 1]);
  return field ? field->EncryptState() : -1;
}

}  // namespace lumo
