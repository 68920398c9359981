// TMemDataSet: the rows of a record store (TData, normally TMemData) as a
// data set of the framework, so that fields, data sources and links work
// over rows held in memory. It adds cached updates with apply, commit,
// cancel and restore; the updater hook that writes each change to a
// database (TDataSetUpdater, reached through TDataSetService); local
// sorting, filtering by expression or event, a local master/detail filter
// with an optional delay; a Locate that bisects the local index; blob
// streams over the store's large objects; and the XML rowset export.
// The SQL data set derives from it and supplies a store that fetches.
//
// Decisions:
// - Record buffer layout: the store's row image (RecordSize bytes), the
//   store's calculated area (CalcRecordSize, unless calculated values are
//   cached in the row), the framework's calculated area for calculated
//   fields without a store descriptor, then TRecInfo and TRecBookmark,
//   each at an offset aligned for its type. Offsets, sizes and the
//   bookmark size all come from sizeof/alignof. Window buffers hold live
//   TRecInfo/TRecBookmark objects there (constructed when the buffer is
//   made); any other buffer's typed parts are read and written with memcpy.
// - Field buffers are the store's exchange forms (FieldTypes.h), so values
//   move without conversion. Text and binary copies never exceed the
//   field's buffer: a value kept outside the row (Ext types) is copied at
//   most to the field's size.
// - Buffers that hold rows with complex values (blobs, heap strings,
//   variants) hold their own references while they do; a released buffer
//   is left blank (every field null, no handle), never with a freed one.
// - A nested data set recognises that its parent stayed on the same row by
//   comparing the parent's bookmark bytes (not a sum of them).
// - Number ranges from precision are clamped to the field type's own range
//   (10^length - 1 can exceed what the type holds).
// - Locate bisects also for a single key value (a one-element key list).
// - The detail refresh delay needs a timer service (KxTimer.h); without one
//   the detail refreshes at once.
// - Writing a structured-object or reference field through a field is not
//   supported ("Data type is not supported"); reading is.
// - Refresh of a data set over a store filled by its owner re-applies the
//   filter and the order (reopening such a store would drop its rows); a
//   data set over a fetching store overrides DataReopen to reopen it.
// - A bookmark whose row and record number are both gone raises "Record
//   not found" instead of acting on whatever row is current.
// - A new row has no old values (null), not those of its neighbour.
// - A key value that does not convert exactly to the field's type (2.5
//   for an integer field) is compared as it is, never rounded onto a
//   stored value.
// - Lookup searches the rows as they are filtered now (it does not
//   refilter for each call, which lookup fields make per row).
// - The master of a local master/detail link must be a memory data set
//   while it is active; a closed one of any class just shows every row.
// - DeferredPost does nothing in cached-updates mode.
// - The service creates its updater on first use (a subclass's
//   CreateDataSetUpdater cannot run inside the base constructor). A data
//   set whose provider changes installs the new service with
//   SetDataSetService.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/KxTimer.h>
#include <lumokit/data/MemData.h>
#include <lumokit/dataset/DataSet.h>
#include <lumokit/dataset/DataSource.h>
#include <lumokit/dataset/FieldTypes.h>

namespace lumo {

class TBlob;
class TBlobStream;
class TDataSetService;
class TMemDataSet;
class XmlTextWriter;

// ---- process-wide switches ---------------------------------------------------------

// After open, a data-set-change notification goes to the links (default true).
extern bool SendDataSetChangeEventAfterOpen;
// An OnUpdateRecord handler that leaves uaFail does not raise "Update
// failed" (default false).
extern bool DoNotRaiseExcetionOnUaFail;
// Default expressions are assigned as written, quotes included (default false).
extern bool DefaultExpressionOldBehavior;
// LocateEx always re-reads the buffers without centring the row (default false).
extern bool LocateExOldBehavior;
// A local detail shows rows while its active master is empty, and follows
// master field changes during a master insert (default false).
extern bool RefreshParamsOnInsert;

// ---- buffer parts ---------------------------------------------------------------------

// What the data set keeps about each buffered row.
struct TRecInfo {
  std::int32_t RecordNumber = -1;  // 1-based number in the store, -1 for a new row
  TUpdateStatus UpdateStatus = usUnmodified;
  TBookmarkFlag BookmarkFlag = bfCurrent;
  bool RefComplexFields = false;  // the buffer holds its own references to complex values
};

// ---- field type map -----------------------------------------------------------------------

// Between the store's data-type codes and field types. Providers derive
// their own map and return it from GetFieldTypeMapClass.
class TFieldTypeMap {
 public:
  virtual ~TFieldTypeMap() = default;
  // Raises "Unknown data type" for a code without a field type. Unsigned
  // 64-bit values are decimal fields (ftFMTBcd): no integer field holds
  // values above 2^63 - 1, and the store keeps them exact.
  virtual TFieldType GetFieldType(std::uint16_t dataType) const;
  // dtUnknown for a field type without a data type.
  virtual std::uint16_t GetDataType(TFieldType fieldType) const;
  static const TFieldTypeMap& Default();
};

// ---- updater and service ------------------------------------------------------------------

using TUpdateRecordEvent = std::function<void(TDataSet& dataSet, TUpdateKind kind, TUpdateAction& action)>;
using TUpdateErrorEvent =
    std::function<void(TDataSet& dataSet, EDatabaseError& error, TUpdateKind kind, TUpdateAction& action)>;

// Writes the data set's changes to a database. The base does nothing and
// reports success; the SQL layer's updater runs statements.
class TDataSetUpdater {
 public:
  explicit TDataSetUpdater(TDataSetService& owner);
  TDataSetUpdater(const TDataSetUpdater&) = delete;
  TDataSetUpdater& operator=(const TDataSetUpdater&) = delete;
  virtual ~TDataSetUpdater();

  virtual bool PerformAppend() { return true; }
  virtual bool PerformDelete() { return true; }
  virtual bool PerformUpdate() { return true; }
  virtual bool CacheChanged() { return true; }
  virtual bool CacheApplied() { return true; }
  virtual bool CacheCanceled() { return true; }
  // Changes are collected and written in batches.
  virtual bool BatchUpdate() { return false; }
  virtual bool CanFlushBatch() { return false; }
  virtual void FlushBatch() {}

  // What the record store calls (through the data set's hooks).
  void DoPerformAppend();
  void DoPerformDelete();
  void DoPerformUpdate();
  void DoCacheChanged();
  void DoCacheApplied();
  void DoCacheCanceled();
  // Applies one cached change: OnUpdateRecord, or the default write, and
  // OnUpdateError for database errors.
  void DoApplyRecord(TUpdateRecKind kind, TUpdateRecAction& action, bool lastItem);

  TMemDataSet& DataSet() const noexcept { return *FDataSet; }
  TDataSetService& DataSetService() const noexcept { return *FDataSetService; }

 protected:
  TMemDataSet* FDataSet;
  TDataSetService* FDataSetService;
};

// The provider's services to a data set: its updater, field classes,
// number ranges, cursor preparation and the XML export.
class TDataSetService {
 public:
  explicit TDataSetService(TMemDataSet& owner);
  TDataSetService(const TDataSetService&) = delete;
  TDataSetService& operator=(const TDataSetService&) = delete;
  virtual ~TDataSetService();

  virtual std::unique_ptr<TDataSetUpdater> CreateDataSetUpdater();
  virtual void SetDataSetUpdater(std::unique_ptr<TDataSetUpdater> value);
  // Sets the value range of the definition's field from its precision.
  virtual void SetNumberRange(TFieldDef& fieldDef);
  virtual std::unique_ptr<TField> GetFieldClass(TFieldType fieldType, std::uint16_t dataType);
  virtual void PreInitCursor() {}
  // The s:datatype element of a field (its attributes).
  virtual void WriteFieldXMLDataType(TField& field, TFieldDesc* desc, XmlTextWriter& writer);
  // The attributes of a field's s:AttributeType element (after name).
  virtual void WriteFieldXMLAttributeType(TField& field, TFieldDesc* desc, XmlTextWriter& writer);
  // The text of a non-null value in a z:row.
  virtual std::string GetFieldXMLValue(TField& field, TFieldDesc* desc);
  // Writes the rows as an XML rowset.
  virtual void SaveToXML(TStream& stream);
  // Property codes of a provider; the base knows none.
  virtual void SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);

  TMemDataSet& DataSet() const noexcept { return *FDataSet; }
  TDataSetUpdater& Updater();

 protected:
  TMemDataSet* FDataSet;
  std::unique_ptr<TDataSetUpdater> FUpdater;
};

// The memory data set's link to its master's data source.
class TDADetailDataLink : public TDetailDataLink {
 public:
  explicit TDADetailDataLink(TMemDataSet& dataSet) : FDataSet(&dataSet) {}

 protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void RecordChanged(TField* field) override;
  TDataSet* GetDetailDataSet() override;

 private:
  TMemDataSet* FDataSet;
};

// A value in the form the store compares with a field (CompareFieldValue).
struct TCompareKey {
  std::uint16_t Type = dtUnknown;
  bool IsNull = false;
  std::vector<std::uint8_t> Bytes;
  std::string Text;
  std::u16string Wide;
  Variant Value;
  const void* Ptr() const noexcept;
};

// ---- the data set ---------------------------------------------------------------------------

class TMemDataSet : public TDataSet {
 public:
  TMemDataSet();
  ~TMemDataSet() override;
  std::string ClassName() const override { return "TMemDataSet"; }

  // The record store (created on first use).
  TData& Data();

  // ---- properties ----
  TDataSource* MasterSource() const noexcept { return FDataLink->DataSource(); }
  void SetMasterSource(TDataSource* value);
  const std::string& MasterFields() const noexcept { return FMasterFields; }
  void SetMasterFields(const std::string& value);
  const std::string& DetailFields() const noexcept { return FDetailFields; }
  void SetDetailFields(const std::string& value);
  int DetailDelay() const noexcept { return FDetailDelay; }
  void SetDetailDelay(int value);
  bool Prepared();
  void SetPrepared(bool value);
  bool CachedUpdates() const noexcept { return FCachedUpdates; }
  void SetCachedUpdates(bool value);
  bool UpdatesPending();
  bool LocalUpdate() const noexcept { return FLocalUpdate; }
  void SetLocalUpdate(bool value);
  // Requires cached updates ("Not in cached update mode").
  TUpdateRecordTypes UpdateRecordTypes() const;
  void SetUpdateRecordTypes(TUpdateRecordTypes value);
  bool SparseArrays() const noexcept { return FSparseArrays; }
  void SetSparseArrays(bool value);
  bool LocalConstraints() const noexcept { return FLocalConstraints; }
  void SetLocalConstraints(bool value) noexcept { FLocalConstraints = value; }
  const std::string& IndexFieldNames() const noexcept { return FIndexFieldNames; }
  void SetIndexFieldNames(const std::string& value);
  bool NumberRange() const noexcept { return FNumberRange; }
  void SetNumberRange(bool value) noexcept { FNumberRange = value; }
  bool CacheCalcFields() const noexcept { return FCacheCalcFields; }
  void SetCacheCalcFields(bool value);

  TUpdateErrorEvent OnUpdateError;
  TUpdateRecordEvent OnUpdateRecord;

  // ---- operations ----
  virtual void Prepare();
  virtual void UnPrepare();
  void CheckPrepared();
  virtual void ApplyUpdates();
  virtual void ApplyUpdates(TUpdateRecKinds kinds);
  void CommitUpdates();
  void CancelUpdates();
  void RestoreUpdates();
  void RevertRecord();
  TUpdateStatus UpdateStatus();
  TUpdateRecAction UpdateResult();
  // Writes the current edit through the updater while the data set stays
  // in its edit state; the following Post writes again as an update.
  void DeferredPost();

  bool Locate(std::string_view keyFields, const Variant& keyValues, TLocateOptions options) override;
  bool LocateEx(std::string_view keyFields, const Variant& keyValues, TLocateExOptions options);
  bool LocateEx(const std::vector<TField*>& keyFields, const Variant& keyValues, TLocateExOptions options);
  Variant Lookup(std::string_view keyFields, const Variant& keyValues, std::string_view resultFields) override;

  // The store's blob of a blob field in the current buffer (nullptr without
  // one); raises "Field is not BLOB" for other fields.
  TBlob* GetBlob(const TField& field);
  TBlob* GetBlob(std::string_view fieldName);
  // The store's descriptor of a field (nullptr for fields without one).
  virtual TFieldDesc* GetFieldDesc(const TField& field);
  void SaveToXML(const std::string& fileName);
  void SaveToXML(TStream& stream);

  bool BookmarkValid(const TBookmark& bookmark) override;
  int CompareBookmarks(const TBookmark& b1, const TBookmark& b2) override;
  std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override;
  bool IsSequenced() override { return true; }
  TDataSource* GetDataSource() override { return MasterSource(); }
  void SetFiltered(bool value) override;
  void SetFilterOptions(TFilterOptions value) override;
  void SetOnFilterRecord(TFilterRecordEvent value) override;
  void DataEvent(TDataEvent event, TField* field = nullptr, int distance = 0) override;

  bool GetFieldData(const TField& field, void* buffer) override;
  void SetFieldData(TField& field, const void* buffer) override;

  TDataSetService& DataSetService();
  // Copies the memory data set's settings to another one.
  virtual void AssignTo(TMemDataSet& dest) const;
  // The pairs of MasterFields/DetailFields that exist on both sides.
  void GetDetailLinkFields(std::vector<TField*>& masterFields, std::vector<TField*>& detailFields);

 protected:
  // ---- what this class introduces ----
  virtual void CreateIRecordSet();
  virtual void SetIRecordSet(std::unique_ptr<TData> data);
  virtual std::unique_ptr<TDataSetService> GetDataSetServiceClass();
  virtual void SetDataSetService(std::unique_ptr<TDataSetService> service);
  virtual void DataReopen();
  virtual const TFieldTypeMap& GetFieldTypeMapClass();
  virtual bool NeedCreateFieldDefs();
  virtual void CreateFieldDefs();
  virtual bool NeedComplexUpdateFieldDefList() { return false; }
  virtual std::string GetObjectFieldDefName(const TFieldDesc& parent, int index, const std::string& name);
  virtual int GetFielDefSize(TFieldType fieldType, const TFieldDesc& desc);
  virtual TFieldType GetFieldType(std::uint16_t dataType);
  virtual TFieldType GetFieldType(const TFieldDesc& desc, int& size, int& length, int& scale);
  virtual std::unique_ptr<TField> GetFieldClass(TFieldType fieldType, std::uint16_t dataType);
  virtual void InternalDeferredPost();
  virtual void SetDefaultExpressionValues();
  // Runs `assign` as the assignment of default values: read-only fields
  // take values too.
  void AssignDefaultValues(const std::function<void()>& assign);
  // Converts a value to the descriptor's compare form; false when it
  // cannot be converted exactly (the key then compares as text). Raises
  // "Cannot convert type" when not even that is possible.
  virtual bool CopyFieldValue(const Variant& value, TCompareKey& key, const TFieldDesc& desc, bool useFieldType);
  // Rebuilds the local master/detail links; true when they changed.
  virtual bool MDLinksRefreshed(TField* field);
  virtual void RefreshDetail();
  virtual bool UseLocalMasterDetailFilter();
  virtual void MDPropertiesChanged();

  // ---- the framework's operations ----
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() override;
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void InternalInitFieldDefs() override;
  std::size_t RecordBufferSize() override { return FRecBufSize; }
  void AllocRecordBuffer(TRecordBuffer buffer) override;
  void FreeRecordBuffer(TRecordBuffer buffer) noexcept override;
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
  // GetRecord's steps other than a forward one over plain rows.
  TGetResult StepToRecord(TRecordBuffer buffer, TGetMode mode);
  // GetRecord for the current row, or with references or calculated
  // fields to fill (the walk over plain rows is GetRecord's own).
  TGetResult ReadRecord(TRecordBuffer buffer, TGetMode mode);
  void InternalFirst() override;
  void InternalLast() override;
  void InternalGotoBookmark(const std::uint8_t* bookmark) override;
  void InternalSetToRecord(TRecordBuffer buffer) override;
  void GetBookmarkData(TRecordBuffer buffer, std::uint8_t* data) override;
  void SetBookmarkData(TRecordBuffer buffer, const std::uint8_t* data) override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag value) override;
  void InitRecord(TRecordBuffer buffer) override;
  void InternalInitRecord(TRecordBuffer buffer) override;
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalAddRecord(TRecordBuffer buffer, bool append) override;
  void InternalRefresh() override;
  void InternalHandleException() override;
  void SetFilterText(const std::string& value) override;
  bool FindRecord(bool restart, bool goForward) override;
  int GetRecordCount() override;
  int GetRecNo() override;
  void SetRecNoValue(int value) override;
  bool GetCanModify() override { return true; }
  void ClearCalcFields(TRecordBuffer buffer) override;
  std::unique_ptr<TField> GetFieldClass(TFieldType type) override;
  void DoOnNewRecord() override;
  void DoAfterOpen() override;

  // ---- helpers for subclasses ----
  // The buffer that field reads and writes address in the current state.
  TRecordBuffer GetActiveRecBuf();
  TRecInfo GetRecInfo(TRecordBuffer buffer) const noexcept;
  void SetRecInfo(TRecordBuffer buffer, const TRecInfo& info) const noexcept;
  // Releases the references a buffer holds and leaves it blank.
  void ReleaseBuffer(TRecordBuffer buffer) noexcept;
  // Releases the references of every buffer of the window.
  void FreeRefBuffers() noexcept;
  void CheckDataSetService();
  bool InCacheProcessing() const noexcept { return FInCacheProcessing; }
  bool InDeferredPost() const noexcept { return FInDeferredPost; }
  bool InInserting() const noexcept { return FInInserting; }
  bool InEditing() const noexcept { return FInEditing; }
  int RecInfoOfs() const noexcept { return FRecInfoOfs; }
  int BookmarkOfs() const noexcept { return FBookmarkOfs; }
  bool CreateCalcFieldDescs() const noexcept { return FCreateCalcFieldDescs; }
  void SetCreateCalcFieldDescs(bool value) { FCreateCalcFieldDescs = value; }

 private:
  friend class TBlobStream;
  friend class TDataSetUpdater;
  friend class TDataSetService;
  friend class TDADetailDataLink;
  friend class TMemDSUtils;
  friend void WriteRowsetXML(TMemDataSet& dataSet, TDataSetService& service, TStream& stream);

  struct TCalcMapping {
    TField* Field;
    TFieldDesc* Desc;
  };
  // How a store field reaches a field's buffer.
  struct TFieldAccess {
    // akUnsigned64: an unsigned 64-bit store value shown as a decimal field.
    enum TKind : std::uint8_t { akFixed, akBounded, akOutside, akHandle, akUnsigned64 } Kind = akFixed;
    int Size = 0;
  };
  struct TLocalMDLink {
    int FieldNo = 0;
    bool IsNull = true;
    Variant MasterValue;
    TCompareKey Key;
  };
  // An owned temporary record buffer released (and its references freed)
  // on every path.
  class TTempBuffer;
  // Restores the Modified flag when a scope ends.
  class TModifiedGuard {
   public:
    explicit TModifiedGuard(TMemDataSet& dataSet) : FDataSet(dataSet), FSaved(dataSet.Modified()) {}
    ~TModifiedGuard() { FDataSet.SetModified(FSaved); }

   private:
    TMemDataSet& FDataSet;
    bool FSaved;
  };

  TMemData* MemData() noexcept;
  TMemData& CheckedMemData();
  // The size of a scratch row buffer.
  std::size_t ScratchRowSize() const noexcept;
  void CheckIRecordSet();
  void BlankRecord(TRecordBuffer buffer) noexcept;
  void SetFieldAccess();
  bool ReadStoreField(int fieldNo, const TField& field, TRecordBuffer record, void* buffer);
  void WriteStoreField(int fieldNo, TRecordBuffer record, const void* buffer);
  void RunCacheOperation(const std::function<void()>& operation);
  void CheckCachedUpdates() const;
  void SetBufferLayout();
  void DoGetCachedFields();
  void DoGetCachedBuffer(void* buffer);
  void RefreshCachedCalcFields();
  TFieldDesc* CalcFieldDesc(const TField& field) const;
  void ActivateFilters();
  void DeactivateFilters();
  bool RecordFilter(void* recBuf);
  void FilterChanged();
  void InstallMasterDetailFilter();
  bool MasterDetailFilter(void* recBuf);
  void MasterRecordChanged(TField* field);
  void EndDeferredPost() noexcept;
  std::uint8_t* CalcArea(TRecordBuffer buffer) const noexcept { return buffer + FFrameworkCalcOfs; }
  // Locate: finds the row and leaves the store on it; false restores.
  bool LocateRecord(const std::vector<TField*>& keyFields, const Variant& keyValues, TLocateExOptions options);
  std::vector<TField*> KeyFieldsOf(std::string_view names) const;
  void ResyncAfterLocate(bool centre);

  std::unique_ptr<TData> FData;
  TMemData* FMemData = nullptr;  // FData when it is a TMemData
  std::unique_ptr<TDataSetService> FDataSetService;
  std::unique_ptr<TDADetailDataLink> FDataLink;
  std::unique_ptr<TKxTimer> FDetailRefreshTimer;

  std::vector<std::uint8_t> FOldRecBuf;
  // The buffer the store's rows are calculated in (DoGetCachedBuffer),
  // kept between rows; busy while a calculation runs.
  std::vector<std::uint8_t> FCalcRowBuf;
  bool FCalcRowBufBusy = false;
  std::vector<std::uint8_t> FNewCacheRecBuf;
  std::vector<std::uint8_t> FOldCacheRecBuf;
  std::vector<std::uint8_t> FOldDeferredPostBuf;
  bool FHasOldDeferredPostBuf = false;
  TRecordBuffer FFilterBuffer = nullptr;

  bool FCachedUpdates = false;
  bool FLocalUpdate = false;
  bool FInInserting = false;
  bool FInEditing = false;
  bool FInCacheProcessing = false;
  bool FInDeferredPost = false;
  bool FSparseArrays = false;
  bool FLocalConstraints = true;
  bool FNumberRange = false;
  bool FNeedAddRef = false;
  // Set while open when a forward step may take GetRecord's short way: the
  // store is a TMemData, rows hold no references to count and no
  // calculated fields are computed per row.
  bool FPlainWalk = false;
  bool FCacheCalcFields = false;
  bool FCreateCalcFieldDescs = true;
  bool FInSettingDefaultExpressionValues = false;
  std::string FIndexFieldNames;
  std::string FMasterFields;
  std::string FDetailFields;
  int FDetailDelay = 0;
  TUpdateRecordTypes FUpdateRecordTypes{rtModified, rtInserted, rtUnmodified};
  std::vector<TCalcMapping> FCalcFieldsMapping;
  std::vector<TFieldAccess> FFieldAccess;  // by field number - 1
  std::vector<TLocalMDLink> FLocalMDLinks;
  bool FLocalMasterEmpty = false;
  bool FMDWasComplete = false;
  TBookmark FLastParentPos;

  int FRecInfoOfs = 0;
  int FBookmarkOfs = 0;
  int FFrameworkCalcOfs = 0;
  std::size_t FRecBufSize = 0;
};

// Access to the data set's blob getter and setter for other modules.
class TMemDSUtils {
 public:
  static TBlob* GetBlob(TMemDataSet& dataSet, const TField& field);
  // Replaces the blob of the field in the current buffer (the new one is
  // referenced first, the old one released); true when both were of the
  // same class.
  static bool SetBlob(TMemDataSet& dataSet, const TField& field, TBlob* blob);
  // The row's old and new record buffers as an update statement sees them:
  // the cache buffers while cached changes are applied, else the store's
  // row (nullptr for a new row) and the active buffer.
  static void GetOldAndNewRecBuf(TMemDataSet& dataSet, const void*& oldRecBuf, const void*& newRecBuf);
  // Whether cached changes are being applied.
  static bool InCacheProcessing(const TMemDataSet& dataSet) noexcept { return dataSet.FInCacheProcessing; }
};

}  // namespace lumo
