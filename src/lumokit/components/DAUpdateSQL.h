// TCustomDAUpdateSQL: the component through which a user supplies the
// statements a SQL data set writes its edits with, per statement type, or
// whole data-set or SQL components that run them. The data set's updater
// asks it for the text or component of each slot; Apply runs one of them
// for the current row.
#pragma once

#include <memory>
#include <string>

#include <lumokit/components/DADataSetService.h>
#include <lumokit/core/Component.h>
#include <lumokit/core/StringList.h>
#include <lumokit/dataset/DB.h>

namespace lumo {

class TCustomDADataSet;

class TCustomDAUpdateSQL : public TComponent {
 public:
  TCustomDAUpdateSQL();
  ~TCustomDAUpdateSQL() override;
  std::string ClassName() const override { return "TCustomDAUpdateSQL"; }

  TCustomDADataSet* DataSet() const noexcept { return GetDataSet(); }
  void SetDataSet(TCustomDADataSet* value) { SetDataSetImpl(value); }

  // The statement list of an update kind (modify, insert, delete).
  TStringList& SQL(TUpdateKind kind) { return GetSQL(kind); }
  TStringList& InsertSQL() { return *FSQLText[stInsert]; }
  TStringList& ModifySQL() { return *FSQLText[stUpdate]; }
  TStringList& DeleteSQL() { return *FSQLText[stDelete]; }
  TStringList& LockSQL() { return *FSQLText[stLock]; }
  TStringList& RefreshSQL() { return *FSQLText[stRefresh]; }

  // Components that run a slot's statement instead of the text (a data set
  // of DataSetClass or a SQL command of SQLClass).
  TComponent* InsertObject() const noexcept { return FUpdateObject[stInsert]; }
  void SetInsertObject(TComponent* value) { SetObject(stInsert, value); }
  TComponent* ModifyObject() const noexcept { return FUpdateObject[stUpdate]; }
  void SetModifyObject(TComponent* value) { SetObject(stUpdate, value); }
  TComponent* DeleteObject() const noexcept { return FUpdateObject[stDelete]; }
  void SetDeleteObject(TComponent* value) { SetObject(stDelete, value); }
  TComponent* LockObject() const noexcept { return FUpdateObject[stLock]; }
  void SetLockObject(TComponent* value) { SetObject(stLock, value); }
  TComponent* RefreshObject() const noexcept { return FUpdateObject[stRefresh]; }
  void SetRefreshObject(TComponent* value) { SetObject(stRefresh, value); }

  // What the updater asks for a slot (empty / nullptr for other types).
  std::string SQLOf(TStatementType type) const;
  TComponent* UpdateObjectOf(TStatementType type) const noexcept;
  void SetObject(TStatementType type, TComponent* value);

  // Runs the statement of the kind for the data set's current row.
  virtual void Apply(TUpdateKind kind);
  void ExecSQL(TUpdateKind kind);
  // Copies the refresh, modify, insert and delete statements, the data set
  // and those four objects (not the lock statement nor the lock object).
  virtual void AssignTo(TCustomDAUpdateSQL& dest) const;
  void Loaded() override;

  // The classes its object properties accept.
  virtual bool IsDataSetClass(const TComponent& component) const;
  virtual bool IsSQLClass(const TComponent& component) const;
  virtual std::string DataSetClassName() const { return "TCustomDADataSet"; }
  virtual std::string SQLClassName() const { return "TCustomDASQL"; }

  // Checks an object against the data set it would serve.
  void CheckObject(const TComponent* value, const TCustomDADataSet* dataSet) const;

 protected:
  void Notification(TComponent& component, TOperation operation) override;
  virtual TStringList& GetSQL(TUpdateKind kind);
  virtual TCustomDADataSet* GetDataSet() const { return FDataSet; }
  virtual void SetDataSetImpl(TCustomDADataSet* value);

 private:
  friend class TCustomDADataSet;

  TCustomDADataSet* FDataSet = nullptr;
  std::unique_ptr<TStringList> FSQLText[10];
  TComponent* FUpdateObject[10] = {};
  bool FDesignCreate = false;
};

}  // namespace lumo
