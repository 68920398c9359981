// Server metadata as in-memory tables: TKxMetaData answers a metadata kind
// (tables, columns, procedures, indexes ...) with restrictions given as
// Name=Value lines, by declaring the kind's result fields and letting the
// provider fill them from its own queries. TDataHelper appends and reads
// records of a data object through one record buffer.
//
// Decisions:
// - The kinds a provider does not implement, including tables, columns,
//   procedures, procedure parameters, indexes, index columns and
//   constraints in this base, raise "Unsupported metadata kind".
// - The kind of a Restrictions request is read from METADATA_NAME and, for
//   callers of the older spelling, from METAINFO_NAME; an unknown kind gives
//   no rows. The METADATA_NAME column holds the kind's listed spelling.
// - AddWhere writes the restriction value through the connection's literal
//   writer (TSQLInfo::ToStringConst), never pasted between quotes; the
//   column is the caller's own text.
// - Result fields: text fields are dtString of the given length, integers
//   dtInt32, DEFAULT_VALUE a dtMemo.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/core/StringList.h>
#include <lumokit/data/MemData.h>

namespace lumo {

class TDataHelper {
 public:
  explicit TDataHelper(TData& data) : FData(&data) {}

  TData& Data() const noexcept { return *FData; }
  void AllocBuffer();
  void FreeBuffer();
  // A fresh record in the buffer: every field null.
  void InitRecord();
  // Stores the buffer as a new last record (the store takes over its values).
  void AppendRecord();
  // Moves to the next record and copies it into the buffer; false at the end.
  bool NextRecord();
  Variant GetFieldValue(int fieldNo);
  void SetFieldValue(int fieldNo, const Variant& value);
  void* RecBuf() const noexcept { return FRecBuf.get(); }

 private:
  TData* FData;
  TRecBuf FRecBuf;
};

class EMetaDataError : public Exception {
 public:
  using Exception::Exception;
};

class TKxMetaData {
 public:
  TKxMetaData();
  TKxMetaData(const TKxMetaData&) = delete;
  TKxMetaData& operator=(const TKxMetaData&) = delete;
  virtual ~TKxMetaData();

  // The answer for a kind (trimmed, any case); valid until the next call.
  virtual TData& GetMetaData(TKxConnection* connection, TKxTransaction* transaction, const std::string& metaDataKind,
                             TStrings& restrictions);
  void GetMetaDataKindsList(TStrings& list);
  void GetRestrictionsList(TStrings& list, const std::string& metaDataKind);

  // Splits a comma-separated type list into sorted, unique, upper-cased
  // and trimmed names (one empty entry for an empty text).
  static void ParseTypes(const std::string& text, TStrings& list);

  const std::string& Operator() const noexcept { return FOperator; }
  void SetOperator(std::string value) { FOperator = std::move(value); }

 protected:
  virtual std::unique_ptr<TKxRecordSet> CreateRecordSet() = 0;
  // `kind` is trimmed and lower-cased.
  virtual TData& InternalGetMetaData(const std::string& kind, TStrings& restrictions);
  virtual void CreateMetaDataKindsFields();
  virtual void InternalGetMetaDataKindsList(TStrings& list);
  virtual TData& GetMetaDataKinds();
  virtual void CreateRestrictionsFields();
  // `kind` is trimmed and lower-cased.
  virtual void InternalGetRestrictionsList(TStrings& list, const std::string& kind);
  virtual TData& GetRestrictions(TStrings& restrictions);
  virtual void CreateTablesFields();
  virtual TData& GetTables(TStrings& restrictions);
  virtual void CreateColumnsFields();
  virtual TData& GetColumns(TStrings& restrictions);
  virtual void CreateProceduresFields();
  virtual TData& GetProcedures(TStrings& restrictions);
  virtual void CreateProcedureParametersFields();
  virtual TData& GetProcedureParameters(TStrings& restrictions);
  virtual void CreateIndexesFields();
  virtual TData& GetIndexes(TStrings& restrictions);
  virtual void CreateIndexColumnsFields();
  virtual TData& GetIndexColumns(TStrings& restrictions);
  virtual void CreateConstraintsFields();
  virtual TData& GetConstraints(TStrings& restrictions);
  virtual TData& GetDatabases(TStrings& restrictions);
  virtual void CreateDatabasesFields();
  virtual TData& GetDataTypes(TStrings& restrictions);
  virtual TData& GetUsers(TStrings& restrictions);
  virtual TData& GetRoles(TStrings& restrictions);
  virtual TData& GetUDTs(TStrings& restrictions);
  virtual TData& GetPackages(TStrings& restrictions);

  // Helpers for providers.
  [[noreturn]] static void RaiseUnsupported();
  // Closes the result and removes its fields.
  void ResetResult();
  // Declares a result field.
  void AddField(const std::string& name, std::uint16_t dataType, int length = 0);
  // Lays out the declared fields and opens the result.
  void OpenResult();
  // Appends "Column <op> 'value'" (the value normalised and unquoted, written
  // by the connection's literal writer) or, without a value and with
  // addNull, "Column IS NULL"; conditions are joined by " AND ".
  void AddWhere(std::string& where, const std::string& column, const std::string& value, bool addNull = false);
  // Copies the listed fields of the query's current record into the result
  // buffer (field numbers from 1, pairwise).
  void CopyRecord(const std::vector<int>& sourceFieldNos, const std::vector<int>& destFieldNos);
  TSQLInfo& SQLInfo();

  std::unique_ptr<TMemData> FMemData;
  std::unique_ptr<TDataHelper> FMemDataHelper;
  std::unique_ptr<TKxRecordSet> FRecordSet;
  std::unique_ptr<TDataHelper> FRecordSetHelper;
  std::string FOperator = "=";
};

}  // namespace lumo
