// The provider record set: a record store (TMemData) filled from the server
// by a command, block by block or all at once, with field descriptors that
// carry the server's own type, the mapping chosen for the column and its
// encryption state. Providers derive from TKxRecordSet and TKxFieldDesc; the
// memory data set presents the rows to the components.
//
// Decisions:
// - The command is made on first use by the CreateCommand factory (a
//   constructor cannot reach a subclass's factory); SetCommand replaces it.
// - FetchRows defaults to 25 and is kept within 1..65535 (a fetch block
//   holds FetchRows items, so a wild value cannot allocate a huge block).
// - BreakFetch may be called from another thread: it sets an atomic flag
//   that FetchAll checks between blocks (and providers may poll with
//   FetchBreakRequested); ExecCommand clears it.
// - InitFetchedBlock links the fetched items after the last one (before the
//   first when fetching backward) and numbers them; the items a block did
//   not need go back at once.
// - SortItems fetches the remaining rows first: a local order over part of
//   the rows would break as soon as more rows arrive.
// - Fields named in EncryptedFields get the record set's encryptor methods
//   and an encryption state bit (InitEncryption); every record of a fetched
//   block is decrypted in place (DecryptBuffer). An empty value is not
//   passed to the decryptor and counts as plain.
// - The table list's name case follows the connection's SQL info.
// - GetNextRecord fetches the next block when it runs past the last item;
//   GetPriorRecord fetches the block before the first item when the
//   provider can fetch backward. A provider that keeps only the newest
//   block (unidirectional access) calls ReleaseFetchedRows before filling
//   it; the walk then goes on at the first item of the new list. Record
//   numbers then count the rows held.
// - FetchAll turns only a command that has a result (executed or fetching)
//   into csFetchingAll; an inactive or fully fetched one keeps its state.
// - Mapped fields: GetField with needConvert, PutField with a value that
//   is not a database value (what the data set writes) and PutMappedField
//   use the presented form. GetField without needConvert, PutField with a
//   database value (what a provider fetches) and the variant accessors use
//   the stored form, the form the record holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <lumokit/access/KxAccess.h>
#include <lumokit/data/KxDataTypeMap.h>
#include <lumokit/data/MemData.h>

namespace lumo {

// The encryptor of a record set: its two methods (both set, or neither).
struct TFieldEncryptor {
  TEncryptionMethod Encrypt;
  TDecryptionMethod Decrypt;
  explicit operator bool() const noexcept { return Encrypt && Decrypt; }
};

class TKxFieldDesc : public TFieldDesc {
 public:
  TKxFieldDesc() = default;

  // Also copies the server type, length and scale and the mapping; the
  // source must be a TKxFieldDesc.
  void Assign(const TFieldDesc& source) override;

  std::uint16_t DBType() const noexcept { return FDBType; }
  void SetDBType(std::uint16_t value) noexcept { FDBType = value; }
  std::int32_t DBLength() const noexcept { return FDBLength; }
  void SetDBLength(std::int32_t value) noexcept { FDBLength = value; }
  std::int32_t DBScale() const noexcept { return FDBScale; }
  void SetDBScale(std::int32_t value) noexcept { FDBScale = value; }
  const TKxMapRule* MapRule() const noexcept { return FMapRule; }
  void SetMapRule(const TKxMapRule* value) noexcept { FMapRule = value; }
  std::int32_t MapLength() const noexcept { return FMapLength; }
  void SetMapLength(std::int32_t value) noexcept { FMapLength = value; }
  std::int32_t MapScale() const noexcept { return FMapScale; }
  void SetMapScale(std::int32_t value) noexcept { FMapScale = value; }
  const TOnDemandConverter* OnDemandConverter() const noexcept { return FOnDemandConverter; }
  void SetOnDemandConverter(const TOnDemandConverter* value) noexcept { FOnDemandConverter = value; }
  // The mapping as the conversion helpers take it.
  TFieldMapping Mapping() const noexcept { return {FMapRule, FOnDemandConverter, FMapLength, FMapScale}; }
  // The presented type: the rule's when a converter maps the field.
  std::uint16_t MappedDataType() const noexcept;

  const TEncryptionMethod& Encryptor() const noexcept { return FEncryptor; }
  void SetEncryptor(TEncryptionMethod value) { FEncryptor = std::move(value); }
  const TDecryptionMethod& Decryptor() const noexcept { return FDecryptor; }
  void SetDecryptor(TDecryptionMethod value) { FDecryptor = std::move(value); }
  std::int32_t EncryptState() const noexcept { return FEncryptState; }
  void SetEncryptState(std::int32_t value) noexcept { FEncryptState = value; }
  TKxTableInfo* TableInfo() const noexcept { return FTableInfo; }
  void SetTableInfo(TKxTableInfo* value) noexcept { FTableInfo = value; }
  const std::string& DefaultExpr() const noexcept { return FDefaultExpr; }
  void SetDefaultExpr(std::string value) { FDefaultExpr = std::move(value); }

  // The actual (column) name normalised by `info`, quoted when needed or
  // always with quoteNames; cached per flag.
  const std::string& ActualNameQuoted(const TSQLInfo& info, bool quoteNames) const;

 protected:
  std::int32_t FDBLength = 0;
  std::int32_t FDBScale = 0;
  std::uint16_t FDBType = 0;
  const TKxMapRule* FMapRule = nullptr;
  std::int32_t FMapLength = -1;
  std::int32_t FMapScale = -1;
  const TOnDemandConverter* FOnDemandConverter = nullptr;
  TEncryptionMethod FEncryptor;
  TDecryptionMethod FDecryptor;
  std::int32_t FEncryptState = -1;
  TKxTableInfo* FTableInfo = nullptr;
  struct TQuotedCache {
    std::string Source;
    std::string Quoted;
    bool Valid = false;
  };
  mutable TQuotedCache FActualNameQuoted[2];
  std::string FDefaultExpr;
};

class TKxRecordSet : public TMemData {
 public:
  using TRecordSetEvent = std::function<void()>;
  using TAfterExecFetchEvent = std::function<void(bool result)>;
  using TBeforeFetchEvent = std::function<void(bool& cancel)>;

  TKxRecordSet();
  ~TKxRecordSet() override;

  // ---- the record store ----
  void InternalPrepare() override;
  void InternalUnPrepare() override;
  void InternalOpen() override { InternalOpen(false); }
  virtual void InternalOpen(bool disableInitFields);
  void InternalClose() override;
  int GetEncryptStateSize() override;
  bool NeedConvertEOL() override;
  std::unique_ptr<TFieldDesc> GetFieldDescType() override { return std::make_unique<TKxFieldDesc>(); }
  // Lays the fields out, then settles the mapping of every field.
  void InitFields() override;
  void InitEncryption() override;
  int GetEncryptState(int fieldNo) override;
  void Prepare() override;
  void UnPrepare() override;
  // With needConvert, a mapped field gives its presented value.
  void GetFieldData(const TFieldDesc& field, const void* recBuf, void* dest, bool needConvert = false) override;
  // A mapped field takes its presented value unless the value comes from
  // the database (or from the variant accessors).
  void PutFieldData(const TFieldDesc& field, void* recBuf, const void* source, std::int64_t length,
                    bool isDatabaseValue) override;
  // Writes a value in the presented form of a mapped field (in the stored
  // form for a field without a converter); nullptr sets the field null.
  void PutMappedField(int fieldNo, void* recBuf, const void* source);
  // The variant is written in the stored form of the field.
  void PutFieldAsVariant(int fieldNo, void* recBuf, const Variant& value, bool isDatabaseValue = false) override;
  void SetSortDefaults(TSortColumn& column) override;
  void SortItems() override;
  // Fetch on demand (see the header).
  bool FetchForWalk(bool fetchBack, TItemHeader*& item) override;

  // ---- the record set ----
  // The provider's command class.
  virtual std::unique_ptr<TKxCommand> CreateCommand() = 0;
  virtual void SetCommand(std::unique_ptr<TKxCommand> value);
  TKxCommand& GetCommand();
  bool CanFetchBack() override { return false; }
  virtual bool NeedInitFieldsOnPrepare() { return false; }
  virtual bool NeedInitFieldsOnFetch() { return false; }
  // Executes the command and fetches the first block (or everything).
  virtual void ExecFetch(bool disableInitFields);
  // Links and numbers the first rowsFetched items of a fetched block.
  virtual void InitFetchedBlock(TBlockHeader* block, int rowsFetched, bool fetchBack);
  virtual void DoBeforeFetch(bool& cancel);
  virtual void DoAfterFetch();
  // Drops the server side; the record set counts as unprepared.
  virtual void Disconnect();
  virtual void ExecCommand();
  virtual void FetchAll();
  virtual void BreakFetch();
  virtual bool CanDisconnect();
  virtual bool RowsReturn() { return FCommandType == ctCursor; }
  virtual void SetConnection(TKxConnection* value);
  virtual void SetTransaction(TKxTransaction* value);
  virtual void SetSQL(const std::string& value);
  virtual bool SetProp(int prop, const Variant& value);
  virtual bool GetProp(int prop, Variant& value);
  virtual bool IsCaseSensitive() { return true; }
  // The rule for a field (record set's rules first, then the connection's).
  virtual const TKxMapRule* GetMapRule(const TKxFieldDesc& field);
  virtual const TOnDemandConverter* GetMapOnDemandConverter(const TKxFieldDesc& field, const TKxMapRule*& mapRule);
  virtual bool IsEncryptableDataType(std::uint16_t dataType);
  virtual std::uint16_t GetDecryptDataType(std::uint16_t dataType) { return dataType; }
  // Decrypts the values of a fetched record in place and sets their state bits.
  virtual void DecryptBuffer(TItemHeader* item);

  // For providers: hands a filled block to the store (see the header).
  void CreateBlockStruct(TBlockHeader* block, int rowsFetched, bool fetchBack);
  // For providers that keep only the newest block: frees every record held
  // (values, blocks and string heap) before the next block is filled.
  void ReleaseFetchedRows();
  bool FetchBreakRequested() const noexcept { return FWaitForFetchBreak.load(std::memory_order_acquire); }
  // Whether a field's name (or column name) is in EncryptedFields.
  bool FieldIsEncrypted(const std::string& name);

  // Properties.
  TKxConnection* Connection() { return GetCommand().Connection(); }
  bool UniDirectional() const noexcept { return FUniDirectional; }
  std::int32_t FetchRows() const noexcept { return FFetchRows; }
  bool NoData() const noexcept { return FNoData; }
  bool FetchAllRows() const noexcept { return FFetchAll; }
  bool LockFetchAll() const noexcept { return FLockFetchAll; }
  bool LongStrings() const noexcept { return FLongStrings; }
  bool FlatBuffers() const noexcept { return FFlatBuffers; }
  bool ExtendedFieldsInfo() const noexcept { return FExtendedFieldsInfo; }
  bool DefaultValues() const noexcept { return FDefaultValues; }
  bool FieldsOrigin() const noexcept { return FFieldsOrigin; }
  TCommandType CommandType() const noexcept { return FCommandType; }
  void SetCommandType(TCommandType value) noexcept { FCommandType = value; }
  // The data set's own rules (of the command's rules class), made on first use.
  TKxMapRules& DataTypeMap();
  const TFieldEncryptor& Encryptor() const noexcept { return FEncryptor; }
  void SetEncryptor(TFieldEncryptor value) { FEncryptor = std::move(value); }
  const std::string& EncryptedFields() const noexcept { return FEncryptedFields; }
  TKxTablesInfo& TablesInfo() noexcept { return FTablesInfo; }

  TAfterExecFetchEvent AfterExecFetch;
  TRecordSetEvent AfterFetchAll;
  TBeforeFetchEvent OnBeforeFetch;
  TRecordSetEvent OnAfterFetch;
  TRecordSetEvent OnDataChanged;

 protected:
  std::unique_ptr<TKxCommand> FCommand;
  bool FUniDirectional = false;
  std::int32_t FFetchRows = 25;
  bool FNoData = false;
  bool FFetchAll = false;
  bool FLockFetchAll = false;
  bool FLongStrings = true;
  bool FFlatBuffers = true;
  bool FExtendedFieldsInfo = false;
  bool FDefaultValues = false;
  bool FFieldsOrigin = false;
  std::atomic<bool> FWaitForFetchBreak{false};
  TCommandType FCommandType = ctUnknown;
  std::unique_ptr<TKxMapRules> FDataTypeMap;
  TFieldEncryptor FEncryptor;
  std::string FEncryptedFields;
  TKxTablesInfo FTablesInfo;
  bool FPutConverted = false;
  bool FPutStoredForm = false;
  // Set by ReleaseFetchedRows: the list was cut during a fetch.
  bool FRowsReleased = false;
};

}  // namespace lumo
