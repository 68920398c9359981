// The SQL generator of a SQL data set: writes the INSERT, UPDATE, DELETE,
// refresh, quick-refresh and deleted-check statements for the updating
// table from the current row's old and new values, and collects the
// parameters those statements carry (with which field and which value each
// one takes). A provider derives its own generator for locks, parameter
// placement and its own conditions.
//
// Decisions:
// - A statement is the concatenation of six builders (header, field list,
//   middle, field-parameter list, condition, footer); lines are joined by
//   "\r\n", lists by ", ", conditions by " AND ". Providers place parameter
//   values by position, so the texts are exact.
// - DecodeFieldIndex turns "_n" back into n only for 0 <= n < the number of
//   descriptors of the record set; any other name gives -1 (a server-supplied
//   column name such as "_99999999999" is then looked up as a name).
// - Identifiers are written through the dialect's quoting, which doubles an
//   embedded quote character.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/components/DADataSetService.h>
#include <lumokit/components/DAStatementTypes.h>
#include <lumokit/dataset/Params.h>

namespace lumo {

class TCustomDADataSet;
class TDADataSetService;
class TDAParams;
class TField;
class TFieldDesc;
class TKxFieldDesc;
class TKxTableInfo;
class TSQLInfo;

// One generated parameter: the field it carries, whether it carries the old
// value, and the batch statement it belongs to (-1 outside a batch).
class TDAParamInfo {
 public:
  TDAParamInfo() = default;
  TDAParamInfo(const TDAParamInfo&) = delete;
  TDAParamInfo& operator=(const TDAParamInfo&) = delete;
  virtual ~TDAParamInfo() = default;

  TField* Field() const noexcept { return FField; }
  void SetField(TField* value) noexcept { FField = value; }
  bool Old() const noexcept { return FOld; }
  void SetOld(bool value) noexcept { FOld = value; }
  std::int32_t ParamIndex() const noexcept { return FParamIndex; }
  void SetParamIndex(std::int32_t value) noexcept { FParamIndex = value; }

 protected:
  TField* FField = nullptr;
  bool FOld = false;
  std::int32_t FParamIndex = -1;
};

// The parameter information of one generated statement, in parameter order.
class TDAParamsInfo {
 public:
  using TItemFactory = std::unique_ptr<TDAParamInfo> (*)();
  explicit TDAParamsInfo(TItemFactory factory) : FFactory(factory) {}

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  // Raises "List index out of bounds (%d)" outside 0 .. Count - 1.
  TDAParamInfo& Items(int index) const;
  TDAParamInfo& operator[](int index) const { return Items(index); }
  // A new item of the collection's class, appended.
  TDAParamInfo& Add();
  void Clear() noexcept { FItems.clear(); }
  // The item class of new items.
  void SetFactory(TItemFactory factory) noexcept { FFactory = factory; }

 private:
  TItemFactory FFactory;
  std::vector<std::unique_ptr<TDAParamInfo>> FItems;
};

// The builders a statement is assembled from, in output order.
enum TSQLBuilderKind : std::uint8_t { sbHeader = 0, sbFld = 1, sbMiddle = 2, sbFldParam = 3, sbCond = 4, sbFooter = 5 };

class TDASQLGenerator {
 public:
  explicit TDASQLGenerator(TDADataSetService& owner);
  TDASQLGenerator(const TDASQLGenerator&) = delete;
  TDASQLGenerator& operator=(const TDASQLGenerator&) = delete;
  virtual ~TDASQLGenerator();

  // ---- introduced operations
  // Forgets the builders' text and the row's buffers.
  virtual void Clear();
  // The builders joined in output order.
  virtual std::string AssembleSB(TStatementType statementType);
  virtual bool IsBlobDataType(std::uint16_t dataType);
  virtual bool IsObjectDataType(std::uint16_t dataType);
  virtual bool FieldIsNull(const TFieldDesc& fieldDesc, bool oldValue, TData& data, const void* oldRecBuf,
                           const void* newRecBuf);
  virtual bool FieldIsNull(const TFieldDesc& fieldDesc, bool oldValue);
  virtual bool FieldModified(const TFieldDesc& fieldDesc, TData& data, const void* oldRecBuf, const void* newRecBuf);
  virtual bool FieldModified(const TFieldDesc& fieldDesc);
  virtual std::string GetActualFieldName(const TKxFieldDesc& fieldDesc, bool isRefresh);
  // "_" + the descriptor's position among the record set's descriptors.
  virtual std::string GenerateIndexName(const std::string& name);
  virtual int DecodeFieldIndex(const std::string& fieldName);
  virtual int MaxIdentLength();
  virtual bool IsSubstituteParamName() { return true; }
  // Appends the parameter marker for the descriptor to `sb` (and the
  // parameter, when they are collected).
  virtual void AddParam(std::string& sb, const TKxFieldDesc& fieldDesc, TStatementType statementType,
                        TParamType paramType, int index = -1, bool old = false);
  virtual void AddFieldToInsertSQL(const TKxFieldDesc& fieldDesc, int index = -1);
  virtual void AddFieldToUpdateSQL(const TKxFieldDesc& fieldDesc, bool modifiedFieldsOnly, int index = -1);
  virtual void AddFieldToRefreshSQL(const TKxFieldDesc& fieldDesc);
  virtual void AddFieldToCondition(std::string& sb, const TKxFieldDesc& fieldDesc, TStatementType statementType,
                                   bool modifiedFieldsOnly, int index = -1);
  virtual void GenerateInsertSQL(const TKeyAndDataFields& keyAndDataFields, bool modifiedFieldsOnly, int index = -1);
  virtual void GenerateUpdateSQL(const TKeyAndDataFields& keyAndDataFields, bool modifiedFieldsOnly, int index = -1);
  virtual void GenerateDeleteSQL(const TKeyAndDataFields& keyAndDataFields, bool modifiedFieldsOnly, int index = -1);
  // The base writes no lock statement.
  virtual void GenerateLockSQL(const TKeyAndDataFields& keyAndDataFields, int index = -1);
  virtual void GenerateRefreshSQLSelectPart(const TKeyAndDataFields& keyAndDataFields);
  virtual void GenerateRefreshSQLFromPart();
  virtual void GenerateRefreshSQL(const TKeyAndDataFields& keyAndDataFields, bool modifiedFieldsOnly);
  virtual void GenerateRefreshQuickSQL(const TKeyAndDataFields& keyAndDataFields);
  virtual void GenerateRefreshCheckDeletedSQL(const TKeyAndDataFields& keyAndDataFields);
  virtual void GenerateConditions(std::string& sb, TStatementType statementType, bool modifiedFieldsOnly,
                                  const TKeyAndDataFields& keyAndDataFields, int index = -1);
  virtual TDAParamsInfo::TItemFactory GetParamInfoClass();
  virtual std::string GenerateSQLforUpdTable(TKxTableInfo& tableInfo, const TKeyAndDataFields& keyAndDataFields,
                                             TStatementType statementType, bool modifiedFieldsOnly,
                                             TDAParams* params, int index = -1);
  virtual std::string GenerateSQL(TStatementType statementType, bool modifiedFieldsOnly, TDAParams* params,
                                  int index = -1);
  virtual std::string GenerateTableSQL(const std::string& tableName, const std::string& orderFields);
  virtual std::string GenerateSelectValues(const std::string& valuesList);

  // ---- non-virtual
  TSQLInfo& SQLInfo() const;
  static const char* IndexedPrefix() noexcept { return "P_"; }

  // ---- properties
  bool DesignMode() const noexcept { return FDesignMode; }
  void SetDesignMode(bool value) noexcept { FDesignMode = value; }
  TDAParamsInfo& ParamsInfo() noexcept { return *FParamsInfo; }
  TCustomDADataSet& DataSet() const noexcept { return *FDataSet; }
  TDADataSetService& DataSetService() const noexcept { return *FDataSetService; }
  // A builder's text (for providers that place parameters by position).
  const std::string& SB(TSQLBuilderKind kind) const noexcept { return *Builder(kind); }

 protected:
  const std::string* Builder(TSQLBuilderKind kind) const noexcept;
  // The row's old and new buffers, looked up on first use.
  const void* OldRecBuf();
  const void* NewRecBuf();
  // The table as written in statements (normalised, quoted when needed).
  std::string TableName() const;
  // `name` in the dialect's quotes, an embedded closing quote doubled.
  std::string QuoteIdentifier(const std::string& name) const;
  // The descriptor's column as written in statements: quoted when the
  // option QuoteNames is on or the name needs quotes.
  std::string ColumnName(const TKxFieldDesc& fieldDesc) const;
  bool QuoteNames() const;
  // Whether the data set refreshes from its own SQL (FullRefresh on or a
  // read-only data set).
  bool IsFullRefresh() const;
  // The data set's field of a descriptor (nullptr when there is none).
  TField* FieldOf(const TFieldDesc& desc) const;
  // The descriptor's number among the record set's descriptors (-1: none).
  int FieldIndexOf(const TFieldDesc& desc) const;

  TCustomDADataSet* FDataSet;
  TDADataSetService* FDataSetService;
  std::string FHeaderSB;
  std::string FFldSB;
  std::string FMiddleSB;
  std::string FFldParamSB;
  std::string FCondSB;
  std::string FFooterSB;
  const void* FOldRecBuf = nullptr;
  const void* FNewRecBuf = nullptr;
  bool FRecBufsKnown = false;
  TKxTableInfo* FTableInfo = nullptr;
  TDAParams* FParams = nullptr;
  std::unique_ptr<TDAParamsInfo> FParamsInfo;
  bool FDesignMode = false;
};

}  // namespace lumo
