#include <lumokit/dataset/DataSource.h>

#include <algorithm>

#include <lumokit/dataset/DataSet.h>

namespace lumo {

namespace {

bool IsEditState(TDataSetState s) noexcept { return s == dsEdit || s == dsInsert; }

// Longest master chain followed when looking for a cycle.
constexpr int kMaxLinkDepth = 1000;

}  // namespace

// ---- TDataSource --------------------------------------------------------------------------

TDataSource::~TDataSource() {
  Destroying();
  const std::vector<TDataLink*> links = FDataLinks;
  FDataLinks.clear();
  for (TDataLink* l : links) {
    if (!l) continue;
    l->Detached();
    l->ActiveChanged();
  }
  if (FDataSet) FDataSet->RemoveDataSource(*this);
}

void TDataSource::SetDataSet(TDataSet* value) {
  if (value == FDataSet) return;
  if (value && IsLinkedTo(value)) DatabaseError("Circular datalinks are not allowed");
  // Links see the old data set go (inactive) before the new one comes, so
  // a switch between two browsing data sets is never missed.
  if (FDataSet) {
    FDataSet->RemoveDataSource(*this);
    FDataSet = nullptr;
    UpdateState();
  }
  FDataSet = value;
  if (value) value->AddDataSource(*this);
  UpdateState();
}

void TDataSource::SetEnabled(bool value) {
  FEnabled = value;
  UpdateState();
}

void TDataSource::Edit() {
  if (FAutoEdit && FState == dsBrowse && FDataSet) FDataSet->Edit();
}

bool TDataSource::IsLinkedTo(TDataSet* dataSet) const {
  for (int depth = 0; dataSet; ++depth) {
    if (depth >= kMaxLinkDepth) return true;
    TDataSource* master = dataSet->GetDataSource();
    if (!master) return false;
    if (master == this) return true;
    dataSet = master->DataSet();
  }
  return false;
}

void TDataSource::UpdateState() {
  const TDataSetState state = FEnabled && FDataSet ? FDataSet->State() : dsInactive;
  if (state == FState) return;
  const TDataSetState prior = FState;
  FState = state;
  NotifyDataLinks(deUpdateState, nullptr, 0);
  if (HasState(csDestroying)) return;
  if (OnStateChange) OnStateChange(*this);
  if (prior == dsInactive && OnDataChange) OnDataChange(*this, nullptr);
}

void TDataSource::DataEvent(TDataEvent event, TField* field, int distance) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (FState == dsInactive) return;
  NotifyDataLinks(event, field, distance);
  switch (event) {
    case deFieldChange:
      if (OnDataChange) OnDataChange(*this, field);
      break;
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default:
      break;
  }
}

void TDataSource::NotifyDataLinks(TDataEvent event, TField* field, int distance) {
  struct TScope {
    TDataSource& S;
    explicit TScope(TDataSource& s) : S(s) { ++S.FNotifying; }
    ~TScope() {
      if (--S.FNotifying == 0 && S.FLinksRemoved) {
        std::erase(S.FDataLinks, nullptr);
        S.FLinksRemoved = false;
      }
    }
  } scope(*this);
  for (std::size_t i = 0; i < FDataLinks.size(); ++i)
    if (TDataLink* l = FDataLinks[i]) l->DataEvent(event, field, distance);
}

void TDataSource::AddDataLink(TDataLink& link) {
  FDataLinks.push_back(&link);
  if (FDataSet) FDataSet->UpdateBufferCount();
}

void TDataSource::RemoveDataLink(TDataLink& link) noexcept {
  for (TDataLink*& l : FDataLinks)
    if (l == &link) l = nullptr;
  if (FNotifying > 0)
    FLinksRemoved = true;
  else
    std::erase(FDataLinks, nullptr);
  if (FDataSet && !FDataSet->HasState(csDestroying)) {
    try {
      FDataSet->UpdateBufferCount();
    } catch (...) {
      // A smaller window needs no new rows; a failing re-read leaves the
      // data set as it was.
    }
  }
}

void TDataSource::DataSetDestroyed() noexcept {
  FDataSet = nullptr;
  try {
    UpdateState();
  } catch (...) {
    // Links that fail while being told the data set went away have nothing
    // left to read.
  }
}

// ---- TDataLink --------------------------------------------------------------------------------

TDataLink::~TDataLink() {
  if (FDataSource) FDataSource->RemoveDataLink(*this);
}

TDataSet* TDataLink::DataSet() const noexcept { return FDataSource ? FDataSource->DataSet() : nullptr; }

void TDataLink::SetDataSource(TDataSource* value) {
  if (value == FDataSource) return;
  if (value) {
    if (TDataSet* detail = GetDetailDataSet(); detail && detail->IsLinkedTo(value))
      DatabaseError("Circular datalinks are not allowed");
  }
  if (FDataSource) FDataSource->RemoveDataLink(*this);
  FDataSource = value;
  FFirstRecord = 0;
  if (value) value->AddDataLink(*this);
  UpdateState();
}

void TDataLink::SetReadOnly(bool value) {
  if (FReadOnly == value) return;
  FReadOnly = value;
  UpdateState();
}

void TDataLink::SetBufferCount(int value) {
  value = std::max(value, 1);
  if (FBufferCount == value) return;
  FBufferCount = value;
  if (TDataSet* ds = DataSet()) ds->UpdateBufferCount();
}

int TDataLink::RecordCount() const {
  TDataSet* ds = DataSet();
  if (!ds || !FActive) return 0;
  return std::clamp(ds->FBufferedCount - FFirstRecord, 0, FBufferCount);
}

int TDataLink::ActiveRecord() const {
  TDataSet* ds = DataSet();
  return ds && FActive ? ds->FActiveRecord - FFirstRecord : 0;
}

void TDataLink::SetActiveRecord(int value) {
  TDataSet* ds = DataSet();
  if (!ds || !FActive) return;
  const int index = value + FFirstRecord;
  if (index < 0 || index >= std::max(ds->FBufferedCount, 1))
    throw EArgumentError("Record index out of the link's window");
  ds->FActiveRecord = index;
}

bool TDataLink::Edit() {
  if (!FReadOnly && FDataSource) FDataSource->Edit();
  return FEditing;
}

void TDataLink::UpdateRecord() {
  struct TGuard {
    bool& Flag;
    ~TGuard() { Flag = false; }
  } guard{FUpdating};
  FUpdating = true;
  UpdateData();
}

void TDataLink::UpdateState() {
  const TDataSetState state = FDataSource ? FDataSource->State() : dsInactive;
  SetActive(state != dsInactive);
  SetEditing(FActive && !FReadOnly && IsEditState(state));
}

void TDataLink::SetActive(bool value) {
  if (FActive == value) return;
  FActive = value;
  FFirstRecord = 0;
  ActiveChanged();
}

void TDataLink::SetEditing(bool value) {
  if (FEditing == value) return;
  FEditing = value;
  EditingChanged();
}

void TDataLink::Detached() noexcept {
  FDataSource = nullptr;
  FActive = false;
  FEditing = false;
  FFirstRecord = 0;
}

void TDataLink::DataEvent(TDataEvent event, TField* field, int distance) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (!FActive) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (!FUpdating) RecordChanged(field);
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
      // Move the window with the rows, then just far enough to hold the
      // active row.
      int count = 0;
      TDataSet* ds = DataSet();
      if (ds && FDataSource->State() != dsSetKey) {
        const int active = ds->FActiveRecord;
        const int first = FFirstRecord + distance;
        const int last = first + FBufferCount - 1;
        if (active > last)
          count = active - last;
        else if (active < first)
          count = active - first;
        FFirstRecord = std::max(first + count, 0);
      }
      if (event == deDataSetChange)
        DataSetChanged();
      else if (event == deDataSetScroll)
        DataSetScrolled(count);
      else
        LayoutChanged();
      break;
    }
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(field);
      break;
    default:
      break;
  }
}

// ---- TFieldDataLink ---------------------------------------------------------------------------------

void TFieldDataLink::SetFieldName(std::string value) {
  if (value == FFieldName) return;
  FFieldName = std::move(value);
  UpdateField();
}

bool TFieldDataLink::CanModify() const { return !ReadOnly() && FField && FField->CanModify(); }

void TFieldDataLink::Reset() { RecordChanged(nullptr); }

void TFieldDataLink::UpdateField() {
  TDataSet* ds = DataSet();
  FField = Active() && ds ? ds->FindField(FFieldName) : nullptr;
  FModified = false;
  if (OnDataChange) OnDataChange();
}

void TFieldDataLink::ActiveChanged() {
  UpdateField();
  if (OnActiveChange) OnActiveChange();
}

void TFieldDataLink::EditingChanged() {
  if (OnEditingChange) OnEditingChange();
}

void TFieldDataLink::LayoutChanged() { UpdateField(); }

void TFieldDataLink::RecordChanged(TField* field) {
  if (field && field != FField) return;
  FModified = false;
  if (OnDataChange) OnDataChange();
}

void TFieldDataLink::UpdateData() {
  if (!FModified) return;
  if (FField && OnUpdateData) OnUpdateData();
  FModified = false;
}

}  // namespace lumo
