// Data-bound controls of the desktop client. TDBMemo is the memo that shows
// one field (DataField) of a data source's current record through a field
// data link: it follows the data set as it opens, closes, scrolls and
// changes, and what the user types goes into the field through the data
// set (the data set is put into edit mode first).
//
// Decisions:
// - Until a data link feeds it, the memo is empty and read-only: there is
//   nothing an edit could be written to. It stays read-only while the field
//   cannot be modified.
// - Typing asks the data set to edit; when it refuses, the memo shows the
//   field's value again. The typed text is written into the field when the
//   memo loses the focus or the data set posts (UpdateRecord).
// - Errors of the data set during an edit are reported (ShowException), not
//   propagated into Qt's event dispatch.
#pragma once

#include <memory>
#include <string>

#include <lumokit/dataset/DataSource.h>
#include "StdCtrls.h"

class QObject;

namespace lumo {

class TDBMemo : public TCustomMemo {
 public:
  TDBMemo();
  ~TDBMemo() override;
  std::string ClassName() const override { return "TDBMemo"; }

  const std::string& DataField() const noexcept { return FDataLink.FieldName(); }
  void SetDataField(const std::string& value) { FDataLink.SetFieldName(value); }
  TDataSource* DataSource() const noexcept { return FDataLink.DataSource(); }
  void SetDataSource(TDataSource* value);
  TField* Field() const noexcept { return FDataLink.Field(); }
  // Writes a pending edit into the field.
  void UpdateRecord();

  static void Register(TClassRegistry& registry);

 protected:
  void Notification(TComponent& component, TOperation operation) override;

 private:
  void DataChange();
  void UserEdited();
  void UpdateReadOnly();

  TFieldDataLink FDataLink;
  std::unique_ptr<QObject> FFocusWatcher;
  bool FSettingText = false;
};

}  // namespace lumo
