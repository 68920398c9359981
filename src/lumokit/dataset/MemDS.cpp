#include <lumokit/dataset/MemDS.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include <lumokit/core/Bcd.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/Streams.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/dataset/MemDSBlobStream.h>
#include <lumokit/dataset/MemDSXml.h>

namespace lumo {

bool SendDataSetChangeEventAfterOpen = true;
bool DoNotRaiseExcetionOnUaFail = false;
bool DefaultExpressionOldBehavior = false;
bool LocateExOldBehavior = false;
bool RefreshParamsOnInsert = false;

namespace {

constexpr std::size_t AlignUp(std::size_t value, std::size_t alignment) noexcept {
  return (value + alignment - 1) / alignment * alignment;
}

bool IsEditState(TDataSetState s) noexcept { return s == dsEdit || s == dsInsert; }

TUpdateStatus StatusOf(TItemStatus status) noexcept {
  switch (status) {
    case isUpdated:
      return usModified;
    case isAppended:
      return usInserted;
    case isDeleted:
      return usDeleted;
    default:
      return usUnmodified;
  }
}

TItemTypes ItemTypesOf(TUpdateRecordTypes types) noexcept {
  TItemTypes items;
  if (types.Contains(rtUnmodified)) items.Include(isUnmodified);
  if (types.Contains(rtModified)) items.Include(isUpdated);
  if (types.Contains(rtInserted)) items.Include(isAppended);
  if (types.Contains(rtDeleted)) items.Include(isDeleted);
  return items;
}

TUpdateKind KindOf(TUpdateRecKind kind) noexcept {
  switch (kind) {
    case ukInsert:
      return TUpdateKind::ukInsert;
    case ukDelete:
      return TUpdateKind::ukDelete;
    default:
      return TUpdateKind::ukModify;
  }
}

bool IsObjectType(std::uint16_t dataType) noexcept {
  return dataType == dtObject || dataType == dtReference || dataType == dtArray || dataType == dtTable ||
         dataType == dtCursor;
}

bool IsStringFieldType(TFieldType t) noexcept {
  return t == ftString || t == ftFixedChar || t == ftWideString || t == ftFixedWideChar || t == ftGuid ||
         t == ftBytes || t == ftVarBytes;
}

// 10^digits - 1, saturated at the largest 64-bit value.
std::int64_t NinesOf(int digits) noexcept {
  if (digits >= 19) return std::numeric_limits<std::int64_t>::max();
  std::int64_t v = 1;
  for (int i = 0; i < digits; ++i) v *= 10;
  return v - 1;
}

}  // namespace

// ---- TFieldTypeMap ---------------------------------------------------------------------

TFieldType TFieldTypeMap::GetFieldType(std::uint16_t dataType) const {
  switch (dataType) {
    case dtUnknown:
      return ftUnknown;
    case dtString:
    case dtExtString:
      return ftString;
    case dtInt8:
      return ftShortint;
    case dtInt16:
      return ftSmallint;
    case dtInt32:
      return ftInteger;
    case dtUInt8:
      return ftByte;
    case dtUInt16:
      return ftWord;
    case dtUInt32:
      return ftLongWord;
    case dtInt64:
      return ftLargeint;
    case dtFloat:
      return ftFloat;
    case dtSingle:
      return ftSingle;
    case dtCurrency:
      return ftCurrency;
    case dtBCD:
      return ftBCD;
    case dtFMTBCD:
      return ftFMTBcd;
    case dtBoolean:
      return ftBoolean;
    case dtDate:
      return ftDate;
    case dtTime:
      return ftTime;
    case dtDateTime:
      return ftDateTime;
    case dtSQLTimeStamp:
      return ftTimeStamp;
    case dtBlob:
      return ftBlob;
    case dtMemo:
      return ftMemo;
    case dtWideMemo:
      return ftWideMemo;
    case dtBytes:
      return ftBytes;
    case dtVarBytes:
    case dtExtVarBytes:
      return ftVarBytes;
    case dtWideString:
    case dtExtWideString:
      return ftWideString;
    case dtObject:
      return ftADT;
    case dtReference:
      return ftReference;
    case dtArray:
      return ftArray;
    case dtTable:
      return ftDataSet;
    case dtVariant:
      return ftVariant;
    case dtGuid:
      return ftGuid;
    case dtCursor:
      return ftCursor;
    case dtUInt64:
      // No integer field holds values above 2^63 - 1: a decimal field of
      // 20 digits shows every value exactly.
      return ftFMTBcd;
    default:
      DatabaseError("Unknown data type");
  }
}

std::uint16_t TFieldTypeMap::GetDataType(TFieldType fieldType) const {
  switch (fieldType) {
    case ftString:
    case ftFixedChar:
      return dtString;
    case ftShortint:
      return dtInt8;
    case ftSmallint:
      return dtInt16;
    case ftInteger:
    case ftAutoInc:
      return dtInt32;
    case ftByte:
      return dtUInt8;
    case ftWord:
      return dtUInt16;
    case ftLongWord:
      return dtUInt32;
    case ftLargeint:
      return dtInt64;
    case ftFloat:
    case ftExtended:
      return dtFloat;
    case ftSingle:
      return dtSingle;
    case ftCurrency:
      return dtCurrency;
    case ftBCD:
      return dtBCD;
    case ftFMTBcd:
      return dtFMTBCD;
    case ftBoolean:
      return dtBoolean;
    case ftDate:
      return dtDate;
    case ftTime:
      return dtTime;
    case ftDateTime:
      return dtDateTime;
    case ftTimeStamp:
      return dtSQLTimeStamp;
    case ftBlob:
    case ftGraphic:
      return dtBlob;
    case ftMemo:
    case ftFmtMemo:
      return dtMemo;
    case ftWideMemo:
      return dtWideMemo;
    case ftBytes:
      return dtBytes;
    case ftVarBytes:
      return dtVarBytes;
    case ftWideString:
    case ftFixedWideChar:
      return dtWideString;
    case ftADT:
      return dtObject;
    case ftReference:
      return dtReference;
    case ftArray:
      return dtArray;
    case ftDataSet:
      return dtTable;
    case ftVariant:
      return dtVariant;
    case ftGuid:
      return dtGuid;
    case ftCursor:
      return dtCursor;
    default:
      return dtUnknown;
  }
}

const TFieldTypeMap& TFieldTypeMap::Default() {
  static const TFieldTypeMap map;
  return map;
}

// ---- TCompareKey ---------------------------------------------------------------------------

const void* TCompareKey::Ptr() const noexcept {
  switch (Type) {
    case dtString:
      return Text.c_str();
    case dtWideString:
      return Wide.c_str();
    case dtVariant:
      return &Value;
    default:
      return Bytes.data();
  }
}

// ---- TDataSetUpdater -------------------------------------------------------------------------

TDataSetUpdater::TDataSetUpdater(TDataSetService& owner) : FDataSet(&owner.DataSet()), FDataSetService(&owner) {}

TDataSetUpdater::~TDataSetUpdater() = default;

void TDataSetUpdater::DoPerformAppend() {
  TMemDataSet& ds = *FDataSet;
  if (ds.FLocalUpdate) return;
  TMemDataSet::TModifiedGuard guard(ds);
  if (ds.FInDeferredPost)
    PerformUpdate();
  else
    PerformAppend();
}

void TDataSetUpdater::DoPerformDelete() {
  TMemDataSet& ds = *FDataSet;
  if (ds.FLocalUpdate) return;
  TMemDataSet::TModifiedGuard guard(ds);
  PerformDelete();
}

void TDataSetUpdater::DoPerformUpdate() {
  TMemDataSet& ds = *FDataSet;
  if (ds.FLocalUpdate) return;
  TMemDataSet::TModifiedGuard guard(ds);
  PerformUpdate();
}

void TDataSetUpdater::DoCacheChanged() { CacheChanged(); }
void TDataSetUpdater::DoCacheApplied() { CacheApplied(); }
void TDataSetUpdater::DoCacheCanceled() { CacheCanceled(); }

void TDataSetUpdater::DoApplyRecord(TUpdateRecKind kind, TUpdateRecAction& action, bool lastItem) {
  TMemDataSet& ds = *FDataSet;
  TMemDataSet::TModifiedGuard guard(ds);
  const TUpdateKind updateKind = KindOf(kind);
  try {
    if (ds.OnUpdateRecord) {
      TUpdateAction ua = uaFail;
      ds.OnUpdateRecord(ds, updateKind, ua);
      if (ua == uaFail && !DoNotRaiseExcetionOnUaFail) DatabaseError("Update failed");
      if (ua == uaAbort) Abort();
      if (ua != uaDefault) {
        action = static_cast<TUpdateRecAction>(ua);
        return;
      }
    }
    switch (kind) {
      case ukUpdate:
        PerformUpdate();
        break;
      case ukInsert:
        PerformAppend();
        break;
      case ukDelete:
        PerformDelete();
        break;
    }
    if (BatchUpdate()) {
      if (lastItem || CanFlushBatch()) {
        FlushBatch();
      } else {
        action = urSuspended;
        return;
      }
    }
    action = urApplied;
  } catch (EDatabaseError& error) {
    if (!ds.OnUpdateError) throw;
    TUpdateAction ua = uaFail;
    ds.OnUpdateError(ds, error, updateKind, ua);
    if (ua == uaFail || ua == uaDefault) throw;
    if (ua == uaAbort) Abort();
    action = static_cast<TUpdateRecAction>(ua);
  }
}

// ---- TDataSetService -----------------------------------------------------------------------

TDataSetService::TDataSetService(TMemDataSet& owner) : FDataSet(&owner) {}

TDataSetService::~TDataSetService() = default;

std::unique_ptr<TDataSetUpdater> TDataSetService::CreateDataSetUpdater() {
  return std::make_unique<TDataSetUpdater>(*this);
}

void TDataSetService::SetDataSetUpdater(std::unique_ptr<TDataSetUpdater> value) { FUpdater = std::move(value); }

TDataSetUpdater& TDataSetService::Updater() {
  if (!FUpdater) SetDataSetUpdater(CreateDataSetUpdater());
  return *FUpdater;
}

void TDataSetService::SetNumberRange(TFieldDef& fieldDef) {
  TField* field = FDataSet->FindField(fieldDef.Name());
  if (!field) return;
  const int length = fieldDef.Precision();
  switch (fieldDef.DataType()) {
    case ftSmallint:
    case ftInteger:
      if (auto* f = dynamic_cast<TIntegerField*>(field); f && length > 0) {
        // The setters clamp to what the type holds.
        const std::int64_t max = NinesOf(length);
        f->SetMaxValue(max);
        f->SetMinValue(-max);
      }
      break;
    case ftLargeint:
      if (auto* f = dynamic_cast<TLargeintField*>(field); f && length > 0) {
        const std::int64_t max = NinesOf(length);
        f->SetMaxValue(max);
        f->SetMinValue(-max);
      }
      break;
    case ftFloat:
      if (auto* f = dynamic_cast<TFloatField*>(field); f && length >= 1 && length <= 15) {
        TData& data = FDataSet->Data();
        const int no = fieldDef.FieldNo();
        const TFieldDesc* desc = no >= 1 && no <= data.FieldCount() ? data.Fields()[no - 1] : nullptr;
        const int scale = desc ? desc->Scale() : 0;
        f->SetPrecision(length);
        const double max = std::pow(10.0, length - scale) - std::pow(10.0, -scale);
        f->SetMaxValue(max);
        f->SetMinValue(-max);
      }
      break;
    default:
      break;
  }
}

std::unique_ptr<TField> TDataSetService::GetFieldClass(TFieldType fieldType, std::uint16_t) {
  return DefaultFieldClass(fieldType);
}

void TDataSetService::WriteFieldXMLDataType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  WriteXMLDataType(*FDataSet, field, desc, writer);
}

void TDataSetService::WriteFieldXMLAttributeType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  WriteXMLAttributeType(field, desc, writer);
}

std::string TDataSetService::GetFieldXMLValue(TField& field, TFieldDesc* desc) { return XMLFieldValue(field, desc); }

void TDataSetService::SaveToXML(TStream& stream) { WriteRowsetXML(*FDataSet, *this, stream); }

void TDataSetService::SetProp(int, const Variant&) { AssertionFailure(__FILE__, __LINE__); }

bool TDataSetService::GetProp(int, Variant&) { AssertionFailure(__FILE__, __LINE__); }

// ---- TDADetailDataLink --------------------------------------------------------------------------

void TDADetailDataLink::ActiveChanged() { FDataSet->MasterRecordChanged(nullptr); }

void TDADetailDataLink::CheckBrowseMode() {
  TDataSet* master = DataSet();
  if (!IsEditState(FDataSet->State())) return;
  if (master && master->State() == dsInsert) return;
  FDataSet->CheckBrowseMode();
}

void TDADetailDataLink::RecordChanged(TField* field) {
  if (!field) {
    FDataSet->MasterRecordChanged(nullptr);
    return;
  }
  if (IsEditState(FDataSet->State())) return;
  TDataSet* master = DataSet();
  if (master && master->State() == dsInsert && !RefreshParamsOnInsert) return;
  FDataSet->MasterRecordChanged(field);
}

TDataSet* TDADetailDataLink::GetDetailDataSet() { return FDataSet; }

// ---- TMemDataSet: construction and the store ------------------------------------------------------

// An owned record buffer of the data set's size whose references are
// released however the scope ends.
class TMemDataSet::TTempBuffer {
 public:
  explicit TTempBuffer(TMemDataSet& ds) : FDataSet(ds), FBuffer(ds.ScratchRowSize(), 0) {}
  ~TTempBuffer() { FDataSet.ReleaseBuffer(FBuffer.data()); }
  TRecordBuffer Get() noexcept { return FBuffer.data(); }

 private:
  TMemDataSet& FDataSet;
  std::vector<std::uint8_t> FBuffer;
};

std::size_t TMemDataSet::ScratchRowSize() const noexcept {
  // Before the layout is known (or when it is stale) a store row with its
  // calculated area still fits.
  const std::size_t row = FData ? static_cast<std::size_t>(FData->RecordSize() + FData->CalcRecordSize()) : 0;
  return std::max<std::size_t>({FRecBufSize, row, 1});
}

TMemDataSet::TMemDataSet() : FDataLink(std::make_unique<TDADetailDataLink>(*this)) {}

TMemDataSet::~TMemDataSet() {
  Destroying();
  try {
    Close();
  } catch (...) {
    // A failing close in a destructor has nobody to report to.
  }
  FDetailRefreshTimer.reset();
  FDataLink.reset();
  try {
    UnPrepare();
  } catch (...) {
  }
  FData.reset();
  FDataSetService.reset();
}

TData& TMemDataSet::Data() {
  CheckIRecordSet();
  return *FData;
}

void TMemDataSet::CheckIRecordSet() {
  if (!FData) CreateIRecordSet();
  if (!FData) AssertionFailure(__FILE__, __LINE__, "FIRecordSet must be setted to this time");
}

TMemData* TMemDataSet::MemData() noexcept { return FMemData; }

TMemData& TMemDataSet::CheckedMemData() {
  CheckIRecordSet();
  if (!FMemData) AssertionFailure(__FILE__, __LINE__, "FIRecordSet must be setted to this time");
  return *FMemData;
}

void TMemDataSet::CreateIRecordSet() { SetIRecordSet(std::make_unique<TMemData>()); }

void TMemDataSet::SetIRecordSet(std::unique_ptr<TData> data) {
  FData = std::move(data);
  FMemData = dynamic_cast<TMemData*>(FData.get());
  if (!FData) return;
  TData& d = *FData;
  d.SetCachedUpdates(FCachedUpdates);
  d.SetLocalUpdate(FLocalUpdate);
  d.SetSparseArrays(FSparseArrays);
  d.SetFilterItemTypes(ItemTypesOf(FUpdateRecordTypes));
  if (FMemData && !FIndexFieldNames.empty()) FMemData->SetIndexFieldNames(FIndexFieldNames);
  d.OnAppend = [this] { DataSetService().Updater().DoPerformAppend(); };
  d.OnDelete = [this] { DataSetService().Updater().DoPerformDelete(); };
  d.OnUpdate = [this] { DataSetService().Updater().DoPerformUpdate(); };
  d.OnApplyRecord = [this](TUpdateRecKind kind, TUpdateRecAction& action, bool lastItem) {
    DataSetService().Updater().DoApplyRecord(kind, action, lastItem);
  };
  d.OnCacheChanged = [this] { DataSetService().Updater().DoCacheChanged(); };
  d.OnCacheApplied = [this] { DataSetService().Updater().DoCacheApplied(); };
  d.OnCacheCanceled = [this] { DataSetService().Updater().DoCacheCanceled(); };
  if (FCreateCalcFieldDescs) {
    d.OnGetCachedFields = [this] { DoGetCachedFields(); };
    d.OnGetCachedBuffer = [this](void* buffer) { DoGetCachedBuffer(buffer); };
  } else {
    d.OnGetCachedFields = nullptr;
    d.OnGetCachedBuffer = nullptr;
  }
  InstallMasterDetailFilter();
}

std::unique_ptr<TDataSetService> TMemDataSet::GetDataSetServiceClass() {
  return std::make_unique<TDataSetService>(*this);
}

void TMemDataSet::SetDataSetService(std::unique_ptr<TDataSetService> service) {
  FDataSetService = std::move(service);
}

void TMemDataSet::CheckDataSetService() {
  if (!FDataSetService) SetDataSetService(GetDataSetServiceClass());
}

TDataSetService& TMemDataSet::DataSetService() {
  if (!FDataSetService) CheckDataSetService();
  return *FDataSetService;
}

const TFieldTypeMap& TMemDataSet::GetFieldTypeMapClass() { return TFieldTypeMap::Default(); }

void TMemDataSet::DataReopen() {
  // A store filled by its owner has nothing to re-read: re-apply its filter
  // and order. A data set over a fetching store reopens it instead.
  TData& d = Data();
  d.FilterUpdated();
  if (FMemData && FMemData->IndexFields().Count() > 0) FMemData->SortItems();
}

// ---- preparation and field definitions ---------------------------------------------------------

bool TMemDataSet::Prepared() { return FData && FData->Prepared(); }

void TMemDataSet::SetPrepared(bool value) {
  if (value)
    Prepare();
  else
    UnPrepare();
}

void TMemDataSet::Prepare() {
  if (!FData || Prepared()) return;
  FData->Prepare();
  DataSetService().PreInitCursor();
  CreateFieldDefs();
}

void TMemDataSet::UnPrepare() {
  if (Active()) Close();
  if (FData) FData->UnPrepare();
  if (!HasState(csDestroying)) FieldDefs().SetUpdated(false);
}

void TMemDataSet::CheckPrepared() {
  if (!Prepared()) DatabaseError("DataSet is not prepared");
}

bool TMemDataSet::NeedCreateFieldDefs() { return !FieldDefs().Updated() || Data().FieldListDependsOnParams(); }

int TMemDataSet::GetFielDefSize(TFieldType fieldType, const TFieldDesc& desc) {
  switch (fieldType) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
      return std::max(desc.DataType() == dtExtString ? static_cast<int>(desc.Length()) : desc.Size() - 1, 1);
    case ftWideString:
    case ftFixedWideChar:
      return std::max(desc.DataType() == dtExtWideString ? static_cast<int>(desc.Length()) : desc.Size() / 2 - 1, 1);
    case ftBytes:
    case ftVarBytes:
      return desc.Length();
    default:
      return 0;
  }
}

TFieldType TMemDataSet::GetFieldType(std::uint16_t dataType) { return GetFieldTypeMapClass().GetFieldType(dataType); }

TFieldType TMemDataSet::GetFieldType(const TFieldDesc& desc, int& size, int& length, int& scale) {
  const TFieldType type = GetFieldType(desc.DataType());
  size = GetFielDefSize(type, desc);
  length = desc.Length();
  scale = desc.Scale();
  return type;
}

std::string TMemDataSet::GetObjectFieldDefName(const TFieldDesc&, int, const std::string& name) { return name; }

void TMemDataSet::CreateFieldDefs() {
  if (!NeedCreateFieldDefs()) return;
  TData& d = Data();
  TFieldDefs& defs = FieldDefs();
  defs.BeginUpdate();
  struct TEnd {
    TFieldDefs& Defs;
    ~TEnd() { Defs.EndUpdate(); }
  } end{defs};
  defs.Clear();
  for (int i = 0; i < d.FieldCount(); ++i) {
    const TFieldDesc* desc = d.Fields()[i];
    if (!desc || desc->HiddenObject() || desc->FieldDescKind() != fdkData) continue;
    if (desc->HasParent() && !desc->ParentField()->HiddenObject()) continue;
    int size = 0, length = 0, scale = 0;
    const TFieldType type = GetFieldType(*desc, size, length, scale);
    if (type == ftUnknown) DatabaseError("Data type is not supported");
    TFieldDef& def = defs.Add(desc->Name(), type, size, desc->Required() && FLocalConstraints, desc->FieldNo());
    TFieldAttributes attrs = def.Attributes();
    if (desc->ReadOnly()) attrs.Include(faReadonly);
    if (desc->Hidden()) attrs.Include(faHiddenCol);
    if (desc->Fixed()) attrs.Include(faFixed);
    def.SetAttributes(attrs);
    switch (type) {
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftFloat:
      case ftLargeint:
      case ftLongWord:
      case ftShortint:
      case ftByte:
      case ftSingle:
        def.SetPrecision(length);
        break;
      case ftBCD:
      case ftFMTBcd:
        def.SetPrecision(length);
        def.SetSize(scale);
        break;
      default:
        break;
    }
  }
  defs.SetUpdated(d.FieldCount() > 0);
}

void TMemDataSet::InternalInitFieldDefs() {
  TData& d = Data();
  if (!d.Active()) {
    std::vector<std::string> names;
    for (int i = 0; i < d.FieldCount(); ++i) names.push_back(d.Fields()[i] ? d.Fields()[i]->Name() : std::string());
    d.ExplicitInitFields();
    bool changed = names.size() != static_cast<std::size_t>(d.FieldCount());
    for (int i = 0; !changed && i < d.FieldCount(); ++i)
      changed = !d.Fields()[i] || d.Fields()[i]->Name() != names[static_cast<std::size_t>(i)];
    if (changed) FieldDefs().SetUpdated(false);
  }
  DataSetService().PreInitCursor();
  CreateFieldDefs();
}

std::unique_ptr<TField> TMemDataSet::GetFieldClass(TFieldType fieldType, std::uint16_t dataType) {
  return DataSetService().GetFieldClass(fieldType, dataType);
}

std::unique_ptr<TField> TMemDataSet::GetFieldClass(TFieldType type) {
  return GetFieldClass(type, GetFieldTypeMapClass().GetDataType(type));
}

// ---- calculated fields in the store ------------------------------------------------------------------

void TMemDataSet::DoGetCachedFields() {
  FCalcFieldsMapping.clear();
  TData& d = Data();
  for (const auto& f : Fields()) {
    if (f->FieldKind() != fkCalculated && f->FieldKind() != fkLookup) continue;
    std::unique_ptr<TFieldDesc> desc = d.GetFieldDescType();
    desc->SetName(f->FullName());
    desc->SetActualName(f->FullName());
    desc->SetFieldNo(static_cast<std::uint16_t>(d.FieldCount() + 1));
    desc->SetDataType(GetFieldTypeMapClass().GetDataType(f->DataType()));
    int size = f->DataSize();
    if (f->DataType() == ftDate || f->DataType() == ftTime)
      size = 8;  // the store's slot of micros
    else if (f->DataType() == ftWideString)
      size = 2 * f->Size() + 2;
    desc->SetSize(size);
    desc->SetLength(static_cast<std::uint16_t>(std::max(f->Size(), 0)));
    desc->SetFieldDescKind(FCacheCalcFields ? fdkCached : fdkCalculated);
    TFieldDesc* raw = desc.get();
    d.Fields().Add(std::move(desc));
    FCalcFieldsMapping.push_back({f.get(), raw});
  }
}

void TMemDataSet::DoGetCachedBuffer(void* buffer) {
  TData& d = Data();
  const std::size_t n = static_cast<std::size_t>(d.RecordSize() + d.CalcRecordSize());
  auto calculate = [&](TRecordBuffer row) {
    std::memcpy(row, buffer, static_cast<std::size_t>(d.RecordSize()));
    GetCalcFields(row);
    std::memcpy(buffer, row, n);
  };
  if (FCalcRowBufBusy) {
    // A calculation that needs another row calculated meanwhile.
    TTempBuffer temp(*this);
    calculate(temp.Get());
    return;
  }
  // Called for every row a filter or a sort looks at: one buffer, blanked
  // for each row, instead of a new one.
  FCalcRowBuf.assign(ScratchRowSize(), 0);
  FCalcRowBufBusy = true;
  struct TRelease {
    TMemDataSet& DS;
    ~TRelease() {
      DS.ReleaseBuffer(DS.FCalcRowBuf.data());
      DS.FCalcRowBufBusy = false;
    }
  } release{*this};
  calculate(FCalcRowBuf.data());
}

void TMemDataSet::RefreshCachedCalcFields() {
  TMemData& md = CheckedMemData();
  TTempBuffer temp(*this);
  md.SetToBegin();
  for (;;) {
    md.GetNextRecord(temp.Get());
    if (md.GetEOF()) break;
    GetCalcFields(temp.Get());
    md.PutRecord(temp.Get());
  }
  md.SetToBegin();
}

TFieldDesc* TMemDataSet::CalcFieldDesc(const TField& field) const {
  for (const TCalcMapping& m : FCalcFieldsMapping)
    if (m.Field == &field) return m.Desc;
  return nullptr;
}

// ---- opening and closing ---------------------------------------------------------------------------------

void TMemDataSet::SetBufferLayout() {
  TData& d = Data();
  std::size_t at = static_cast<std::size_t>(d.RecordSize());
  if (!FCacheCalcFields) at += static_cast<std::size_t>(d.CalcRecordSize());
  FFrameworkCalcOfs = static_cast<int>(at);
  at += static_cast<std::size_t>(CalcFieldsSize());
  at = AlignUp(at, alignof(TRecInfo));
  FRecInfoOfs = static_cast<int>(at);
  at += sizeof(TRecInfo);
  at = AlignUp(at, alignof(TRecBookmark));
  FBookmarkOfs = static_cast<int>(at);
  at += sizeof(TRecBookmark);
  FRecBufSize = at;
  SetBookmarkSize(static_cast<int>(sizeof(TRecBookmark)));
}

void TMemDataSet::InternalOpen() {
  TData& d = Data();
  d.Open();
  DataSetService().PreInitCursor();
  CreateFieldDefs();
  if (FieldCount() == 0) {
    CreateFields();
  } else {
    for (const auto& f : Fields()) {
      if (f->FieldKind() != fkData || !IsStringFieldType(f->DataType())) continue;
      if (TFieldDef* def = FieldDefs().Find(f->FieldName()); def && def->Size() != f->Size()) f->SetSize(def->Size());
    }
  }
  if (FNumberRange)
    for (const auto& def : FieldDefs()) DataSetService().SetNumberRange(*def);
  BindFields(true);
  // Calculated fields kept in the framework area hold plain values only.
  for (const auto& f : Fields()) {
    if (f->FieldKind() == fkData || CalcFieldDesc(*f)) continue;
    if (f->DataType() == ftVariant || f->IsBlob())
      DatabaseError(Format("Field '%s': data type is not supported", {f->DisplayName()}));
  }
  // The layout comes first: calculating the store's rows (for cached
  // calculated fields or an index on a calculated field) uses it.
  SetBufferLayout();
  SetFieldAccess();
  FNeedAddRef = d.HasComplexFields();
  FPlainWalk = FMemData && !FNeedAddRef && (FCacheCalcFields || !HasCalcFields());
  if (d.FieldCount() > 0 && d.Fields()[d.FieldCount() - 1] &&
      d.Fields()[d.FieldCount() - 1]->FieldDescKind() == fdkCached)
    RefreshCachedCalcFields();
  if (FMemData && FMemData->IndexFields().Count() > 0) FMemData->SortItems();
  bool refilter = false;
  if (Filtered()) {
    ActivateFilters();
    refilter = true;
  }
  if (UseLocalMasterDetailFilter() && MasterSource()->DataSet() && MasterSource()->DataSet()->Active()) {
    MDLinksRefreshed(nullptr);
    refilter = true;
  }
  if (refilter) d.FilterUpdated();
  d.SetToBegin();
}

void TMemDataSet::InternalClose() {
  FPlainWalk = false;
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  FCalcFieldsMapping.clear();
  FFieldAccess.clear();
  FLocalMDLinks.clear();
  FLocalMasterEmpty = false;
  if (FData) FData->Close();
  FieldDefs().SetUpdated(false);
}

bool TMemDataSet::IsCursorOpen() { return FData && FData->Active(); }

void TMemDataSet::OpenCursor(bool infoQuery) {
  TDataSet::OpenCursor(infoQuery);
  if (!infoQuery) FOldRecBuf.assign(std::max<std::size_t>(FRecBufSize, 1), 0);
}

void TMemDataSet::CloseCursor() {
  if (FDetailRefreshTimer) FDetailRefreshTimer->Stop();
  if (FData && ActiveBuffer()) {
    // An edit or insert in progress holds its own values.
    if (FInEditing)
      FData->CancelRecord(ActiveBuffer());
    else if (FInInserting)
      FData->FreeComplexFields(ActiveBuffer(), true);
    if (FInEditing || FInInserting) BlankRecord(ActiveBuffer());
  }
  FInEditing = FInInserting = false;
  EndDeferredPost();
  FOldRecBuf.clear();
  FLastParentPos.clear();
  TDataSet::CloseCursor();
}

void TMemDataSet::DoAfterOpen() {
  TDataSet::DoAfterOpen();
  if (SendDataSetChangeEventAfterOpen) DataEvent(deDataSetChange);
  const std::vector<TDataSet*> nested = NestedDataSets();
  for (TDataSet* ds : nested)
    if (ds->Active()) ds->DataEvent(deParentScroll);
}

// ---- record buffers ------------------------------------------------------------------------------------------

TRecInfo TMemDataSet::GetRecInfo(TRecordBuffer buffer) const noexcept {
  TRecInfo info;
  std::memcpy(&info, buffer + FRecInfoOfs, sizeof info);
  return info;
}

void TMemDataSet::SetRecInfo(TRecordBuffer buffer, const TRecInfo& info) const noexcept {
  std::memcpy(buffer + FRecInfoOfs, &info, sizeof info);
}

void TMemDataSet::AllocRecordBuffer(TRecordBuffer buffer) {
  // Window buffers hold live TRecInfo and TRecBookmark objects at their
  // aligned offsets, so the store writes the bookmark in place.
  new (buffer + FRecInfoOfs) TRecInfo{};
  new (buffer + FBookmarkOfs) TRecBookmark{};
}

void TMemDataSet::FreeRecordBuffer(TRecordBuffer buffer) noexcept { ReleaseBuffer(buffer); }

void TMemDataSet::BlankRecord(TRecordBuffer buffer) noexcept {
  if (!FData) return;
  std::memset(buffer, 0, static_cast<std::size_t>(FData->RecordSize()));
  const int indicators = std::min(FData->GetIndicatorSize(), FData->RecordSize() - FData->DataSize());
  if (indicators > 0) std::memset(buffer + FData->DataSize(), 1, static_cast<std::size_t>(indicators));
}

void TMemDataSet::ReleaseBuffer(TRecordBuffer buffer) noexcept {
  // Buffers hold references only while the open store has complex values.
  if (!FNeedAddRef || !buffer || !FData || FRecBufSize == 0) return;
  TRecInfo info = GetRecInfo(buffer);
  if (!info.RefComplexFields) return;
  try {
    FData->FreeComplexFields(buffer, true);
  } catch (...) {
    // Releasing references does not fail; nothing is left to undo.
  }
  BlankRecord(buffer);
  info.RefComplexFields = false;
  SetRecInfo(buffer, info);
}

void TMemDataSet::FreeRefBuffers() noexcept {
  if (FRecBufSize == 0) return;
  for (int i = 0; i <= BufferCount() && i < static_cast<int>(BufferedCount()) + 1; ++i) ReleaseBuffer(Buffer(i));
  for (int i = 0; i <= BufferCount(); ++i) ReleaseBuffer(Buffer(i));
  ReleaseBuffer(TempBuffer());
}

namespace {

// Copies a row image. Rows of up to 64 bytes (the common narrow row) are
// moved as two or four overlapping 16-byte pieces, without a call; the
// pieces never reach outside either range.
inline void CopyRow(std::uint8_t* to, const void* from, std::size_t size) noexcept {
  const auto* src = static_cast<const std::uint8_t*>(from);
  if (size < 16 || size > 64) {
    std::memcpy(to, src, size);
    return;
  }
  std::memcpy(to, src, 16);
  std::memcpy(to + size - 16, src + size - 16, 16);
  if (size > 32) {
    std::memcpy(to + 16, src + 16, 16);
    std::memcpy(to + size - 32, src + size - 32, 16);
  }
}

}  // namespace

TGetResult TMemDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool) {
  // A forward walk's step over plain rows of the memory store: the row, its
  // bookmark and its status from the store's inline step, then the record
  // info and the row image. Everything else takes the long way.
  if (mode == gmNext && FPlainWalk) {
    TRecBookmark& bookmark = *std::launder(reinterpret_cast<TRecBookmark*>(buffer + FBookmarkOfs));
    if (const TData::TStep step = FMemData->StepRecordNear(bookmark); step.Row) {
      TRecInfo& info = *std::launder(reinterpret_cast<TRecInfo*>(buffer + FRecInfoOfs));
      info.RecordNumber = bookmark.Order;
      info.UpdateStatus = FCachedUpdates ? StatusOf(step.Status) : usUnmodified;
      info.BookmarkFlag = bfCurrent;
      info.RefComplexFields = false;
      CopyRow(buffer, step.Row, static_cast<std::size_t>(FMemData->RecordSize()));
      return grOK;
    }
  }
  return StepToRecord(buffer, mode);
}

TGetResult TMemDataSet::StepToRecord(TRecordBuffer buffer, TGetMode mode) {
  if (mode == gmCurrent || FNeedAddRef || (!FCacheCalcFields && HasCalcFields())) return ReadRecord(buffer, mode);
  TRecBookmark& bookmark = *std::launder(reinterpret_cast<TRecBookmark*>(buffer + FBookmarkOfs));
  const TData::TStep step = FData->StepRecord(mode == gmPrior, bookmark);
  if (!step.Row) return mode == gmPrior ? grBOF : grEOF;
  TRecInfo& info = *std::launder(reinterpret_cast<TRecInfo*>(buffer + FRecInfoOfs));
  info.RecordNumber = bookmark.Order;
  info.UpdateStatus = FCachedUpdates ? StatusOf(step.Status) : usUnmodified;
  info.BookmarkFlag = bfCurrent;
  info.RefComplexFields = false;
  std::memcpy(buffer, step.Row, static_cast<std::size_t>(FData->RecordSize()));
  return grOK;
}

TGetResult TMemDataSet::ReadRecord(TRecordBuffer buffer, TGetMode mode) {
  TRecBookmark& bookmark = *std::launder(reinterpret_cast<TRecBookmark*>(buffer + FBookmarkOfs));
  TItemStatus status = isUnmodified;
  TData& d = *FData;
  if (FNeedAddRef) ReleaseBuffer(buffer);
  if (mode == gmCurrent) {
    if (d.GetBOF()) return grBOF;
    d.GetRecord(buffer);
    if (d.GetEOF()) return grEOF;
    d.GetBookmark(bookmark);
    status = d.GetUpdateStatus();
  } else if (const TData::TStep step = d.StepRecord(mode == gmPrior, bookmark); step.Row) {
    // A walk's step finds the row, its bookmark and its status at once.
    std::memcpy(buffer, step.Row, static_cast<std::size_t>(d.RecordSize()));
    status = step.Status;
  } else {
    return mode == gmPrior ? grBOF : grEOF;
  }
  TRecInfo& info = *std::launder(reinterpret_cast<TRecInfo*>(buffer + FRecInfoOfs));
  // The bookmark carries the record number of the row just read.
  info.RecordNumber = bookmark.Order;
  // Outside cached updates every row is unmodified.
  info.UpdateStatus = FCachedUpdates ? StatusOf(status) : usUnmodified;
  info.BookmarkFlag = bfCurrent;
  info.RefComplexFields = false;
  if (FNeedAddRef) {
    d.AddRefComplexFields(buffer);
    info.RefComplexFields = true;
  }
  if (!FCacheCalcFields && HasCalcFields()) GetCalcFields(buffer);
  return grOK;
}

void TMemDataSet::InternalFirst() { Data().SetToBegin(); }

void TMemDataSet::InternalLast() { Data().SetToEnd(); }

void TMemDataSet::InternalGotoBookmark(const std::uint8_t* bookmark) {
  TRecBookmark b;
  std::memcpy(&b, bookmark, sizeof b);
  if (!Data().SetToBookmark(b)) DatabaseError("Record not found");
}

void TMemDataSet::InternalSetToRecord(TRecordBuffer buffer) {
  TRecBookmark b;
  std::memcpy(&b, buffer + FBookmarkOfs, sizeof b);
  const bool found = Data().SetToBookmark(b);
  // Acting on another row than the buffer's would change the wrong one.
  if (!found && GetRecInfo(buffer).BookmarkFlag == bfCurrent) DatabaseError("Record not found");
  if (found && Data().NeedGetRecordAfterGotoBookmark()) {
    ReleaseBuffer(buffer);
    Data().GetRecord(buffer);
  }
}

void TMemDataSet::GetBookmarkData(TRecordBuffer buffer, std::uint8_t* data) {
  std::memcpy(data, buffer + FBookmarkOfs, sizeof(TRecBookmark));
}

void TMemDataSet::SetBookmarkData(TRecordBuffer buffer, const std::uint8_t* data) {
  std::memcpy(buffer + FBookmarkOfs, data, sizeof(TRecBookmark));
}

TBookmarkFlag TMemDataSet::GetBookmarkFlag(TRecordBuffer buffer) { return GetRecInfo(buffer).BookmarkFlag; }

void TMemDataSet::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag value) {
  TRecInfo info = GetRecInfo(buffer);
  info.BookmarkFlag = value;
  SetRecInfo(buffer, info);
}

bool TMemDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (!FData || bookmark.size() != sizeof(TRecBookmark)) return false;
  TRecBookmark b;
  std::memcpy(&b, bookmark.data(), sizeof b);
  return FData->BookmarkValid(&b);
}

int TMemDataSet::CompareBookmarks(const TBookmark& b1, const TBookmark& b2) {
  if (!FData) return 0;
  TRecBookmark r1, r2;
  const bool has1 = b1.size() == sizeof(TRecBookmark), has2 = b2.size() == sizeof(TRecBookmark);
  if (has1) std::memcpy(&r1, b1.data(), sizeof r1);
  if (has2) std::memcpy(&r2, b2.data(), sizeof r2);
  return FData->CompareBookmarks(has1 ? &r1 : nullptr, has2 ? &r2 : nullptr);
}

void TMemDataSet::InitRecord(TRecordBuffer buffer) {
  TDataSet::InitRecord(buffer);
  TRecInfo info = GetRecInfo(buffer);
  info.RecordNumber = -1;
  info.UpdateStatus = usInserted;
  info.BookmarkFlag = bfInserted;
  SetRecInfo(buffer, info);
}

void TMemDataSet::InternalInitRecord(TRecordBuffer buffer) {
  ReleaseBuffer(buffer);
  Data().InitRecord(buffer);
}

void TMemDataSet::ClearCalcFields(TRecordBuffer buffer) {
  for (const TCalcMapping& m : FCalcFieldsMapping) Data().SetNull(m.Desc->FieldNo(), buffer, true);
  if (CalcFieldsSize() > 0 && FRecBufSize > 0)
    std::memset(CalcArea(buffer), 0, static_cast<std::size_t>(CalcFieldsSize()));
}

// ---- field values -------------------------------------------------------------------------------------------------

TRecordBuffer TMemDataSet::GetActiveRecBuf() {
  switch (State()) {
    case dsBrowse:
      if (FInCacheProcessing) return FNewCacheRecBuf.data();
      return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
    case dsInternalCalc:
      return ActiveBuffer();
    case dsCalcFields:
      return CalcBuffer();
    case dsFilter:
      return FFilterBuffer;
    case dsNewValue:
      return FInCacheProcessing ? FNewCacheRecBuf.data() : ActiveBuffer();
    case dsCurValue:
      return IsEmpty() ? nullptr : ActiveBuffer();
    case dsOldValue:
      if (FHasOldDeferredPostBuf) return FOldDeferredPostBuf.data();
      if (FInCacheProcessing) return FOldCacheRecBuf.data();
      if (FInInserting || IsEmpty() || FOldRecBuf.empty()) return nullptr;
      UpdateCursorPos();
      Data().GetOldRecord(FOldRecBuf.data());
      return FOldRecBuf.data();
    case dsBlockRead:
      return IsEmpty() ? nullptr : ActiveBuffer();
    default:
      return nullptr;
  }
}

TFieldDesc* TMemDataSet::GetFieldDesc(const TField& field) {
  if (field.DataSet() != this) DatabaseError("Wrong DataSet");
  if (!FData) return nullptr;
  if (field.FieldNo() >= 1) {
    if (field.FieldNo() > FData->FieldCount()) return nullptr;
    return FData->Fields()[field.FieldNo() - 1];
  }
  return CalcFieldDesc(field);
}

namespace {

// Copies a value kept outside the row into the field's buffer, at most
// the field's size.
void CopyBounded(const Variant& value, const TField& field, void* buffer) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  switch (field.DataType()) {
    case ftWideString:
    case ftFixedWideChar: {
      const std::u16string text = VarToWideStr(value);
      const std::size_t n = FitWideUnits(text, static_cast<std::size_t>(std::max(field.Size(), 0)));
      std::memcpy(out, text.data(), 2 * n);
      std::memset(out + 2 * n, 0, 2);
      break;
    }
    case ftVarBytes:
    case ftBytes: {
      const std::vector<std::uint8_t> bytes = value.AsBytes();
      const std::size_t n = std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(std::max(field.Size(), 0)));
      if (field.DataType() == ftVarBytes) {
        const auto len = static_cast<std::uint16_t>(n);
        std::memcpy(out, &len, 2);
        std::memcpy(out + 2, bytes.data(), n);
      } else {
        std::memcpy(out, bytes.data(), n);
        std::memset(out + n, 0, static_cast<std::size_t>(field.Size()) - n);
      }
      break;
    }
    default: {
      const std::string text = VarToStr(value);
      const std::size_t n = FitTextBytes(text, static_cast<std::size_t>(std::max(field.Size(), 0)));
      std::memcpy(out, text.data(), n);
      out[n] = 0;
      break;
    }
  }
}

}  // namespace

void TMemDataSet::SetFieldAccess() {
  TData& d = *FData;
  FFieldAccess.assign(static_cast<std::size_t>(d.FieldCount()), TFieldAccess{});
  for (int i = 0; i < d.FieldCount(); ++i) {
    const TFieldDesc* desc = d.Fields()[i];
    if (!desc) continue;
    TFieldAccess& a = FFieldAccess[static_cast<std::size_t>(i)];
    const std::uint16_t type = desc->DataType();
    a.Size = desc->Size();
    if (type == dtExtString || type == dtExtWideString || type == dtExtVarBytes)
      a.Kind = TFieldAccess::akOutside;
    else if (d.IsBlobFieldType(type) || IsObjectType(type))
      a.Kind = TFieldAccess::akHandle;
    else if (type == dtString || type == dtGuid || type == dtWideString || type == dtBytes || type == dtVarBytes ||
             type == dtVariant)
      a.Kind = TFieldAccess::akBounded;
    else if (type == dtUInt64)
      a.Kind = TFieldAccess::akUnsigned64;
    else
      a.Kind = TFieldAccess::akFixed;
  }
}

bool TMemDataSet::ReadStoreField(int fieldNo, const TField& field, TRecordBuffer record, void* buffer) {
  TData& d = *FData;
  if (!buffer) return !d.GetNull(fieldNo, record);
  const std::size_t index = static_cast<std::size_t>(fieldNo - 1);
  if (index >= FFieldAccess.size()) SetFieldAccess();
  const TFieldAccess& access = FFieldAccess.at(index);
  bool blank = false;
  switch (access.Kind) {
    case TFieldAccess::akOutside:
      // Kept outside the row and of any length: copied up to the field's size.
      if (d.GetNull(fieldNo, record)) return false;
      CopyBounded(d.GetFieldAsVariant(fieldNo, record), field, buffer);
      return true;
    case TFieldAccess::akHandle:
      // Only a handle-sized buffer can take the handle.
      if (field.DataSize() < static_cast<int>(sizeof(void*))) return !d.GetNull(fieldNo, record);
      break;
    case TFieldAccess::akFixed: {
      if (access.Size <= field.DataSize()) break;
      // A store value wider than the field's buffer: read whole, keep what fits.
      std::uint8_t small[32];
      std::vector<std::uint8_t> large;
      std::uint8_t* scratch = small;
      const std::size_t need = static_cast<std::size_t>(access.Size) + 8;
      if (need > sizeof small) {
        large.assign(need, 0);
        scratch = large.data();
      } else {
        std::memset(small, 0, sizeof small);
      }
      d.GetField(fieldNo, record, scratch, blank);
      if (!blank) std::memcpy(buffer, scratch, static_cast<std::size_t>(field.DataSize()));
      return !blank;
    }
    case TFieldAccess::akBounded:
      break;
    case TFieldAccess::akUnsigned64: {
      if (field.DataSize() < SizeOfTBcd) return !d.GetNull(fieldNo, record);
      std::uint64_t value = 0;
      d.GetField(fieldNo, record, &value, blank);
      if (blank) return false;
      const TBcd bcd = StrToBcd(std::to_string(value));
      std::memcpy(buffer, &bcd, SizeOfTBcd);
      return true;
    }
  }
  d.GetField(fieldNo, record, buffer, blank);
  return !blank;
}

bool TMemDataSet::GetFieldData(const TField& field, void* buffer) {
  if (!FData || FRecBufSize == 0) return false;
  // Browsing reads the active buffer; every other state asks which buffer.
  TRecordBuffer record;
  if (State() == dsBrowse && !FInCacheProcessing)
    record = IsEmpty() ? nullptr : ActiveBuffer();
  else
    record = GetActiveRecBuf();
  if (!record) return false;
  const int fieldNo = field.FieldNo();
  if (fieldNo >= 1) {
    // A store value that fits the field's buffer as it is goes straight
    // through; ReadStoreField knows the other cases.
    const auto index = static_cast<std::size_t>(fieldNo - 1);
    if (buffer && index < FFieldAccess.size()) {
      const TFieldAccess access = FFieldAccess[index];
      if (access.Kind == TFieldAccess::akBounded ||
          (access.Kind == TFieldAccess::akFixed && access.Size <= field.DataSize())) {
        bool blank = false;
        FData->GetField(fieldNo, record, buffer, blank);
        return !blank;
      }
    }
    return ReadStoreField(fieldNo, field, record, buffer);
  }
  switch (State()) {
    case dsBrowse:
    case dsEdit:
    case dsInsert:
    case dsCalcFields:
    case dsFilter:
    case dsBlockRead:
      break;
    default:
      return false;
  }
  if (TFieldDesc* desc = CalcFieldDesc(field)) return ReadStoreField(desc->FieldNo(), field, record, buffer);
  // The filter buffer is a store row without the framework's area.
  if (State() == dsFilter) return false;
  const std::uint8_t* area = CalcArea(record) + field.Offset();
  if (!area[0]) return false;
  if (buffer) std::memcpy(buffer, area + 1, static_cast<std::size_t>(field.DataSize()));
  return true;
}

void TMemDataSet::WriteStoreField(int fieldNo, TRecordBuffer record, const void* buffer) {
  TData& d = *FData;
  const std::uint16_t type = d.Fields()[fieldNo - 1]->DataType();
  if (IsObjectType(type)) DatabaseError("Data type is not supported");
  if (type == dtUInt64 && buffer) {
    // The field's decimal back to the store's unsigned integer: whole
    // numbers from 0 to 2^64 - 1 only.
    TBcd bcd;
    std::memcpy(&bcd, buffer, SizeOfTBcd);
    const std::string text = BcdToStr(bcd);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
      DatabaseError(Format("'%s' is not a valid unsigned 64-bit integer", {text}));
    d.PutField(fieldNo, record, &value);
    return;
  }
  d.PutField(fieldNo, record, buffer);
}

void TMemDataSet::SetFieldData(TField& field, const void* buffer) {
  const TDataSetState state = State();
  switch (state) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsInternalCalc:
      break;
    default:
      DatabaseError("Dataset not in edit or insert mode");
  }
  TRecordBuffer record = GetActiveRecBuf();
  if (!record || !FData) DatabaseError("Dataset not in edit or insert mode");
  if (field.FieldNo() >= 1) {
    if (state == dsCalcFields) DatabaseError("Dataset not in edit or insert mode");
    if (field.ReadOnly() && state != dsSetKey && state != dsFilter && !FInSettingDefaultExpressionValues)
      DatabaseError(Format("Field '%s' cannot be modified", {field.DisplayName()}));
    field.Validate(buffer);
    if (field.FieldKind() != fkInternalCalc) WriteStoreField(field.FieldNo(), record, buffer);
  } else if (TFieldDesc* desc = CalcFieldDesc(field)) {
    WriteStoreField(desc->FieldNo(), record, buffer);
  } else {
    std::uint8_t* area = CalcArea(record) + field.Offset();
    area[0] = buffer ? 1 : 0;
    if (buffer)
      std::memcpy(area + 1, buffer, static_cast<std::size_t>(field.DataSize()));
    else
      std::memset(area + 1, 0, static_cast<std::size_t>(field.DataSize()));
  }
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue) DataEvent(deFieldChange, &field);
}

// ---- editing ---------------------------------------------------------------------------------------------------------

void TMemDataSet::EndDeferredPost() noexcept {
  if (FHasOldDeferredPostBuf && FData) {
    try {
      FData->FreeComplexFields(FOldDeferredPostBuf.data(), true);
    } catch (...) {
    }
  }
  FOldDeferredPostBuf.clear();
  FHasOldDeferredPostBuf = false;
  FInDeferredPost = false;
}

void TMemDataSet::InternalInsert() {
  EndDeferredPost();
  FInInserting = true;
}

void TMemDataSet::InternalEdit() {
  EndDeferredPost();
  TRecordBuffer buffer = ActiveBuffer();
  ReleaseBuffer(buffer);
  Data().EditRecord(buffer);
  FInEditing = true;
}

void TMemDataSet::InternalPost() {
  if (State() == dsBrowse) return;
  TDataSet::InternalPost();
  TData& d = Data();
  TRecordBuffer buffer = ActiveBuffer();
  for (const auto& f : Fields()) {
    if (f->FieldKind() != fkData || !f->IsBlob()) continue;
    TBlob* blob = GetBlob(*f);
    if (blob && blob->CanRollback()) static_cast<TBlobField&>(*f).SetModified(true);
  }
  if (FCacheCalcFields && !FCalcFieldsMapping.empty()) GetCalcFields(buffer);
  if (State() == dsEdit)
    d.PostRecord(buffer);
  else
    d.InsertRecord(buffer);
  EndDeferredPost();
  FInInserting = FInEditing = false;
}

void TMemDataSet::InternalCancel() {
  EndDeferredPost();
  TRecordBuffer buffer = ActiveBuffer();
  if (FData && buffer) {
    if (FInEditing)
      FData->CancelRecord(buffer);
    else if (FInInserting)
      FData->FreeComplexFields(buffer, true);
    if (FInEditing || FInInserting) BlankRecord(buffer);
  }
  FInInserting = FInEditing = false;
}

void TMemDataSet::InternalDelete() {
  if (!CanModify()) DatabaseError("Cannot modify a read-only dataset");
  Data().DeleteRecord();
}

void TMemDataSet::InternalAddRecord(TRecordBuffer buffer, bool append) {
  if (append)
    Data().AppendRecord(buffer);
  else
    Data().InsertRecord(buffer);
}

void TMemDataSet::InternalRefresh() {
  FreeRefBuffers();
  DataReopen();
}

void TMemDataSet::InternalHandleException() { TDataSet::InternalHandleException(); }

void TMemDataSet::AssignDefaultValues(const std::function<void()>& assign) {
  struct TFlag {
    bool& Value;
    ~TFlag() { Value = false; }
  } flag{FInSettingDefaultExpressionValues};
  FInSettingDefaultExpressionValues = true;
  assign();
}

void TMemDataSet::SetDefaultExpressionValues() {
  AssignDefaultValues([this] {
    for (const auto& f : Fields()) {
      if (f->DefaultExpression().empty() || f->FieldKind() != fkData) continue;
      std::string value = f->DefaultExpression();
      if (!DefaultExpressionOldBehavior && value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
        std::string unquoted;
        for (std::size_t i = 1; i + 1 < value.size(); ++i) {
          unquoted.push_back(value[i]);
          if (value[i] == '\'' && i + 2 < value.size() && value[i + 1] == '\'') ++i;
        }
        value = std::move(unquoted);
      }
      f->SetAsString(value);
    }
  });
}

void TMemDataSet::DoOnNewRecord() {
  SetDefaultExpressionValues();
  try {
    TDataSet::DoOnNewRecord();
  } catch (...) {
    InternalCancel();
    throw;
  }
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (!master || !master->Active() || master->IsEmpty()) return;
  std::vector<TField*> masterFields, detailFields;
  GetDetailLinkFields(masterFields, detailFields);
  for (std::size_t i = 0; i < detailFields.size(); ++i) {
    TField& d = *detailFields[i];
    TField& m = *masterFields[i];
    if (d.ReadOnly()) continue;
    if (m.IsNull())
      d.Clear();
    else if (d.DataType() == ftLargeint)
      d.SetAsLargeInt(m.AsLargeInt());
    else
      d.SetValue(m.Value());
  }
}

void TMemDataSet::InternalDeferredPost() {
  TDataSetUpdater& updater = DataSetService().Updater();
  if (State() == dsEdit)
    updater.DoPerformUpdate();
  else
    updater.DoPerformAppend();
}

void TMemDataSet::DeferredPost() {
  if (FCachedUpdates) return;
  UpdateRecord();
  if (!IsEditState(State())) return;
  DataEvent(deCheckBrowseMode);
  for (const auto& f : Fields()) {
    if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->IsNull()) {
      f->FocusControl();
      DatabaseError(Format("Field '%s' must have a value", {f->DisplayName()}));
    }
  }
  UpdateCursorPos();
  InternalDeferredPost();
  // The row as written becomes the row's old value.
  TData& d = Data();
  if (FHasOldDeferredPostBuf) d.FreeComplexFields(FOldDeferredPostBuf.data(), true);
  FOldDeferredPostBuf.assign(ActiveBuffer(), ActiveBuffer() + FRecBufSize);
  d.AddRefComplexFields(FOldDeferredPostBuf.data());
  FHasOldDeferredPostBuf = true;
  FInDeferredPost = true;
}

// ---- cached updates ------------------------------------------------------------------------------------------------

void TMemDataSet::CheckCachedUpdates() const {
  if (!FCachedUpdates) DatabaseError("Not in cached update mode");
}

void TMemDataSet::SetCachedUpdates(bool value) {
  if (value == FCachedUpdates) return;
  CheckInactive();
  FCachedUpdates = value;
  if (FData) FData->SetCachedUpdates(value);
}

void TMemDataSet::SetLocalUpdate(bool value) {
  FLocalUpdate = value;
  if (FData) FData->SetLocalUpdate(value);
}

void TMemDataSet::SetSparseArrays(bool value) {
  CheckInactive();
  FSparseArrays = value;
  if (FData) FData->SetSparseArrays(value);
}

bool TMemDataSet::UpdatesPending() { return FData && FData->GetUpdatesPending(); }

TUpdateRecordTypes TMemDataSet::UpdateRecordTypes() const {
  CheckCachedUpdates();
  return FUpdateRecordTypes;
}

void TMemDataSet::SetUpdateRecordTypes(TUpdateRecordTypes value) {
  CheckCachedUpdates();
  if (Active()) {
    if (IsEditState(State())) {
      if (Modified())
        Post();
      else
        Cancel();
    } else if (State() == dsSetKey) {
      Post();
    }
  }
  FUpdateRecordTypes = value;
  if (FData) FData->SetFilterItemTypes(ItemTypesOf(value));
  if (Active()) {
    FreeRefBuffers();
    Resync({});
  }
}

void TMemDataSet::RunCacheOperation(const std::function<void()>& operation) {
  UpdateCursorPos();
  FNewCacheRecBuf.assign(FRecBufSize, 0);
  FOldCacheRecBuf.assign(FRecBufSize, 0);
  FInCacheProcessing = true;
  std::exception_ptr error;
  try {
    Data().SetCacheRecBuf(FNewCacheRecBuf.data(), FOldCacheRecBuf.data());
    operation();
  } catch (...) {
    error = std::current_exception();
  }
  FInCacheProcessing = false;
  if (FData) FData->SetCacheRecBuf(nullptr, nullptr);
  FNewCacheRecBuf.clear();
  FOldCacheRecBuf.clear();
  if (Active()) {
    try {
      Resync({});
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);
}

void TMemDataSet::ApplyUpdates() { ApplyUpdates(TUpdateRecKinds{ukUpdate, ukInsert, ukDelete}); }

void TMemDataSet::ApplyUpdates(TUpdateRecKinds kinds) {
  CheckActive();
  FreeRefBuffers();
  if (IsEditState(State())) Post();
  CheckCachedUpdates();
  RunCacheOperation([&] { Data().ApplyUpdates(kinds); });
}

void TMemDataSet::CommitUpdates() {
  CheckActive();
  FreeRefBuffers();
  CheckCachedUpdates();
  RunCacheOperation([&] { Data().CommitUpdates(); });
}

void TMemDataSet::CancelUpdates() {
  if (Active() && IsEditState(State())) Cancel();
  CheckCachedUpdates();
  if (!FData) return;
  FreeRefBuffers();
  FData->CancelUpdates();
  if (Active()) Resync({});
}

void TMemDataSet::RestoreUpdates() {
  if (Active() && IsEditState(State())) Cancel();
  CheckCachedUpdates();
  if (!FData) return;
  FreeRefBuffers();
  FData->RestoreUpdates();
  if (Active()) Resync({});
}

void TMemDataSet::RevertRecord() {
  if (Active() && (IsEditState(State()) || State() == dsSetKey)) Cancel();
  CheckCachedUpdates();
  if (!Active() || IsEmpty()) return;
  UpdateCursorPos();
  FreeRefBuffers();
  Data().RevertRecord();
  Resync({});
}

TUpdateStatus TMemDataSet::UpdateStatus() {
  if (!FCachedUpdates || !Active() || IsEmpty()) return usUnmodified;
  TRecordBuffer buffer = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
  return buffer ? GetRecInfo(buffer).UpdateStatus : usUnmodified;
}

TUpdateRecAction TMemDataSet::UpdateResult() {
  if (!Active() || IsEmpty()) return urNone;
  UpdateCursorPos();
  const TUpdateRecAction r = Data().GetUpdateResult();
  return r == urNone ? urApplied : r;
}

// ---- filtering and sorting ------------------------------------------------------------------------------------------

void TMemDataSet::ActivateFilters() {
  TData& d = Data();
  d.SetFilterFunc(nullptr);
  d.SetFilterText("");
  d.SetFilterCaseInsensitive(FilterOptions().Contains(foCaseInsensitive));
  d.SetFilterNoPartialCompare(FilterOptions().Contains(foNoPartialCompare));
  if (OnFilterRecord()) d.SetFilterFunc([this](void* recBuf) { return RecordFilter(recBuf); });
  if (!Trim(Filter()).empty()) d.SetFilterText(Filter());
}

void TMemDataSet::DeactivateFilters() {
  TData& d = Data();
  d.SetFilterFunc(nullptr);
  d.SetFilterText("");
}

bool TMemDataSet::RecordFilter(void* recBuf) {
  bool accept = true;
  TRecordBuffer saved = FFilterBuffer;
  WithTempState(dsFilter, [&] {
    FFilterBuffer = static_cast<TRecordBuffer>(recBuf);
    try {
      OnFilterRecord()(*this, accept);
    } catch (...) {
      InternalHandleException();
    }
  });
  FFilterBuffer = saved;
  return accept;
}

void TMemDataSet::FilterChanged() {
  if (Filtered())
    ActivateFilters();
  else
    DeactivateFilters();
  FreeRefBuffers();
  Data().FilterUpdated();
  First();
}

void TMemDataSet::SetFiltered(bool value) {
  if (value == Filtered()) return;
  TDataSet::SetFiltered(value);
  if (Active()) FilterChanged();
}

void TMemDataSet::SetFilterText(const std::string& value) {
  TDataSet::SetFilterText(value);
  if (Active() && Filtered()) FilterChanged();
}

void TMemDataSet::SetFilterOptions(TFilterOptions value) {
  TDataSet::SetFilterOptions(value);
  if (Active() && Filtered()) FilterChanged();
}

void TMemDataSet::SetOnFilterRecord(TFilterRecordEvent value) {
  TDataSet::SetOnFilterRecord(std::move(value));
  if (Active() && Filtered()) FilterChanged();
}

bool TMemDataSet::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  SetFound(false);
  UpdateCursorPos();
  CursorPosChanged();
  TData& d = Data();
  const bool temporary = !Filtered();
  if (temporary) {
    ActivateFilters();
    d.FilterUpdated();
  }
  bool found = false;
  TRecBookmark at, saved;
  d.GetBookmark(saved);
  std::exception_ptr error;
  try {
    if (restart) {
      if (goForward)
        d.SetToBegin();
      else
        d.SetToEnd();
    }
    if (goForward)
      d.GetNextRecord(nullptr);
    else
      d.GetPriorRecord(nullptr);
    found = goForward ? !d.GetEOF() : !d.GetBOF();
    if (found) d.GetBookmark(at);
  } catch (...) {
    error = std::current_exception();
  }
  if (temporary) {
    DeactivateFilters();
    d.FilterUpdated();
  }
  if (error) std::rethrow_exception(error);
  if (found) {
    d.SetToBookmark(at);
    DoBeforeScroll();
    Resync(TResyncMode{rmExact, rmCenter});
    DoAfterScroll();
  } else {
    // Nothing found: stay where the search started.
    if (saved.Item) d.SetToBookmark(saved);
    Resync({});
  }
  SetFound(found);
  return found;
}

void TMemDataSet::SetIndexFieldNames(const std::string& value) {
  if (Active()) CheckBrowseMode();
  if (FMemData) FMemData->SetIndexFieldNames(value);  // raises for a bad list
  FIndexFieldNames = value;
  if (!FMemData) return;
  if (Active() && FMemData->IndexFields().Count() > 0) {
    FreeRefBuffers();
    Resync({});
  }
}

void TMemDataSet::SetCacheCalcFields(bool value) {
  CheckInactive();
  FCacheCalcFields = value;
}

// ---- record counts and numbers ----------------------------------------------------------------------------------

int TMemDataSet::GetRecordCount() { return Active() && FData ? FData->GetRecordCount() : 0; }

int TMemDataSet::GetRecNo() {
  if (!Active() || IsEmpty()) return 0;
  TRecordBuffer buffer = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
  return buffer ? GetRecInfo(buffer).RecordNumber : 0;
}

void TMemDataSet::SetRecNoValue(int value) {
  CheckBrowseMode();
  if (value == RecNo()) return;
  DoBeforeScroll();
  Data().SetRecordNo(value);
  Resync(TResyncMode{rmCenter});
  DoAfterScroll();
}

// ---- nested data sets -----------------------------------------------------------------------------------------------

void TMemDataSet::DataEvent(TDataEvent event, TField* field, int distance) {
  if (event == deParentScroll && Active()) {
    if (TDataSet* parent = ParentDataSet()) {
      const TBookmark position = parent->GetBookmark();
      if (!position.empty() && position == FLastParentPos) {
        FreeRefBuffers();
        Resync({});
      } else {
        FLastParentPos = position;
        First();
      }
    }
  }
  TDataSet::DataEvent(event, field, distance);
}

// ---- large objects -----------------------------------------------------------------------------------------------------

TBlob* TMemDataSet::GetBlob(const TField& field) {
  TFieldDesc* desc = GetFieldDesc(field);
  if (!desc || !Data().IsBlobFieldType(desc->DataType())) DatabaseError("Field is not BLOB");
  TRecordBuffer buffer = GetActiveRecBuf();
  if (!buffer) return nullptr;
  return Data().GetObject(desc->FieldNo(), buffer);
}

TBlob* TMemDataSet::GetBlob(std::string_view fieldName) { return GetBlob(FieldByName(fieldName)); }

std::unique_ptr<TStream> TMemDataSet::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  auto* blobField = dynamic_cast<TBlobField*>(&field);
  if (!blobField) DatabaseError("Field is not BLOB");
  return std::make_unique<TBlobStream>(*blobField, mode);
}

TBlob* TMemDSUtils::GetBlob(TMemDataSet& dataSet, const TField& field) { return dataSet.GetBlob(field); }

void TMemDSUtils::GetOldAndNewRecBuf(TMemDataSet& dataSet, const void*& oldRecBuf, const void*& newRecBuf) {
  if (dataSet.FInCacheProcessing) {
    oldRecBuf = dataSet.FOldCacheRecBuf.empty() ? nullptr : dataSet.FOldCacheRecBuf.data();
    newRecBuf = dataSet.FNewCacheRecBuf.empty() ? nullptr : dataSet.FNewCacheRecBuf.data();
    return;
  }
  newRecBuf = dataSet.IsEmpty() && dataSet.State() == dsBrowse ? nullptr : dataSet.ActiveBuffer();
  if (dataSet.FHasOldDeferredPostBuf) {
    oldRecBuf = dataSet.FOldDeferredPostBuf.data();
  } else if (dataSet.FInInserting || dataSet.State() == dsInsert || dataSet.IsEmpty() || dataSet.FOldRecBuf.empty()) {
    oldRecBuf = nullptr;
  } else {
    dataSet.UpdateCursorPos();
    dataSet.Data().GetOldRecord(dataSet.FOldRecBuf.data());
    oldRecBuf = dataSet.FOldRecBuf.data();
  }
}

bool TMemDSUtils::SetBlob(TMemDataSet& dataSet, const TField& field, TBlob* blob) {
  TFieldDesc* desc = dataSet.GetFieldDesc(field);
  TData& d = dataSet.Data();
  if (!desc || !d.IsBlobFieldType(desc->DataType())) DatabaseError("Field is not BLOB");
  TRecordBuffer buffer = dataSet.GetActiveRecBuf();
  if (!buffer) DatabaseError("Dataset not in edit or insert mode");
  TBlob* old = d.GetObject(desc->FieldNo(), buffer);
  if (blob) blob->AddRef();
  d.SetObject(desc->FieldNo(), buffer, blob);
  const bool sameClass = old && blob && typeid(*old) == typeid(*blob);
  if (old) old->Release();
  return sameClass;
}

// ---- XML -------------------------------------------------------------------------------------------------------------------

void TMemDataSet::SaveToXML(TStream& stream) { DataSetService().SaveToXML(stream); }

void TMemDataSet::SaveToXML(const std::string& fileName) {
  ReplaceFile(fileName, [this](TStream& stream) { SaveToXML(stream); });
}

// ---- assignments --------------------------------------------------------------------------------------------------------------

void TMemDataSet::AssignTo(TMemDataSet& dest) const {
  dest.SetCachedUpdates(FCachedUpdates);
  dest.SetLocalConstraints(FLocalConstraints);
  dest.SetLocalUpdate(FLocalUpdate);
  dest.SetMasterSource(MasterSource());
  dest.SetMasterFields(FMasterFields);
  dest.SetDetailFields(FDetailFields);
  dest.SetDetailDelay(FDetailDelay);
}

// ---- searching ---------------------------------------------------------------------------------------------------------------

bool TMemDataSet::CopyFieldValue(const Variant& value, TCompareKey& key, const TFieldDesc& desc, bool) {
  key = TCompareKey{};
  key.IsNull = value.IsNullOrEmpty();
  if (key.IsNull) return true;
  // The key's type code and its bytes in the form CompareFieldValue reads.
  auto put = [&key](std::uint16_t type, const auto& v) {
    key.Type = type;
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    key.Bytes.assign(p, p + sizeof v);
  };
  // Integers compare as integers, anything else as a double, so that a
  // fractional key never rounds onto a neighbouring value.
  auto numberKey = [&](bool isUnsigned) {
    if (value.IsText()) {
      const std::string text = Trim(value.AsString());
      bool isInt = !text.empty();
      for (std::size_t k = 0; k < text.size(); ++k)
        if (!(std::isdigit(static_cast<unsigned char>(text[k])) || (k == 0 && (text[k] == '-' || text[k] == '+'))))
          isInt = false;
      if (isInt)
        put(dtInt64, StrToInt64(text));
      else
        put(dtFloat, StrToFloat(text));
      return;
    }
    const std::uint16_t vt = value.VarType();
    const bool integral = vt == varShortInt || vt == varSmallint || vt == varInteger || vt == varInt64 ||
                          vt == varByte || vt == varWord || vt == varLongWord || vt == varUInt64 || vt == varBoolean;
    if (integral && isUnsigned && vt == varUInt64)
      put(dtUInt64, value.AsUInt64());
    else if (integral)
      put(dtInt64, value.AsInt64());
    else
      put(dtFloat, value.AsDouble());
  };
  try {
    switch (desc.DataType()) {
      case dtInt8:
      case dtInt16:
      case dtInt32:
      case dtInt64:
      case dtUInt8:
      case dtUInt16:
      case dtUInt32:
      case dtUInt64:
        numberKey(desc.DataType() == dtUInt64);
        break;
      case dtBoolean:
        put(dtBoolean, static_cast<std::int16_t>(value.AsBoolean() ? 1 : 0));
        break;
      case dtFloat:
      case dtSingle:
      case dtCurrency:
        put(dtFloat, value.AsDouble());
        break;
      case dtBCD:
        put(dtBCD, value.AsDouble());
        break;
      case dtFMTBCD:
        put(dtFMTBCD, value.AsBcd());
        break;
      case dtDate:
      case dtTime:
      case dtDateTime:
        put(dtDateTime, value.AsDateMicros());
        break;
      case dtSQLTimeStamp:
        put(dtSQLTimeStamp, value.AsSQLTimeStamp());
        break;
      case dtString:
      case dtExtString:
      case dtGuid:
      case dtMemo:
        key.Type = dtString;
        key.Text = VarToStr(value);
        break;
      case dtWideString:
      case dtExtWideString:
      case dtWideMemo:
        key.Type = dtWideString;
        key.Wide = VarToWideStr(value);
        break;
      case dtBytes:
      case dtVarBytes:
      case dtExtVarBytes:
      case dtBlob: {
        const std::vector<std::uint8_t> bytes = value.AsBytes();
        if (bytes.size() > 0xFFFF) DatabaseError("Cannot convert type");
        const auto len = static_cast<std::uint16_t>(bytes.size());
        key.Type = dtVarBytes;
        key.Bytes.resize(2 + bytes.size());
        std::memcpy(key.Bytes.data(), &len, 2);
        std::memcpy(key.Bytes.data() + 2, bytes.data(), bytes.size());
        break;
      }
      case dtVariant:
        key.Type = dtVariant;
        key.Value = value;
        break;
      default:
        DatabaseError("Cannot convert type");
    }
  } catch (const EConvertError&) {
    // The value has no form of the field's type: compare it as text.
    key = TCompareKey{};
    key.Type = dtString;
    try {
      key.Text = VarToStr(value);
    } catch (const EConvertError&) {
      DatabaseError("Cannot convert type");
    }
    return false;
  }
  return true;
}

std::vector<TField*> TMemDataSet::KeyFieldsOf(std::string_view names) const {
  std::vector<TField*> fields;
  if (names.find(';') == std::string_view::npos) {
    // One name: no list to split.
    const std::string name = Trim(names);
    if (!name.empty())
      if (TField* f = FindField(name)) fields.push_back(f);
    return fields;
  }
  for (const std::string& name : SplitFieldNames(names))
    if (TField* f = FindField(name)) fields.push_back(f);
  return fields;
}

bool TMemDataSet::LocateRecord(const std::vector<TField*>& keyFields, const Variant& keyValues,
                               TLocateExOptions options) {
  CheckBrowseMode();
  TMemData& md = CheckedMemData();
  UpdateCursorPos();
  CursorPosChanged();
  TRecBookmark saved;
  md.GetBookmark(saved);
  const bool savedBOF = md.GetBOF(), savedEOF = md.GetEOF();
  auto restore = [&] {
    if (!saved.Item || !md.SetToBookmark(saved)) {
      if (savedEOF && !savedBOF)
        md.SetToEnd();
      else
        md.SetToBegin();
    }
  };

  // One key column: its descriptor, its value (in keyValues, or null) and
  // that value in the store's compare form.
  struct TKeyColumn {
    TFieldDesc* Desc;
    int FieldNo;
    const Variant* Value;
    TCompareKey Key;
    const void* KeyPtr = nullptr;
    TCompareOptions PrefixOptions;
    bool Descending = false;
    bool Binary = false;
  };
  static const Variant nullKey = Variant::Null();
  std::vector<TKeyColumn> keys;
  keys.reserve(keyFields.size());
  const Variant::Array* values = keyValues.IsArray() ? &keyValues.AsArray() : nullptr;
  for (std::size_t i = 0; i < keyFields.size(); ++i) {
    TFieldDesc* desc = keyFields[i] ? GetFieldDesc(*keyFields[i]) : nullptr;
    if (!desc || desc->FieldDescKind() == fdkCalculated) continue;
    const Variant* v = &nullKey;
    if (values) {
      if (i < values->size()) v = &(*values)[i];
    } else if (i == 0) {
      v = &keyValues;
    }
    keys.push_back({desc, desc->FieldNo(), v, {}, nullptr, {}, false, false});
  }
  if (keys.empty()) return false;

  const bool ci = options.Contains(lxCaseInsensitive);
  const bool partialKey = options.Contains(lxPartialKey);
  const bool partialCompare = options.Contains(lxPartialCompare);
  const bool nearest = options.Contains(lxNearest);
  const bool up = options.Contains(lxUp);
  TCompareOptions compare;
  if (ci) compare.Include(coCaseInsensitive);
  if (partialKey) compare.Include(coPartialKey);
  if (partialCompare) compare.Include(coPartialCompare);

  // The key columns that lead the local index can be bisected.
  std::size_t prefix = 0;
  if (!partialKey && !partialCompare && !nearest) {
    for (const auto& column : md.IndexFields()) {
      if (!column || (column->SortType == stCaseInsensitive) != ci) break;
      std::size_t j = prefix;
      while (j < keys.size() && keys[j].Desc != column->FieldDesc) ++j;
      if (j == keys.size()) break;
      std::swap(keys[j], keys[prefix]);
      keys[prefix].Descending = column->DescendingOrder;
      keys[prefix].Binary = column->SortType == stBinary;
      ++prefix;
    }
  }
  for (TKeyColumn& k : keys) {
    if (!CopyFieldValue(*k.Value, k.Key, *k.Desc, true)) prefix = 0;
    k.KeyPtr = k.Key.Ptr();
    k.PrefixOptions = compare;
    if (k.Binary) k.PrefixOptions.Include(coOrdinalCompare);
  }

  TRecBuf rowBuf = md.AllocRecBuf(true);
  void* const row = rowBuf.get();
  // The key against the index prefix of the row in `row`.
  auto compareRowPrefix = [&] {
    for (std::size_t i = 0; i < prefix; ++i) {
      const TKeyColumn& k = keys[i];
      const bool rowNull = md.GetNull(k.FieldNo, row);
      int c;
      if (k.Key.IsNull) {
        c = rowNull ? 0 : -1;
      } else if (rowNull) {
        c = 1;
      } else {
        c = md.CompareFieldValue(k.KeyPtr, k.Key.Type, k.PrefixOptions, row, *k.Desc);
        c = c < 0 ? -1 : c > 0 ? 1 : 0;
      }
      if (k.Descending) c = -c;
      if (c != 0) return c;
    }
    return 0;
  };
  auto matches = [&] {
    for (const TKeyColumn& k : keys) {
      const bool rowNull = md.GetNull(k.FieldNo, row);
      if (k.Key.IsNull || rowNull) {
        if (k.Key.IsNull != rowNull) return false;
        continue;
      }
      const int c = md.CompareFieldValue(k.KeyPtr, k.Key.Type, compare, row, *k.Desc);
      if (c != 0 && !(nearest && c < 0)) return false;
    }
    return true;
  };

  const int count = md.GetRecordCount();
  const int current = md.GetRecordNo();
  int first = 1, last = count;
  if (options.Contains(lxNext)) {
    if (up)
      last = current - 1;
    else
      first = current + 1;
  }
  if (count <= 0 || first > last) {
    restore();
    return false;
  }

  bool found = false;
  int start = up ? last : first;
  bool bisected = false;
  if (prefix > 0) {
    // Bisection for the first row in the direction of the search whose
    // index prefix matches: the lowest such record number, or the highest
    // when searching up. Each probe reads one row.
    bisected = true;
    int lo = first, hi = last, hit = 0;
    while (lo <= hi) {
      const int mid = lo + (hi - lo) / 2;
      md.SetRecordNo(mid);
      md.GetRecord(row);
      const int c = compareRowPrefix();
      if (c == 0) {
        hit = mid;
        if (up)
          lo = mid + 1;
        else
          hi = mid - 1;
      } else if (c < 0) {
        hi = mid - 1;
      } else {
        lo = mid + 1;
      }
    }
    if (hit == 0) {
      restore();
      return false;
    }
    start = hit;
    if (prefix == keys.size()) {
      md.SetRecordNo(hit);
      return true;
    }
  }

  // Row by row from the start (or from the bisection hit, while the index
  // prefix still matches).
  md.SetRecordNo(start);
  md.GetRecord(row);
  int at = start;
  for (;;) {
    if (bisected && compareRowPrefix() != 0) break;
    if (matches()) {
      found = true;
      break;
    }
    if (up ? at <= first : at >= last) {
      found = nearest;
      break;
    }
    at += up ? -1 : 1;
    if (up)
      md.GetPriorRecord(row);
    else
      md.GetNextRecord(row);
    if (md.GetEOF() || md.GetBOF()) {
      found = nearest;
      if (found) md.SetRecordNo(up ? first : last);
      break;
    }
  }
  if (!found) restore();
  return found;
}

void TMemDataSet::ResyncAfterLocate(bool centre) {
  DoBeforeScroll();
  FreeRefBuffers();
  Resync(centre ? TResyncMode{rmExact, rmCenter} : TResyncMode{rmExact});
  DoAfterScroll();
}

bool TMemDataSet::Locate(std::string_view keyFields, const Variant& keyValues, TLocateOptions options) {
  TLocateExOptions ex;
  if (options.Contains(loCaseInsensitive)) ex.Include(lxCaseInsensitive);
  if (options.Contains(loPartialKey)) ex.Include(lxPartialKey);
  const bool found = LocateRecord(KeyFieldsOf(keyFields), keyValues, ex);
  if (found) ResyncAfterLocate(true);
  return found;
}

bool TMemDataSet::LocateEx(std::string_view keyFields, const Variant& keyValues, TLocateExOptions options) {
  return LocateEx(KeyFieldsOf(keyFields), keyValues, options);
}

bool TMemDataSet::LocateEx(const std::vector<TField*>& keyFields, const Variant& keyValues,
                           TLocateExOptions options) {
  const bool found = LocateRecord(keyFields, keyValues, options);
  if (found) {
    const int recNo = Data().GetRecordNo();
    const bool atEnd = recNo <= 1 || recNo >= Data().GetRecordCount();
    ResyncAfterLocate(!(LocateExOldBehavior || atEnd));
  }
  return found;
}

Variant TMemDataSet::Lookup(std::string_view keyFields, const Variant& keyValues, std::string_view resultFields) {
  TMemData& md = CheckedMemData();
  TRecBookmark saved;
  UpdateCursorPos();
  md.GetBookmark(saved);
  const bool savedBOF = md.GetBOF(), savedEOF = md.GetEOF();
  if (!LocateRecord(KeyFieldsOf(keyFields), keyValues, {})) return Variant::Null();
  TTempBuffer temp(*this);
  md.GetRecord(temp.Get());
  if (!saved.Item || !md.SetToBookmark(saved)) {
    if (savedEOF && !savedBOF)
      md.SetToEnd();
    else
      md.SetToBegin();
  }
  CursorPosChanged();
  return WithTempState(dsCalcFields, [&] {
    SetCalcBuffer(temp.Get());
    if (HasCalcFields()) {
      ClearCalcFields(temp.Get());
      CalculateFields(temp.Get());
    }
    return FieldValues(resultFields);
  });
}

// ---- local master/detail -----------------------------------------------------------------------------------------------

bool TMemDataSet::UseLocalMasterDetailFilter() {
  return MasterSource() && !FMasterFields.empty() && !FDetailFields.empty();
}

void TMemDataSet::InstallMasterDetailFilter() {
  if (!FData) return;
  if (UseLocalMasterDetailFilter())
    FData->SetFilterMDFunc([this](void* recBuf) { return MasterDetailFilter(recBuf); });
  else
    FData->SetFilterMDFunc(nullptr);
}

bool TMemDataSet::MasterDetailFilter(void* recBuf) {
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (!RefreshParamsOnInsert && master && master->Active() && FLocalMasterEmpty) return false;
  TMemData& md = CheckedMemData();
  for (const TLocalMDLink& link : FLocalMDLinks) {
    const bool detailNull = md.GetNull(link.FieldNo, recBuf);
    if (link.IsNull) {
      if (!detailNull) return false;
      continue;
    }
    if (detailNull) return false;
    const TFieldDesc& desc = *md.Fields()[link.FieldNo - 1];
    if (md.CompareFieldValue(link.Key.Ptr(), link.Key.Type, {}, recBuf, desc) != 0) return false;
  }
  return true;
}

void TMemDataSet::GetDetailLinkFields(std::vector<TField*>& masterFields, std::vector<TField*>& detailFields) {
  masterFields.clear();
  detailFields.clear();
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (!master) return;
  const std::vector<std::string> m = SplitFieldNames(FMasterFields);
  const std::vector<std::string> d = SplitFieldNames(FDetailFields);
  for (std::size_t i = 0; i < m.size() && i < d.size(); ++i) {
    TField* mf = master->FindField(m[i]);
    TField* df = FindField(d[i]);
    if (!mf || !df) continue;
    masterFields.push_back(mf);
    detailFields.push_back(df);
  }
}

bool TMemDataSet::MDLinksRefreshed(TField*) {
  if (!UseLocalMasterDetailFilter()) {
    const bool had = !FLocalMDLinks.empty() || FLocalMasterEmpty;
    FLocalMDLinks.clear();
    FLocalMasterEmpty = false;
    return had;
  }
  TDataSet* masterDataSet = MasterSource()->DataSet();
  auto* master = dynamic_cast<TMemDataSet*>(masterDataSet);
  if (masterDataSet && masterDataSet->Active() && !master)
    DatabaseError("Master dataset must be inherited from TMemDataSet");
  std::vector<TLocalMDLink> links;
  bool masterEmpty = false;
  if (master && master->Active()) masterEmpty = master->IsEmpty();
  if (master && master->Active() && !masterEmpty) {
    std::vector<TField*> masterFields, detailFields;
    GetDetailLinkFields(masterFields, detailFields);
    for (std::size_t i = 0; i < detailFields.size(); ++i) {
      TFieldDesc* detailDesc = GetFieldDesc(*detailFields[i]);
      if (!detailDesc) DatabaseError(Format("Field %s not found", {detailFields[i]->FieldName()}));
      if (!master->GetFieldDesc(*masterFields[i]))
        DatabaseError(Format("Field %s not found", {masterFields[i]->FieldName()}));
      TLocalMDLink link;
      link.FieldNo = detailDesc->FieldNo();
      link.MasterValue = masterFields[i]->Value();
      link.IsNull = link.MasterValue.IsNullOrEmpty();
      if (!link.IsNull) CopyFieldValue(link.MasterValue, link.Key, *detailDesc, true);
      links.push_back(std::move(link));
    }
  }
  bool changed = links.size() != FLocalMDLinks.size() || masterEmpty != FLocalMasterEmpty;
  for (std::size_t i = 0; !changed && i < links.size(); ++i) {
    const TLocalMDLink& a = links[i];
    const TLocalMDLink& b = FLocalMDLinks[i];
    changed = a.FieldNo != b.FieldNo || a.IsNull != b.IsNull || !VarStrictEqual(a.MasterValue, b.MasterValue);
  }
  FLocalMDLinks = std::move(links);
  FLocalMasterEmpty = masterEmpty;
  return changed;
}

void TMemDataSet::RefreshDetail() {
  if (FDetailRefreshTimer) FDetailRefreshTimer->Stop();
  if (!Active()) return;
  FreeRefBuffers();
  Data().FilterUpdated();
  First();
}

void TMemDataSet::MasterRecordChanged(TField* field) {
  if (!Active()) return;
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (master && master->State() == dsSetKey) return;
  if (!MDLinksRefreshed(field)) return;
  if (FDetailDelay > 0 && FDetailRefreshTimer)
    FDetailRefreshTimer->Start(FDetailDelay);
  else
    RefreshDetail();
}

void TMemDataSet::MDPropertiesChanged() {
  const bool was = FMDWasComplete;
  InstallMasterDetailFilter();
  FMDWasComplete = UseLocalMasterDetailFilter();
  if ((was || FMDWasComplete) && Active()) {
    MDLinksRefreshed(nullptr);
    RefreshDetail();
  }
}

void TMemDataSet::SetMasterSource(TDataSource* value) {
  if (value == MasterSource()) return;
  if (value && IsLinkedTo(value)) DatabaseError("Circular datalinks are not allowed");
  FDataLink->SetDataSource(value);
  MDPropertiesChanged();
}

void TMemDataSet::SetMasterFields(const std::string& value) {
  if (value == FMasterFields) return;
  FMasterFields = value;
  MDPropertiesChanged();
}

void TMemDataSet::SetDetailFields(const std::string& value) {
  if (value == FDetailFields) return;
  FDetailFields = value;
  MDPropertiesChanged();
}

void TMemDataSet::SetDetailDelay(int value) {
  FDetailDelay = std::max(value, 0);
  if (!FDetailRefreshTimer) {
    FDetailRefreshTimer = CreateKxTimer();
    if (FDetailRefreshTimer)
      FDetailRefreshTimer->OnTimer = [this] {
        try {
          RefreshDetail();
        } catch (...) {
          InternalHandleException();
        }
      };
  }
  if (FDetailDelay == 0 && FDetailRefreshTimer) FDetailRefreshTimer->Stop();
}

}  // namespace lumo
