// TDataSet: the abstract data set of the framework. It keeps the state
// machine (inactive, browse, edit, insert …), a window of record buffers
// around the current row, navigation, editing with its before/after events
// and error events, calculated and lookup fields, filtering switches, and
// the notifications it sends to its data sources and their links. A
// subclass supplies the cursor: it opens and closes it, fills record
// buffers, moves between rows, reads and writes field values in a buffer,
// and stores changes.
//
// Decisions:
// - Record buffers are zeroed raw blocks of RecordBufferSize() bytes,
//   owned by the data set (unique_ptr) and kept in a window of
//   BufferCount() buffers plus one spare; the window moves by rotating
//   pointers, never by copying rows. AllocRecordBuffer/FreeRecordBuffer
//   let the subclass prepare a new block and release what a block holds
//   before it is freed. Buffers live from open to close; a subclass closes
//   the data set in its destructor (the base then frees memory only).
// - The window has as many buffers as the data link that asks for most
//   (BufferCount of a link), at least one.
// - Bookmarks are byte vectors of BookmarkSize() bytes, whatever the
//   subclass keeps in them; an empty vector is "no bookmark".
// - Events are public std::function members named as the events; a
//   handler may raise: an exception from a Before… handler stops the
//   operation, one from an After… handler passes to the caller once the
//   data set is consistent. OnFilterRecord is a property, because
//   changing it refilters.
// - Error events (OnPostError, OnEditError, OnDeleteError) see database
//   errors (EDatabaseError and descendants) only; other exceptions pass.
// - DataEvent notifications go to data sources in the order they were
//   attached; a source or link that detaches while being notified is
//   skipped, never touched again.
// - Scroll and check-browse-mode notifications are sent only when data
//   sources or nested data sets follow the data set.
// - DisableControls/EnableControls nest; while disabled, data events are
//   held back, and the outermost EnableControls sends one state change
//   (when the state differs) and one data-set change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/Component.h>
#include <lumokit/core/Variant.h>
#include <lumokit/dataset/DB.h>
#include <lumokit/dataset/Field.h>
#include <lumokit/dataset/FieldDefs.h>

namespace lumo {

class TDataSource;
class TDataLink;
class TDataSetField;
class TStream;

using TRecordBuffer = std::uint8_t*;
using TBookmark = std::vector<std::uint8_t>;

using TDataSetNotifyEvent = std::function<void(TDataSet& dataSet)>;
using TDataSetErrorEvent = std::function<void(TDataSet& dataSet, EDatabaseError& error, TDataAction& action)>;
using TFilterRecordEvent = std::function<void(TDataSet& dataSet, bool& accept)>;

class TDataSet : public TComponent {
 public:
  TDataSet();
  ~TDataSet() override;
  std::string ClassName() const override { return "TDataSet"; }

  // ---- opening and state ----
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Active() const noexcept { return FState != dsInactive && FState != dsOpening; }
  virtual void SetActive(bool value);
  TDataSetState State() const noexcept { return FState; }
  bool Modified() const noexcept { return FModified; }
  // True when there is no current record.
  bool IsEmpty() const noexcept { return FActiveRecord >= FBufferedCount; }
  bool Bof() const noexcept { return FBOF; }
  bool Eof() const noexcept { return FEOF; }
  bool CanModify() { return GetCanModify(); }
  // Unsorted, unfiltered record numbers are meaningful (RecNo, SetRecNo).
  virtual bool IsSequenced() { return true; }
  bool AutoCalcFields() const noexcept { return FAutoCalcFields; }
  void SetAutoCalcFields(bool value) noexcept { FAutoCalcFields = value; }

  // ---- navigation ----
  void First();
  void Last();
  void Next() {
    if (StepOn() < 0) MoveBy(1);
  }
  void Prior() { MoveBy(-1); }
  // Moves by `distance` rows; returns the distance moved.
  int MoveBy(int distance);
  // Filtered navigation helpers; true when a record was found.
  bool FindFirst();
  bool FindLast();
  bool FindNext();
  bool FindPrior();
  bool Found() const noexcept { return FFound; }
  // 1-based number of the current record (0 when there is none).
  int RecNo() { return GetRecNo(); }
  void SetRecNo(int value) { SetRecNoValue(value); }
  int RecordCount() { return GetRecordCount(); }
  // Empty when there is no current record.
  TBookmark GetBookmark();
  void GotoBookmark(const TBookmark& bookmark);
  virtual bool BookmarkValid(const TBookmark& bookmark);
  // <0, 0, >0 as b1 lies before, at or after b2; empty bookmarks first.
  virtual int CompareBookmarks(const TBookmark& b1, const TBookmark& b2);
  int BookmarkSize() const noexcept { return FBookmarkSize; }

  // ---- editing ----
  void Edit();
  void Insert();
  void Append();
  void Post();
  virtual void Cancel();
  void Delete();
  void Refresh();
  void Resync(TResyncMode mode);
  // Asks controls to write pending edits into their fields.
  void UpdateRecord();
  // Posts (or, unmodified, cancels) an edit in progress.
  void CheckBrowseMode();
  // Adds a record with the given field values (in field order; Empty
  // values are left as the new record has them) and posts it.
  void InsertRecord(const std::vector<Variant>& values);
  void AppendRecord(const std::vector<Variant>& values);
  // Sets every field of the record being edited to null.
  void ClearFields();
  void CheckActive() const;
  void CheckInactive() const;

  // ---- fields ----
  TFields& Fields() noexcept { return FFields; }
  const TFields& Fields() const noexcept { return FFields; }
  TFieldDefs& FieldDefs() noexcept { return FFieldDefs; }
  int FieldCount() const noexcept { return FFields.Count(); }
  TField* FindField(std::string_view name) const { return FFields.FindField(name); }
  TField& FieldByName(std::string_view name) const { return FFields.FieldByName(name); }
  // The fields named in a ';'-separated list ("Field '%s' not found" for
  // an unknown name).
  std::vector<TField*> GetFieldList(std::string_view names) const;
  // One field: its value; several: an array of their values.
  Variant FieldValues(std::string_view names) const;
  void SetFieldValues(std::string_view names, const Variant& value);
  // Adds a persistent field (the data set must be inactive); returns it.
  TField& AddField(std::unique_ptr<TField> field);
  template <class F>
  F& AddField(std::string name, TFieldKind kind = fkData) {
    auto f = std::make_unique<F>();
    f->SetFieldName(std::move(name));
    f->SetFieldKind(kind);
    return static_cast<F&>(AddField(std::move(f)));
  }
  // True while the fields were created by the data set from its
  // definitions (they go when it closes).
  bool DefaultFields() const noexcept { return FDefaultFields; }
  // Framework calculated-field area: bytes after the subclass's record.
  int CalcFieldsSize() const noexcept { return FCalcFieldsSize; }

  // ---- filtering ----
  const std::string& Filter() const noexcept { return FFilterText; }
  void SetFilter(const std::string& value) { SetFilterText(value); }
  bool Filtered() const noexcept { return FFiltered; }
  virtual void SetFiltered(bool value);
  TFilterOptions FilterOptions() const noexcept { return FFilterOptions; }
  virtual void SetFilterOptions(TFilterOptions value);
  const TFilterRecordEvent& OnFilterRecord() const noexcept { return FOnFilterRecord; }
  virtual void SetOnFilterRecord(TFilterRecordEvent value);

  // ---- searching ----
  // Moves to the first record whose key fields match; false (position
  // kept) when there is none. The base raises "Operation not supported".
  virtual bool Locate(std::string_view keyFields, const Variant& keyValues, TLocateOptions options);
  // The result field values of the first matching record, without moving;
  // Null when none matches.
  virtual Variant Lookup(std::string_view keyFields, const Variant& keyValues, std::string_view resultFields);

  // ---- controls ----
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const noexcept { return FDisableCount > 0; }
  int DataSourceCount() const noexcept { return static_cast<int>(FDataSources.size()); }

  // ---- blobs ----
  // A stream over a blob field of the active record. The base raises
  // "Operation not supported".
  virtual std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode);

  // ---- master/detail and nesting ----
  // The data source this data set follows as a detail (nullptr here).
  virtual TDataSource* GetDataSource() { return nullptr; }
  // True when following `source` would make a data set follow itself.
  bool IsLinkedTo(TDataSource* source);
  TDataSetField* DataSetField() const noexcept { return FDataSetField; }
  // Nests this data set in a field of a parent data set (nullptr unnests).
  void SetDataSetField(TDataSetField* value);
  TDataSet* ParentDataSet() const noexcept;
  const std::vector<TDataSet*>& NestedDataSets() const noexcept { return FNestedDataSets; }

  // ---- field values (called by the fields) ----
  // Reads the value of `field` for the current state into `buffer` (its
  // native form; nullptr only asks whether there is a value); false when
  // there is none.
  virtual bool GetFieldData(const TField& field, void* buffer) = 0;
  // Writes the native form (nullptr: null) into the buffer of the state.
  virtual void SetFieldData(TField& field, const void* buffer) = 0;
  // The value of a field seen in another state (old, new, current value).
  Variant GetStateFieldValue(TDataSetState state, const TField& field);
  void SetStateFieldValue(TDataSetState state, TField& field, const Variant& value);
  // Sends a notification to the links (and handles its own part of it).
  virtual void DataEvent(TDataEvent event, TField* field = nullptr, int distance = 0);

  // ---- events ----
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
  TDataSetNotifyEvent OnNewRecord, OnCalcFields;
  TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

 protected:
  // ---- what a subclass supplies ----
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() = 0;
  virtual void InternalInitFieldDefs() = 0;
  virtual std::size_t RecordBufferSize() = 0;
  // Prepares a new zeroed buffer / releases what a buffer holds.
  virtual void AllocRecordBuffer(TRecordBuffer buffer) { (void)buffer; }
  virtual void FreeRecordBuffer(TRecordBuffer buffer) noexcept { (void)buffer; }
  // Fills `buffer` with the current, next or prior row and makes it
  // current; doCheck: raise on errors rather than report grError.
  virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalGotoBookmark(const std::uint8_t* bookmark) = 0;
  virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
  virtual void GetBookmarkData(TRecordBuffer buffer, std::uint8_t* data) = 0;
  virtual void SetBookmarkData(TRecordBuffer buffer, const std::uint8_t* data) = 0;
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) = 0;
  virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag value) = 0;
  virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
  virtual void InternalAddRecord(TRecordBuffer buffer, bool append) = 0;
  virtual void InternalDelete() = 0;
  virtual void InternalPost();
  virtual void InternalCancel() {}
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalRefresh() {}
  virtual void InternalHandleException();
  virtual int GetRecordCount() { return -1; }
  virtual int GetRecNo() { return -1; }
  virtual void SetRecNoValue(int value) { (void)value; }
  virtual bool GetCanModify() { return true; }
  virtual void InitRecord(TRecordBuffer buffer);
  virtual void ClearCalcFields(TRecordBuffer buffer);
  virtual void CalculateFields(TRecordBuffer buffer);
  virtual void DoOnNewRecord();
  virtual void DoAfterOpen();
  virtual void OpenCursor(bool infoQuery);
  virtual void CloseCursor();
  virtual void SetFilterText(const std::string& value);
  virtual bool FindRecord(bool restart, bool goForward);
  virtual std::unique_ptr<TField> GetFieldClass(TFieldType type);
  virtual void CreateFields();
  virtual void DestroyFields();
  // Binds (or unbinds) fields to their definitions: field numbers and the
  // calculated-field area.
  virtual void BindFields(bool binding);
  // Checks the current value of every required data field.
  void CheckRequiredFields();

  // ---- buffers ----
  TRecordBuffer ActiveBuffer() const noexcept {
    return FBuffers.empty() ? nullptr : FBuffers[static_cast<std::size_t>(FActiveRecord)];
  }
  TRecordBuffer CalcBuffer() const noexcept { return FCalcBuffer; }
  // A spare buffer for calculations outside the window (lookups …).
  TRecordBuffer TempBuffer() const noexcept { return FTempBuffer.get(); }
  TRecordBuffer Buffer(int index) const noexcept { return FBuffers[static_cast<std::size_t>(index)]; }
  int BufferCount() const noexcept { return FBufferCount; }
  // Buffers that hold rows; ActiveRecordIndex is the active one's index.
  int BufferedCount() const noexcept { return FBufferedCount; }
  int ActiveRecordIndex() const noexcept { return FActiveRecord; }
  void SetBookmarkSize(int value) noexcept { FBookmarkSize = value; }
  void SetState(TDataSetState value);
  void SetModified(bool value) noexcept { FModified = value; }
  void SetFound(bool value) noexcept { FFound = value; }
  void UpdateCursorPos();
  void CursorPosChanged() noexcept { FCurrentRecord = -1; }
  void ClearBuffers() noexcept;
  void GetCalcFields(TRecordBuffer buffer);
  bool HasCalcFields() const noexcept { return FHasCalcFields; }
  // Points the calculated-fields state at `buffer` (with WithTempState).
  void SetCalcBuffer(TRecordBuffer buffer) noexcept { FCalcBuffer = buffer; }
  // Data sources or nested data sets follow this data set (scroll and
  // browse-mode notifications go nowhere without them).
  bool HasFollowers() const noexcept { return !FDataSources.empty() || !FNestedDataSets.empty(); }
  void DoBeforeScroll() { Fire(BeforeScroll); }
  void DoAfterScroll() { Fire(AfterScroll); }

  // Runs `fn` in `state` without notifying; restores the state after.
  template <class Fn>
  decltype(auto) WithTempState(TDataSetState state, Fn&& fn) {
    struct TRestore {
      TDataSet& DS;
      TDataSetState Saved;
      ~TRestore() { DS.FState = Saved; }
    } restore{*this, FState};
    FState = state;
    return fn();
  }

 private:
  using TRecordBufferPtr = std::unique_ptr<std::uint8_t[]>;
  friend class TDataSource;
  friend class TDataLink;
  friend class TFieldDefs;
  friend class TFieldDef;

  // Buffer window.
  void SetBufferCount(int value);
  void UpdateBufferCount();
  void ResizeBufferList(int count);
  void MoveBuffer(int from, int to);
  void ActivateBuffers() noexcept;
  void SetCurrentRecord(int index);
  bool GetNextRecord();
  // The step of a walk with nobody following and no scroll handlers, where
  // the window is the one row, which trades places with the spare buffer:
  // 1 moved, 0 at the end; -1 when the step is not of that kind.
  int StepOn() {
    if (FState != dsBrowse || FBufferedCount != 1 || FBufferCount != 1 || FCurrentRecord != 0 || FEOF ||
        HasFollowers() || BeforeScroll || AfterScroll)
      return -1;
    FBOF = false;
    if (GetRecord(FBuffers[1], gmNext, true) != grOK) {
      CursorPosChanged();
      FEOF = true;
      return 0;
    }
    std::swap(FBuffers[0], FBuffers[1]);
    return 1;
  }
  // MoveBy after its browse-mode check and BeforeScroll.
  int MoveRows(int distance);
  bool GetPriorRecord();
  int GetNextRecords();
  int GetPriorRecords();
  // Open and close.
  void DoInternalOpen();
  void OpenCursorComplete();
  // Editing helpers.
  void BeginInsertAppend();
  void EndInsertAppend();
  void AddRecord(const std::vector<Variant>& values, bool append);
  void CheckOperation(void (TDataSet::*operation)(), const TDataSetErrorEvent& onError);
  void CheckCanModify();
  void Fire(const TDataSetNotifyEvent& event) {
    if (event) event(*this);
  }
  void CalculateLookupValue(TField& field);
  // Data sources.
  void AddDataSource(TDataSource& source);
  void RemoveDataSource(TDataSource& source) noexcept;

  TRecordBufferPtr NewBuffer();

  TDataSetState FState = dsInactive;
  bool FModified = false;
  bool FBOF = true;
  bool FEOF = true;
  bool FFound = false;
  bool FAutoCalcFields = true;
  bool FInternalOpenComplete = false;
  bool FDefaultFields = false;
  bool FHasCalcFields = false;
  int FCalcFieldsSize = 0;
  int FBookmarkSize = 0;

  // The window in row order (FBufferCount + 1 once open; moving rows moves
  // these pointers) and the blocks they point to.
  std::vector<TRecordBuffer> FBuffers;
  std::vector<TRecordBufferPtr> FBufferBlocks;
  TRecordBufferPtr FTempBuffer;
  TRecordBuffer FCalcBuffer = nullptr;
  int FBufferCount = 0;
  int FBufferedCount = 0;  // buffers holding rows
  int FActiveRecord = 0;
  int FCurrentRecord = -1;  // the buffer the cursor is on, -1 unknown

  TFields FFields;
  TFieldDefs FFieldDefs;

  std::string FFilterText;
  bool FFiltered = false;
  TFilterOptions FFilterOptions;
  TFilterRecordEvent FOnFilterRecord;

  int FDisableCount = 0;
  TDataSetState FDisableState = dsInactive;
  TDataEvent FEnableEvent = deDataSetChange;

  std::vector<TDataSource*> FDataSources;  // not owning
  int FNotifying = 0;
  bool FSourcesRemoved = false;

  TDataSetField* FDataSetField = nullptr;  // not owning
  std::vector<TDataSet*> FNestedDataSets;   // not owning
};

// The application's handler for exceptions that a data set reports
// instead of raising (a failing filter handler …); without one they are
// written to stderr.
void SetHandleExceptionHook(std::function<void(std::exception_ptr)> hook);

}  // namespace lumo
