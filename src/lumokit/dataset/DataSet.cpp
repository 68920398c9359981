#include <lumokit/dataset/DataSet.h>

#include <algorithm>
#include <cstdio>

#include <lumokit/core/Format.h>
#include <lumokit/dataset/DataSource.h>
#include <lumokit/dataset/FieldTypes.h>

namespace lumo {

namespace {

bool IsEditState(TDataSetState s) noexcept { return s == dsEdit || s == dsInsert; }

// Field types a persistent field may be bound to besides its own.
TFieldType BindingFamily(TFieldType t) noexcept {
  switch (t) {
    case ftFixedChar:
      return ftString;
    case ftFixedWideChar:
      return ftWideString;
    case ftAutoInc:
      return ftInteger;
    case ftFmtMemo:
    case ftOraClob:
      return ftMemo;
    case ftGraphic:
    case ftTypedBinary:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftOraBlob:
      return ftBlob;
    case ftOraTimeStamp:
      return ftTimeStamp;
    default:
      return t;
  }
}

std::function<void(std::exception_ptr)>& ExceptionHook() {
  static std::function<void(std::exception_ptr)> hook;
  return hook;
}

}  // namespace

void SetHandleExceptionHook(std::function<void(std::exception_ptr)> hook) { ExceptionHook() = std::move(hook); }

TDataSet::TDataSet() : FFieldDefs(this) {}

TDataSet::~TDataSet() {
  // A subclass closes in its own destructor; what is left here is memory.
  FBuffers.clear();
  FBufferBlocks.clear();
  FTempBuffer.reset();
  for (TDataSource* s : FDataSources)
    if (s) s->DataSetDestroyed();
  FDataSources.clear();
  for (TDataSet* nested : FNestedDataSets) {
    nested->FDataSetField->FNestedDataSet = nullptr;
    nested->FDataSetField = nullptr;
  }
  FNestedDataSets.clear();
  SetDataSetField(nullptr);
  FFields.Clear();
}

// ---- opening and closing ------------------------------------------------------------

void TDataSet::SetActive(bool value) {
  if (Active() == value) return;
  if (value) {
    Fire(BeforeOpen);
    FInternalOpenComplete = false;
    try {
      OpenCursor(false);
    } catch (...) {
      SetState(dsInactive);
      CloseCursor();
      throw;
    }
    OpenCursorComplete();
  } else {
    const bool destroying = HasState(csDestroying);
    if (!destroying) Fire(BeforeClose);
    SetState(dsInactive);
    CloseCursor();
    if (!destroying) Fire(AfterClose);
  }
}

void TDataSet::OpenCursor(bool infoQuery) {
  if (infoQuery)
    InternalInitFieldDefs();
  else
    DoInternalOpen();
}

void TDataSet::DoInternalOpen() {
  InternalOpen();
  FInternalOpenComplete = true;
  UpdateBufferCount();
  FBOF = true;
}

void TDataSet::OpenCursorComplete() {
  SetState(dsBrowse);
  DoAfterOpen();
  if (!IsEmpty()) Fire(AfterScroll);
}

void TDataSet::CloseCursor() {
  FCalcBuffer = nullptr;
  ClearBuffers();
  FBufferCount = 0;
  ResizeBufferList(0);
  const bool wasOpen = FInternalOpenComplete;
  FInternalOpenComplete = false;
  if (wasOpen || IsCursorOpen()) InternalClose();
}

void TDataSet::DoAfterOpen() { Fire(AfterOpen); }

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError("Cannot perform this operation on an open dataset");
}

void TDataSet::SetState(TDataSetState value) {
  if (FState == value) return;
  FState = value;
  FModified = false;
  DataEvent(deUpdateState);
}

// ---- fields ------------------------------------------------------------------------------

TField& TDataSet::AddField(std::unique_ptr<TField> field) {
  CheckInactive();
  if (!field) throw EArgumentError("Field cannot be nil");
  if (field->FDataSet && field->FDataSet != this) DatabaseError("Wrong DataSet");
  field->FDataSet = this;
  if (auto* obj = dynamic_cast<TObjectField*>(field.get()))
    for (const auto& child : obj->Fields()) child->FDataSet = this;
  TField& f = FFields.Add(std::move(field));
  DataEvent(deFieldListChange);
  return f;
}

std::unique_ptr<TField> TDataSet::GetFieldClass(TFieldType type) { return DefaultFieldClass(type); }

void TDataSet::CreateFields() {
  for (const auto& def : FFieldDefs) {
    TField& f = def->CreateField(*this);
    if (def->Attributes().Contains(faHiddenCol)) f.SetVisible(false);
  }
  FDefaultFields = FFields.Count() > 0;
}

void TDataSet::DestroyFields() {
  FFields.Clear();
  FDefaultFields = false;
}

void TDataSet::BindFields(bool binding) {
  FCalcFieldsSize = 0;
  FHasCalcFields = false;
  for (const auto& f : FFields) {
    if (!binding) {
      if (f->FFieldKind == fkData || f->FFieldKind == fkInternalCalc) f->FFieldNo = 0;
      continue;
    }
    if (f->FFieldKind == fkData || f->FFieldKind == fkInternalCalc) {
      TFieldDef* def = FFieldDefs.Find(f->FieldName());
      if (!def) DatabaseError(Format("Field '%s' not found", {f->DisplayName()}));
      if (BindingFamily(def->DataType()) != BindingFamily(f->DataType()))
        DatabaseError(Format("Type mismatch for field '%s', expecting: %s actual: %s",
                             {f->DisplayName(), FieldTypeName(f->DataType()), FieldTypeName(def->DataType())}));
      f->FFieldNo = def->FieldNo();
      if (auto* obj = dynamic_cast<TObjectField*>(f.get()); obj && def->HasChildDefs()) {
        for (const auto& child : obj->Fields()) {
          TFieldDef* cd = def->ChildDefs().Find(child->FieldName());
          child->FFieldNo = cd ? cd->FieldNo() : 0;
        }
      }
    } else {
      if (f->FFieldKind == fkLookup &&
          (!f->LookupDataSet() || f->KeyFields().empty() || f->LookupKeyFields().empty() ||
           f->LookupResultField().empty()))
        DatabaseError(Format("Lookup information for field '%s' is incomplete", {f->DisplayName()}));
      f->FFieldNo = -1;
      f->FOffset = FCalcFieldsSize;
      FCalcFieldsSize += f->DataSize() + 1;
      FHasCalcFields = true;
    }
  }
}

void TDataSet::CheckRequiredFields() {
  for (const auto& f : FFields) {
    if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->IsNull()) {
      f->FocusControl();
      DatabaseError(Format("Field '%s' must have a value", {f->DisplayName()}));
    }
  }
}

std::vector<TField*> TDataSet::GetFieldList(std::string_view names) const {
  std::vector<TField*> out;
  for (const std::string& n : SplitFieldNames(names)) out.push_back(&FieldByName(n));
  return out;
}

Variant TDataSet::FieldValues(std::string_view names) const {
  const std::vector<TField*> fields = GetFieldList(names);
  if (fields.size() == 1) return fields[0]->Value();
  Variant::Array values;
  values.reserve(fields.size());
  for (TField* f : fields) values.push_back(f->Value());
  return Variant::FromArray(std::move(values));
}

void TDataSet::SetFieldValues(std::string_view names, const Variant& value) {
  const std::vector<TField*> fields = GetFieldList(names);
  if (fields.size() == 1 && !value.IsArray()) {
    fields[0]->SetValue(value);
    return;
  }
  const Variant::Array& values = value.AsArray();
  for (std::size_t i = 0; i < fields.size(); ++i)
    fields[i]->SetValue(i < values.size() ? values[i] : Variant::Null());
}

Variant TDataSet::GetStateFieldValue(TDataSetState state, const TField& field) {
  return WithTempState(state, [&] { return field.Value(); });
}

void TDataSet::SetStateFieldValue(TDataSetState state, TField& field, const Variant& value) {
  WithTempState(state, [&] { field.SetValue(value); });
}

// ---- calculated and lookup fields -----------------------------------------------------

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
  if (!FHasCalcFields) return;
  WithTempState(dsCalcFields, [&] {
    FCalcBuffer = buffer;
    ClearCalcFields(buffer);
    CalculateFields(buffer);
  });
}

void TDataSet::ClearCalcFields(TRecordBuffer) {}

void TDataSet::CalculateFields(TRecordBuffer) {
  for (const auto& f : FFields)
    if (f->FieldKind() == fkLookup) CalculateLookupValue(*f);
  Fire(OnCalcFields);
}

void TDataSet::CalculateLookupValue(TField& field) {
  TDataSet* lookup = field.LookupDataSet();
  if (!lookup || !lookup->Active()) return;
  Variant keys = FieldValues(field.KeyFields());
  field.SetValue(lookup->Lookup(field.LookupKeyFields(), keys, field.LookupResultField()));
}

// ---- the buffer window --------------------------------------------------------------------

TDataSet::TRecordBufferPtr TDataSet::NewBuffer() {
  const std::size_t size = std::max<std::size_t>(RecordBufferSize(), 1);
  TRecordBufferPtr p = std::make_unique<std::uint8_t[]>(size);
  AllocRecordBuffer(p.get());
  return p;
}

void TDataSet::ResizeBufferList(int count) {
  const auto n = static_cast<std::size_t>(std::max(count, 0));
  while (FBuffers.size() > n) {
    TRecordBuffer last = FBuffers.back();
    FreeRecordBuffer(last);
    FBuffers.pop_back();
    std::erase_if(FBufferBlocks, [last](const TRecordBufferPtr& b) { return b.get() == last; });
  }
  while (FBuffers.size() < n) {
    FBufferBlocks.push_back(NewBuffer());
    FBuffers.push_back(FBufferBlocks.back().get());
  }
  if (n == 0) {
    if (FTempBuffer) FreeRecordBuffer(FTempBuffer.get());
    FTempBuffer.reset();
  } else if (!FTempBuffer) {
    FTempBuffer = NewBuffer();
  }
}

void TDataSet::UpdateBufferCount() {
  if (!FInternalOpenComplete) return;
  int n = 1;
  for (TDataSource* s : FDataSources)
    if (s)
      for (TDataLink* l : s->FDataLinks)
        if (l) n = std::max(n, l->FBufferCount);
  SetBufferCount(n);
}

void TDataSet::SetBufferCount(int value) {
  if (value == FBufferCount) return;
  if (value < FBufferCount && FBufferedCount > 0) {
    // Keep the active row inside the smaller window.
    const int drop = std::max(0, FActiveRecord - value + 1);
    if (drop > 0) {
      std::rotate(FBuffers.begin(), FBuffers.begin() + drop, FBuffers.end());
      FActiveRecord -= drop;
      FBufferedCount -= drop;
    }
    FBufferedCount = std::min(FBufferedCount, value);
    CursorPosChanged();
  }
  ResizeBufferList(value + 1);
  FBufferCount = value;
  if (!HasState(csDestroying)) {
    GetNextRecords();
    if (FBufferedCount > 0 && FBufferedCount < FBufferCount) GetPriorRecords();
  }
}

void TDataSet::MoveBuffer(int from, int to) {
  if (from == to) return;
  if (from - to == 1 || to - from == 1) {
    std::swap(FBuffers[static_cast<std::size_t>(from)], FBuffers[static_cast<std::size_t>(to)]);
    return;
  }
  auto b = FBuffers.begin();
  if (from < to)
    std::rotate(b + from, b + from + 1, b + to + 1);
  else
    std::rotate(b + to, b + from, b + from + 1);
}

void TDataSet::ActivateBuffers() noexcept {
  FBufferedCount = 1;
  FActiveRecord = 0;
  FCurrentRecord = 0;
  FBOF = false;
  FEOF = false;
}

void TDataSet::ClearBuffers() noexcept {
  FBufferedCount = 0;
  FActiveRecord = 0;
  FCurrentRecord = -1;
  FBOF = true;
  FEOF = true;
}

void TDataSet::SetCurrentRecord(int index) {
  if (FCurrentRecord == index) return;
  TRecordBuffer buffer = Buffer(index);
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
      InternalSetToRecord(buffer);
      break;
    case bfBOF:
      InternalFirst();
      break;
    case bfEOF:
      InternalLast();
      break;
  }
  FCurrentRecord = index;
}

void TDataSet::UpdateCursorPos() {
  if (FBufferedCount > 0) SetCurrentRecord(FActiveRecord);
}

inline bool TDataSet::GetNextRecord() {
  TGetMode mode = gmNext;
  if (FBufferedCount > 0) {
    if (FCurrentRecord != FBufferedCount - 1) SetCurrentRecord(FBufferedCount - 1);
    if (FState == dsInsert && FCurrentRecord == FActiveRecord && GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
      mode = gmCurrent;
  }
  if (GetRecord(FBuffers[static_cast<std::size_t>(FBufferedCount)], mode, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (FBufferedCount == 0) {
    ActivateBuffers();
  } else if (FBufferedCount < FBufferCount) {
    ++FBufferedCount;
  } else if (FBufferedCount == 1) {
    // A window of one row: the spare buffer and the row trade places.
    std::swap(FBuffers[0], FBuffers[1]);
  } else {
    MoveBuffer(0, FBufferedCount);
  }
  FCurrentRecord = FBufferedCount - 1;
  return true;
}

bool TDataSet::GetPriorRecord() {
  if (FBufferedCount > 0 && FCurrentRecord != 0) SetCurrentRecord(0);
  if (GetRecord(FBuffers[static_cast<std::size_t>(FBufferedCount)], gmPrior, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (FBufferedCount == 0) {
    ActivateBuffers();
  } else {
    MoveBuffer(FBufferedCount, 0);
    if (FBufferedCount < FBufferCount) {
      ++FBufferedCount;
      ++FActiveRecord;
    }
  }
  FCurrentRecord = 0;
  return true;
}

int TDataSet::GetNextRecords() {
  int n = 0;
  while (FBufferedCount < FBufferCount && GetNextRecord()) ++n;
  return n;
}

int TDataSet::GetPriorRecords() {
  int n = 0;
  while (FBufferedCount < FBufferCount && GetPriorRecord()) ++n;
  return n;
}

// ---- navigation -------------------------------------------------------------------------------

void TDataSet::First() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  ClearBuffers();
  try {
    InternalFirst();
    GetNextRecord();
    GetNextRecords();
  } catch (...) {
    FBOF = true;
    DataEvent(deDataSetChange);
    throw;
  }
  FBOF = true;
  DataEvent(deDataSetChange);
  Fire(AfterScroll);
}

void TDataSet::Last() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  ClearBuffers();
  try {
    InternalLast();
    GetPriorRecord();
    GetPriorRecords();
  } catch (...) {
    FEOF = true;
    DataEvent(deDataSetChange);
    throw;
  }
  FEOF = true;
  DataEvent(deDataSetChange);
  Fire(AfterScroll);
}

int TDataSet::MoveBy(int distance) {
  if (distance == 1) {
    const int stepped = StepOn();
    if (stepped >= 0) return stepped;
  }
  // Browsing with nobody following leaves browse mode nothing to check.
  if (FState != dsBrowse || HasFollowers()) CheckBrowseMode();
  Fire(BeforeScroll);
  // The step of a walk: one row on from the last row of the window, with
  // nobody to tell how the window scrolled.
  if (distance != 1 || FEOF || FActiveRecord != FBufferedCount - 1 || HasFollowers()) return MoveRows(distance);
  FBOF = false;
  const bool moved = GetNextRecord();
  if (!moved) FEOF = true;
  Fire(AfterScroll);
  return moved ? 1 : 0;
}

int TDataSet::MoveRows(int distance) {
  int moved = 0;
  if ((distance > 0 && !FEOF) || (distance < 0 && !FBOF)) {
    FBOF = false;
    FEOF = false;
    const int oldCount = FBufferedCount;
    int scroll = 0;
    auto notify = [&] {
      if (!HasFollowers()) return;
      if (FBufferedCount != oldCount)
        DataEvent(deDataSetChange);
      else
        DataEvent(deDataSetScroll, nullptr, scroll);
    };
    try {
      while (distance > 0) {
        if (FActiveRecord < FBufferedCount - 1) {
          ++FActiveRecord;
        } else {
          const int shift = FBufferedCount < FBufferCount ? 0 : 1;
          if (!GetNextRecord()) {
            FEOF = true;
            break;
          }
          scroll -= shift;
        }
        --distance;
        ++moved;
      }
      while (distance < 0) {
        if (FActiveRecord > 0) {
          --FActiveRecord;
        } else {
          const int shift = FBufferedCount < FBufferCount ? 0 : 1;
          if (!GetPriorRecord()) {
            FBOF = true;
            break;
          }
          scroll += shift;
        }
        ++distance;
        --moved;
      }
    } catch (...) {
      notify();
      throw;
    }
    notify();
    Fire(AfterScroll);
  }
  return moved;
}

bool TDataSet::FindRecord(bool, bool) { return false; }

bool TDataSet::FindFirst() {
  const bool found = FindRecord(true, true);
  FFound = found;
  return found;
}

bool TDataSet::FindLast() {
  const bool found = FindRecord(true, false);
  FFound = found;
  return found;
}

bool TDataSet::FindNext() {
  const bool found = FindRecord(false, true);
  FFound = found;
  return found;
}

bool TDataSet::FindPrior() {
  const bool found = FindRecord(false, false);
  FFound = found;
  return found;
}

TBookmark TDataSet::GetBookmark() {
  if (!Active() || IsEmpty() || FBookmarkSize <= 0 || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return {};
  TBookmark b(static_cast<std::size_t>(FBookmarkSize));
  GetBookmarkData(ActiveBuffer(), b.data());
  return b;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  if (bookmark.size() != static_cast<std::size_t>(FBookmarkSize)) DatabaseError("Invalid bookmark");
  CheckBrowseMode();
  Fire(BeforeScroll);
  InternalGotoBookmark(bookmark.data());
  Resync(TResyncMode{rmExact, rmCenter});
  Fire(AfterScroll);
}

bool TDataSet::BookmarkValid(const TBookmark&) { return false; }

int TDataSet::CompareBookmarks(const TBookmark&, const TBookmark&) { return 0; }

void TDataSet::Resync(TResyncMode mode) {
  TRecordBuffer spare = Buffer(FBufferedCount);
  if (mode.Contains(rmExact)) {
    CursorPosChanged();
    if (GetRecord(spare, gmCurrent, true) != grOK) DatabaseError("Record not found");
  } else if (GetRecord(spare, gmCurrent, false) != grOK && GetRecord(spare, gmNext, false) != grOK &&
             GetRecord(spare, gmPrior, false) != grOK) {
    ClearBuffers();
    DataEvent(deDataSetChange);
    return;
  }
  int count = mode.Contains(rmCenter) ? (FBufferCount - 1) / 2 : FActiveRecord;
  MoveBuffer(FBufferedCount, 0);
  ActivateBuffers();
  try {
    while (count > 0 && GetPriorRecord()) --count;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange);
    throw;
  }
  DataEvent(deDataSetChange);
}

// ---- editing ------------------------------------------------------------------------------------

void TDataSet::CheckCanModify() {
  if (!CanModify()) DatabaseError("Cannot modify a read-only dataset");
}

void TDataSet::CheckOperation(void (TDataSet::*operation)(), const TDataSetErrorEvent& onError) {
  for (;;) {
    try {
      UpdateCursorPos();
      (this->*operation)();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = daFail;
      if (onError) onError(*this, e, action);
      if (action == daFail) throw;
      if (action == daAbort) Abort();
    }
  }
}

void TDataSet::UpdateRecord() {
  if (!IsEditState(FState) && FState != dsSetKey) DatabaseError("Dataset not in edit or insert mode");
  DataEvent(deUpdateRecord);
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  if (HasFollowers()) DataEvent(deCheckBrowseMode);
  switch (FState) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (FModified)
        Post();
      else
        Cancel();
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TDataSet::Edit() {
  if (IsEditState(FState)) return;
  if (FBufferedCount == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeEdit);
  CheckOperation(&TDataSet::InternalEdit, OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange);
  Fire(AfterEdit);
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeInsert);
  Fire(BeforeScroll);
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    SetState(dsBrowse);
    Resync({});
    throw;
  }
  FModified = false;
  DataEvent(deDataSetChange);
  Fire(AfterInsert);
  Fire(AfterScroll);
}

void TDataSet::Insert() {
  BeginInsertAppend();
  const TBookmark current = GetBookmark();
  MoveBuffer(FBufferedCount, FActiveRecord);
  TRecordBuffer buffer = ActiveBuffer();
  InitRecord(buffer);
  if (FBufferedCount == 0)
    SetBookmarkFlag(buffer, bfBOF);
  else if (!current.empty())
    SetBookmarkData(buffer, current.data());
  if (FBufferedCount < FBufferCount) ++FBufferedCount;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  TRecordBuffer buffer = Buffer(0);
  InitRecord(buffer);
  SetBookmarkFlag(buffer, bfEOF);
  FBufferedCount = 1;
  FBOF = false;
  GetPriorRecords();
  InternalLast();
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::InitRecord(TRecordBuffer buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::DoOnNewRecord() { Fire(OnNewRecord); }

void TDataSet::InternalPost() { CheckRequiredFields(); }

void TDataSet::Post() {
  UpdateRecord();
  if (!IsEditState(FState)) {
    if (FState == dsSetKey) SetState(dsBrowse);
    return;
  }
  DataEvent(deCheckBrowseMode);
  Fire(BeforePost);
  CheckOperation(&TDataSet::InternalPost, OnPostError);
  SetState(dsBrowse);
  Resync({});
  Fire(AfterPost);
}

void TDataSet::Cancel() {
  if (FState == dsSetKey) {
    SetState(dsBrowse);
    return;
  }
  if (!IsEditState(FState)) return;
  DataEvent(deCheckBrowseMode);
  Fire(BeforeCancel);
  UpdateCursorPos();
  InternalCancel();
  SetState(dsBrowse);
  Resync({});
  Fire(AfterCancel);
}

void TDataSet::Delete() {
  CheckActive();
  if (FState == dsInsert || FState == dsSetKey) {
    Cancel();
    return;
  }
  if (FBufferedCount == 0) DatabaseError("Cannot perform this operation on an empty dataset");
  DataEvent(deCheckBrowseMode);
  Fire(BeforeDelete);
  Fire(BeforeScroll);
  CheckOperation(&TDataSet::InternalDelete, OnDeleteError);
  SetState(dsBrowse);
  Resync({});
  Fire(AfterDelete);
  Fire(AfterScroll);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  Fire(BeforeRefresh);
  UpdateCursorPos();
  InternalRefresh();
  Resync({});
  Fire(AfterRefresh);
}

void TDataSet::AddRecord(const std::vector<Variant>& values, bool append) {
  BeginInsertAppend();
  if (!append) UpdateCursorPos();
  DisableControls();
  struct TEnable {
    TDataSet& DS;
    ~TEnable() { DS.EnableControls(); }
  } enable{*this};
  MoveBuffer(FBufferedCount, FActiveRecord);
  try {
    TRecordBuffer buffer = ActiveBuffer();
    InitRecord(buffer);
    FState = dsInsert;
    try {
      DoOnNewRecord();
      for (std::size_t i = 0; i < values.size() && i < static_cast<std::size_t>(FFields.Count()); ++i)
        if (!values[i].IsEmpty()) FFields[static_cast<int>(i)].SetValue(values[i]);
      Fire(BeforePost);
      InternalAddRecord(buffer, append);
    } catch (...) {
      FState = dsBrowse;
      FModified = false;
      throw;
    }
    FState = dsBrowse;
    FModified = false;
  } catch (...) {
    MoveBuffer(FActiveRecord, FBufferedCount);
    throw;
  }
  Resync({});
  Fire(AfterPost);
}

void TDataSet::InsertRecord(const std::vector<Variant>& values) { AddRecord(values, false); }

void TDataSet::AppendRecord(const std::vector<Variant>& values) { AddRecord(values, true); }

void TDataSet::ClearFields() {
  if (!IsEditState(FState)) DatabaseError("Dataset not in edit or insert mode");
  for (const auto& f : FFields)
    if (f->FieldKind() == fkData && !f->ReadOnly()) f->Clear();
}

void TDataSet::InternalHandleException() {
  std::exception_ptr error = std::current_exception();
  if (!error) return;
  if (ExceptionHook()) {
    ExceptionHook()(error);
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Unknown exception\n");
  }
}

// ---- filtering and searching ----------------------------------------------------------------

void TDataSet::SetFilterText(const std::string& value) {
  if (FFiltered && Active()) CheckBrowseMode();
  FFilterText = value;
}

void TDataSet::SetFiltered(bool value) {
  if (Active()) CheckBrowseMode();
  FFiltered = value;
}

void TDataSet::SetFilterOptions(TFilterOptions value) {
  if (FFiltered && Active()) CheckBrowseMode();
  FFilterOptions = value;
}

void TDataSet::SetOnFilterRecord(TFilterRecordEvent value) {
  if (FFiltered && Active()) CheckBrowseMode();
  FOnFilterRecord = std::move(value);
}

bool TDataSet::Locate(std::string_view, const Variant&, TLocateOptions) { DatabaseError("Operation not supported"); }

Variant TDataSet::Lookup(std::string_view, const Variant&, std::string_view) {
  DatabaseError("Operation not supported");
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField&, TBlobStreamMode) {
  DatabaseError("Operation not supported");
}

// ---- notifications ----------------------------------------------------------------------------

void TDataSet::DataEvent(TDataEvent event, TField* field, int distance) {
  // Nothing follows this data set: only a field change has work to do here.
  if (event != deFieldChange && FDataSources.empty() && FNestedDataSets.empty()) {
    if (FDisableCount > 0 && ((event == deUpdateState && FState == dsInactive) || event == deLayoutChange))
      FEnableEvent = deLayoutChange;
    return;
  }
  bool notifyDetails = false;
  switch (event) {
    case deFieldChange:
      if (field) {
        if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc) FModified = true;
        if (FState != dsSetKey && FAutoCalcFields && field->FieldKind() == fkData) GetCalcFields(ActiveBuffer());
        if (field->OnChange) field->OnChange(*field);
      }
      break;
    case deDataSetChange:
    case deDataSetScroll:
      notifyDetails = true;
      break;
    default:
      break;
  }
  if (FDisableCount == 0) {
    struct TScope {
      TDataSet& DS;
      explicit TScope(TDataSet& ds) : DS(ds) { ++DS.FNotifying; }
      ~TScope() {
        if (--DS.FNotifying == 0 && DS.FSourcesRemoved) {
          std::erase(DS.FDataSources, nullptr);
          DS.FSourcesRemoved = false;
        }
      }
    } scope(*this);
    for (std::size_t i = 0; i < FDataSources.size(); ++i)
      if (TDataSource* s = FDataSources[i]) s->DataEvent(event, field, distance);
    if (notifyDetails) {
      const std::vector<TDataSet*> nested = FNestedDataSets;
      for (TDataSet* ds : nested)
        if (ds->Active()) ds->DataEvent(deParentScroll);
    }
  } else if ((event == deUpdateState && FState == dsInactive) || event == deLayoutChange) {
    FEnableEvent = deLayoutChange;
  }
}

void TDataSet::DisableControls() {
  if (FDisableCount == 0) {
    FDisableState = FState;
    FEnableEvent = deDataSetChange;
  }
  ++FDisableCount;
}

void TDataSet::EnableControls() {
  if (FDisableCount == 0) return;
  if (--FDisableCount > 0) return;
  if (FDisableState != FState) DataEvent(deUpdateState);
  if (FDisableState != dsInactive && FState != dsInactive) DataEvent(FEnableEvent);
}

void TDataSet::AddDataSource(TDataSource& source) {
  FDataSources.push_back(&source);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource& source) noexcept {
  for (TDataSource*& s : FDataSources)
    if (s == &source) s = nullptr;
  if (FNotifying > 0)
    FSourcesRemoved = true;
  else
    std::erase(FDataSources, nullptr);
}

// ---- master/detail and nesting ----------------------------------------------------------------

bool TDataSet::IsLinkedTo(TDataSource* source) {
  // A chain longer than this cannot be acyclic in practice; treat it as linked.
  constexpr int kMaxDepth = 1000;
  for (int depth = 0; source; ++depth) {
    if (depth >= kMaxDepth) return true;
    TDataSet* ds = source->DataSet();
    if (!ds) return false;
    if (ds == this) return true;
    while (ds->DataSetField() && ds->ParentDataSet()) {
      ds = ds->ParentDataSet();
      if (ds == this) return true;
    }
    source = ds->GetDataSource();
  }
  return false;
}

TDataSet* TDataSet::ParentDataSet() const noexcept { return FDataSetField ? FDataSetField->DataSet() : nullptr; }

void TDataSet::SetDataSetField(TDataSetField* value) {
  if (FDataSetField == value) return;
  if (FDataSetField) {
    if (TDataSet* parent = FDataSetField->DataSet()) std::erase(parent->FNestedDataSets, this);
    FDataSetField->FNestedDataSet = nullptr;
  }
  FDataSetField = value;
  if (value) {
    if (value->FNestedDataSet) value->FNestedDataSet->SetDataSetField(nullptr);
    value->FNestedDataSet = this;
    if (TDataSet* parent = value->DataSet()) parent->FNestedDataSets.push_back(this);
  }
}

}  // namespace lumo
