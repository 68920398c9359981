// The command a connection runs its ad-hoc statements and stored
// procedures through (ExecSQL, ExecProc). IDAConnectionCommand is the seam;
// TDAProviderCommand fills it with the provider's own command and record
// set (the connection's GetIRecordSetClass), scanning parameters with the
// provider's parameter scanning and reading output parameters back from
// the result row a provider returns for them.
//
// Decisions:
// - Parameters are TParam items built from the provider's descriptors, one
//   per marker, in order; values written to the provider by position.
// - The record set fetches all rows (so the statement runs on the
//   connection's own session); the rows of a statement are not kept, a
//   stored procedure's read-back row is what fills its output parameters.
// - Execute runs inside an execute operation of the connection (failover
//   cause clExecute) and is repeated after an EFailOver for that cause,
//   at most Options().MaxReconnectAttempts() times.
// - Field types map to the provider's data-type codes and back by the
//   fixed table in the .cpp (ftString <-> dtString ...); a type without a
//   counterpart is dtUnknown / ftUnknown.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DB.h"
#include "KxAccessRecordSet.h"
#include "Params.h"

namespace lumo {

class TCustomDAConnection;

class IDAConnectionCommand {
 public:
  virtual ~IDAConnectionCommand() = default;

  virtual TParams& Params() = 0;
  // The statement text; the parameters are scanned from it.
  virtual void SetSQL(const std::string& text) = 0;
  // Makes the command a call of the stored procedure, its parameters as the
  // server describes them.
  virtual void SetStoredProc(const std::string& name) = 0;
  virtual void Execute() = 0;
  // The provider connection went away: drop provider objects.
  virtual void Disconnect() = 0;
};

// The data-type code of a field type, and back.
std::uint16_t DataTypeOfFieldType(TFieldType type) noexcept;
TFieldType FieldTypeOfDataType(std::uint16_t dataType) noexcept;

class TDAProviderCommand : public IDAConnectionCommand {
 public:
  explicit TDAProviderCommand(TCustomDAConnection& connection);
  ~TDAProviderCommand() override;

  TParams& Params() override { return FParams; }
  void SetSQL(const std::string& text) override;
  void SetStoredProc(const std::string& name) override;
  void Execute() override;
  void Disconnect() override;

 private:
  // The record set of the connection's provider, bound to its provider
  // connection and transaction.
  TKxRecordSet& RecordSet();
  void ReadDescriptors();
  void WriteParams();
  void ReadParams();
  void ExecuteOnce();

  TCustomDAConnection& FConnection;
  std::unique_ptr<TKxRecordSet> FRecordSet;
  TParams FParams;
  std::string FSQL;
  std::string FStoredProcName;
};

}  // namespace lumo
