// Data sources and data links: the one way anything follows a data set.
// A TDataSource stands between one data set and any number of TDataLinks;
// the data set's notifications (state changes, scrolls, field and record
// changes, requests to write pending edits) reach every link, which turns
// them into the virtual calls a control, a model or a detail data set
// overrides. TFieldDataLink binds one field (a data-bound editor), and
// TDetailDataLink marks the link of a detail data set to its master.
//
// Decisions:
// - Sources, links and data sets refer to each other without owning;
//   whichever goes first detaches itself, so no dangling pointer remains.
// - A link sees a window of BufferCount rows of the data set's buffers
//   (ActiveRecord, RecordCount); the window follows scrolls so that it
//   always holds the active row. A link that asks for more rows makes the
//   data set buffer more.
// - Links are notified in the order they were attached; a link detached
//   while a notification runs is not notified again.
// - Giving a source another data set makes its links inactive and then
//   active again, so they re-read even when both data sets browse.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <lumokit/core/Component.h>
#include <lumokit/dataset/DB.h>

namespace lumo {

class TDataSet;
class TDataLink;
class TField;

class TDataSource : public TComponent {
 public:
  TDataSource() = default;
  explicit TDataSource(TDataSet* dataSet) { SetDataSet(dataSet); }
  ~TDataSource() override;
  std::string ClassName() const override { return "TDataSource"; }

  TDataSet* DataSet() const noexcept { return FDataSet; }
  // Raises "Circular datalinks are not allowed" when `value` follows this
  // source (directly or through its masters).
  void SetDataSet(TDataSet* value);
  bool Enabled() const noexcept { return FEnabled; }
  void SetEnabled(bool value);
  // Controls that start typing put the data set into edit state.
  bool AutoEdit() const noexcept { return FAutoEdit; }
  void SetAutoEdit(bool value) noexcept { FAutoEdit = value; }
  // The data set's state as this source passes it on (inactive while
  // disabled or without a data set).
  TDataSetState State() const noexcept { return FState; }
  // Starts editing when AutoEdit allows it and the data set is browsing.
  void Edit();
  // True when `dataSet` is this source's data set or one of its masters.
  bool IsLinkedTo(TDataSet* dataSet) const;
  int DataLinkCount() const noexcept { return static_cast<int>(FDataLinks.size()); }

  std::function<void(TDataSource& sender)> OnStateChange;
  // field: the changed field, or nullptr when the whole record changed.
  std::function<void(TDataSource& sender, TField* field)> OnDataChange;
  std::function<void(TDataSource& sender)> OnUpdateData;

 private:
  friend class TDataSet;
  friend class TDataLink;

  void DataEvent(TDataEvent event, TField* field, int distance);
  void NotifyDataLinks(TDataEvent event, TField* field, int distance);
  void UpdateState();
  void AddDataLink(TDataLink& link);
  void RemoveDataLink(TDataLink& link) noexcept;
  // Called by a data set that goes away.
  void DataSetDestroyed() noexcept;

  TDataSet* FDataSet = nullptr;
  bool FEnabled = true;
  bool FAutoEdit = true;
  TDataSetState FState = dsInactive;
  std::vector<TDataLink*> FDataLinks;  // not owning
  int FNotifying = 0;
  bool FLinksRemoved = false;
};

class TDataLink {
 public:
  TDataLink() = default;
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;
  virtual ~TDataLink();

  TDataSource* DataSource() const noexcept { return FDataSource; }
  void SetDataSource(TDataSource* value);
  TDataSet* DataSet() const noexcept;
  // The source is set and active.
  bool Active() const noexcept { return FActive; }
  // The data set is in an edit state.
  bool Editing() const noexcept { return FEditing; }
  bool ReadOnly() const noexcept { return FReadOnly; }
  void SetReadOnly(bool value);

  // The window: BufferCount rows wanted, RecordCount rows held, the active
  // row's index in the window. SetActiveRecord moves the data set's active
  // buffer (to read another row of the window; move it back afterwards).
  int BufferCount() const noexcept { return FBufferCount; }
  void SetBufferCount(int value);
  int RecordCount() const;
  int ActiveRecord() const;
  void SetActiveRecord(int value);

  // Asks the source to start editing; true when the data set now edits.
  bool Edit();
  // Writes pending edits (UpdateData) without echoing field changes back.
  void UpdateRecord();

 protected:
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int distance) {
    (void)distance;
    DataSetChanged();
  }
  virtual void EditingChanged() {}
  virtual void FocusControl(TField* field) { (void)field; }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* field) { (void)field; }
  virtual void UpdateData() {}
  // The data set this link makes follow its source (detail links).
  virtual TDataSet* GetDetailDataSet() { return nullptr; }

 private:
  friend class TDataSource;
  friend class TDataSet;

  void DataEvent(TDataEvent event, TField* field, int distance);
  void UpdateState();
  void SetActive(bool value);
  void SetEditing(bool value);
  void Detached() noexcept;

  TDataSource* FDataSource = nullptr;
  bool FActive = false;
  bool FEditing = false;
  bool FReadOnly = false;
  bool FUpdating = false;
  int FBufferCount = 1;
  int FFirstRecord = 0;
};

// The link of a detail data set to its master's data source.
class TDetailDataLink : public TDataLink {
 public:
  TDataSet* DetailDataSet() { return GetDetailDataSet(); }
};

// A link bound to one field of the data set: what a data-bound editor
// uses. The callbacks run when the bound field (or the whole record)
// changes, editing starts or ends, the editor must write its value, or
// the link becomes active or inactive.
class TFieldDataLink : public TDataLink {
 public:
  const std::string& FieldName() const noexcept { return FFieldName; }
  void SetFieldName(std::string value);
  // The bound field, nullptr while inactive or when the data set has none
  // of that name.
  TField* Field() const noexcept { return FField; }
  // The field exists, is writable, and the link is not read-only.
  bool CanModify() const;
  // Marks the editor's value as changed (UpdateRecord then calls
  // OnUpdateData); Reset drops the change and reloads the value.
  void Modified() noexcept { FModified = true; }
  void Reset();

  std::function<void()> OnDataChange;
  std::function<void()> OnEditingChange;
  std::function<void()> OnUpdateData;
  std::function<void()> OnActiveChange;

 protected:
  void ActiveChanged() override;
  void EditingChanged() override;
  void LayoutChanged() override;
  void RecordChanged(TField* field) override;
  void UpdateData() override;

 private:
  void UpdateField();

  std::string FFieldName;
  TField* FField = nullptr;
  bool FModified = false;
};

}  // namespace lumo
