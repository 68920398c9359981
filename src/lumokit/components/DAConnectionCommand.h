// The command a connection runs its ad-hoc statements and stored
// procedures through (ExecSQL, ExecProc). IDAConnectionCommand is the seam;
// TDASQLConnectionCommand fills it with a SQL command component of the
// connection, so ad-hoc statements get the same parameter handling, final
// SQL, connection use and failover as any other command.
//
// Decisions:
// - The command is the connection's own helper: it is not one of the
//   connection's clients (it does not appear in DAClients and needs no
//   connect notifications).
// - Every SetSQL starts from a fresh parameter list (values of an earlier
//   statement never leak into the next one, also for the same text).
#pragma once

#include <memory>
#include <string>

#include <lumokit/dataset/Params.h>

namespace lumo {

class TCustomDAConnection;
class TCustomDASQL;

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

class TDASQLConnectionCommand : public IDAConnectionCommand {
 public:
  explicit TDASQLConnectionCommand(TCustomDAConnection& connection);
  ~TDASQLConnectionCommand() override;

  TParams& Params() override;
  void SetSQL(const std::string& text) override;
  void SetStoredProc(const std::string& name) override;
  void Execute() override;
  void Disconnect() override;

 private:
  std::unique_ptr<TCustomDASQL> FSQL;
};

}  // namespace lumo
