// Bulk insertion: TKxLoader learns the columns of a table from an empty
// query on it, takes values cell by cell in row order, and leaves the loading
// itself (DoLoad, Finish) to the provider.
//
// Decisions:
// - The table name is normalised by the connection's SQL info before it goes
//   into "SELECT * FROM <table> WHERE 1=0" (quoted when it needs quotes), so
//   a name is never pasted into the statement as it stands.
// - Rows are numbered from 1; LastRow is the index (from 0) of the row being
//   filled, -1 before the first. A value belongs to the current row or opens
//   the next one; anything else, and a value for a row already loaded
//   (LoadedRows counts them; the provider's loading raises it), raises
//   "Invalid row number".
// - Errors of the loader are ELoaderError.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <lumokit/access/KxAccessRecordSet.h>

namespace lumo {

class ELoaderError : public Exception {
 public:
  using Exception::Exception;
};

class TKxLoaderColumn {
 public:
  TKxLoaderColumn() = default;
  TKxLoaderColumn(const TKxLoaderColumn&) = delete;
  TKxLoaderColumn& operator=(const TKxLoaderColumn&) = delete;
  virtual ~TKxLoaderColumn() = default;

  virtual void UpdateDataType(std::uint16_t value) { FDataType = value; }

  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string value) { FName = std::move(value); }
  std::uint16_t DataType() const noexcept { return FDataType; }
  void SetDataType(std::uint16_t value) { UpdateDataType(value); }
  std::uint16_t SubDataType() const noexcept { return FSubDataType; }
  void SetSubDataType(std::uint16_t value) noexcept { FSubDataType = value; }
  int Size() const noexcept { return FSize; }
  void SetSize(int value) noexcept { FSize = value; }
  int DataSize() const noexcept { return FDataSize; }
  void SetDataSize(int value) noexcept { FDataSize = value; }
  int Precision() const noexcept { return FPrecision; }
  void SetPrecision(int value) noexcept { FPrecision = value; }
  int Scale() const noexcept { return FScale; }
  void SetScale(int value) noexcept { FScale = value; }

 protected:
  std::string FName;
  std::uint16_t FDataType = dtUnknown;
  std::uint16_t FSubDataType = 0;
  int FSize = 0;
  int FDataSize = 0;
  int FPrecision = 0;
  int FScale = 0;
};

class TKxLoaderColumns : public TDAObjectList<TKxLoaderColumn> {
 public:
  // Names compare ignoring case; -1 / nullptr when absent.
  int GetColumnIndexByName(std::string_view name) const;
  TKxLoaderColumn* FindColumnByName(std::string_view name) const;
  // Raises "Invalid column name".
  TKxLoaderColumn& GetColumnByName(std::string_view name) const;
};

class TKxLoader {
 public:
  TKxLoader() = default;
  TKxLoader(const TKxLoader&) = delete;
  TKxLoader& operator=(const TKxLoader&) = delete;
  virtual ~TKxLoader() = default;

  // The provider's record set class.
  virtual std::unique_ptr<TKxRecordSet> CreateRecordSet() = 0;
  virtual void SetConnection(TKxConnection* value) { FConnection = value; }
  virtual void SetTransaction(TKxTransaction* value) { FTransaction = value; }
  virtual void FillColumn(TKxLoaderColumn& column, const TFieldDesc& field);
  virtual void DoPrepare() {}
  // Stores one value (row from 1).
  virtual void DoPutColumnData(int col, int row, const Variant& value) = 0;
  // No property codes are known here.
  virtual bool SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);
  virtual std::unique_ptr<TKxLoaderColumn> CreateColumn() { return std::make_unique<TKxLoaderColumn>(); }
  // Requires a table name; resets the row counters; DoPrepare.
  virtual void Prepare();
  virtual void Reset();
  virtual void DoLoad() = 0;
  virtual void Finish() = 0;
  virtual void PutColumnData(int col, int row, const Variant& value);

  // One column per field of the table (read-only fields skipped while
  // SkipReadOnlyFieldDescs is set).
  void CreateColumns();
  // Forgets the row being filled when it has not been loaded yet.
  void DiscardRow();

  TKxConnection* Connection() const noexcept { return FConnection; }
  TKxTransaction* Transaction() const noexcept { return FTransaction; }
  const std::string& TableName() const noexcept { return FTableName; }
  void SetTableName(std::string value) { FTableName = std::move(value); }
  TKxLoaderColumns& Columns() noexcept { return FColumns; }
  int LastRow() const noexcept { return FLastRow; }
  int LoadedRows() const noexcept { return FLoadedRows; }
  bool SkipReadOnlyFieldDescs() const noexcept { return FSkipReadOnlyFieldDescs; }
  void SetSkipReadOnlyFieldDescs(bool value) noexcept { FSkipReadOnlyFieldDescs = value; }

 protected:
  TKxConnection* FConnection = nullptr;
  TKxTransaction* FTransaction = nullptr;
  std::string FTableName;
  TKxLoaderColumns FColumns;
  int FLastRow = -1;
  int FLoadedRows = 0;
  bool FSkipReadOnlyFieldDescs = true;
  bool FObjectReleaseNeeded = false;
};

}  // namespace lumo
