// MySQL server metadata: TMySQLMetaData answers the provider-neutral
// metadata kinds (tables, columns, procedures, procedure parameters,
// indexes, index columns, constraints, databases) with information_schema
// queries on servers of version 5 and later and SHOW statements otherwise;
// the query's record set is the answer where its columns are the kind's,
// else its rows are copied into the kind's result.
//
// Decisions:
// - Every restriction value reaches SQL through the connection's literal
//   writer (escaped for its backslash mode and character set); type lists
//   (TABLE_TYPE, PROCEDURE_TYPE, CONSTRAINT_TYPE) too, so a type holding a
//   quote or a backslash cannot end its string early.
// - Names in SHOW statements are unquoted (whichever quotes the value used)
//   and written in back-quotes with back-quotes doubled, each part of a
//   qualified name on its own; the result columns get the unquoted name.
// - SCOPE is compared after upper-casing for tables and procedures and as
//   written ("LOCAL") for columns; LOCAL stands for the connection's
//   current database and replaces the schema restriction.
// - Restriction values are trimmed. Server errors propagate as the
//   connection's errors (EMyError).
// - The older SHOW paths serve servers before version 5 only; a tables
//   request there without a current database answers no rows.
#pragma once

#include <memory>
#include <string>

#include <lumokit/access/KxAccessMetaData.h>
#include <lumokit/mysql/provider/MyClasses.h>

namespace lumo {

class TMySQLRecordset;

class TMySQLMetaData : public TKxMetaData {
 public:
  TMySQLMetaData();
  ~TMySQLMetaData() override;

  // The type list of a restriction as SQL: the names of ParseTypes, each a
  // string literal of the connection, joined by ", " (empty for none).
  std::string GetTypesForSQL(const std::string& types);

 protected:
  std::unique_ptr<TKxRecordSet> CreateRecordSet() override;
  TData& GetTables(TStrings& restrictions) override;
  TData& GetColumns(TStrings& restrictions) override;
  TData& GetProcedures(TStrings& restrictions) override;
  TData& GetProcedureParameters(TStrings& restrictions) override;
  TData& GetIndexes(TStrings& restrictions) override;
  TData& GetIndexColumns(TStrings& restrictions) override;
  TData& GetConstraints(TStrings& restrictions) override;
  TData& GetDatabases(TStrings& restrictions) override;

  // The rows of the SHOW statements, copied into the result.
  virtual void CopyTablesData(const std::string& schema);
  virtual void CopyColumnsData(const std::string& schema, const std::string& table);
  virtual void CopyIndexesData(const std::string& schema);
  virtual void CopyIndexColumnsData(const std::string& schema);
  void CopyDatabasesData();

  // Runs "SHOW INDEX FROM" for the restrictions; answers the schema shown
  // in the result (the restriction, else the connection's database).
  std::string GetIndex(TStrings& restrictions);

  TMySQLRecordset& RecordSet();
  TMySQLConnection& Connection();

 private:
  // Opens `sql` on the record set.
  void OpenQuery(const std::string& sql);
  // `sql` with "%s" replaced by "WHERE " + the condition (or nothing).
  static std::string PutWhere(const std::string& sql, const std::string& where);
  // The restriction `name`, trimmed.
  static std::string Restriction(TStrings& restrictions, const char* name);
  // The schema condition: DATABASE() for SCOPE=LOCAL, else the schema
  // restriction through AddWhere.
  void AddSchema(std::string& where, const std::string& column, const std::string& schema, bool local);
  // "column IN (types)" for a non-empty type list.
  void AddTypes(std::string& where, const std::string& column, const std::string& types);
  // The unquoted name, and the schema shown for SHOW results.
  std::string Unquoted(const std::string& name) const;
  std::string ShownSchema(const std::string& schema);
  // Raises "%s restriction must be set" with `name` when `value` is empty.
  static void Require(const std::string& value, const char* name);
};

}  // namespace lumo
