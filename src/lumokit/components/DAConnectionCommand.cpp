#include <lumokit/components/DAConnectionCommand.h>

#include <lumokit/components/DASQL.h>

namespace lumo {

namespace {

// The connection's helper command: not registered as a client.
class TDAInternalSQL : public TCustomDASQL {
 protected:
  bool RegisterAsClient() const override { return false; }
};

}  // namespace

TDASQLConnectionCommand::TDASQLConnectionCommand(TCustomDAConnection& connection)
    : FSQL(std::make_unique<TDAInternalSQL>()) {
  FSQL->SetConnection(&connection);
}

TDASQLConnectionCommand::~TDASQLConnectionCommand() = default;

TParams& TDASQLConnectionCommand::Params() { return FSQL->Params(); }

void TDASQLConnectionCommand::SetSQL(const std::string& text) {
  FSQL->SetStoredProcName({});
  FSQL->SQL().Clear();
  FSQL->SetSQLText(text);
}

void TDASQLConnectionCommand::SetStoredProc(const std::string& name) {
  FSQL->SQL().Clear();
  FSQL->CreateProcCall(name, true, false);
}

void TDASQLConnectionCommand::Execute() { FSQL->Execute(); }

void TDASQLConnectionCommand::Disconnect() { FSQL->ResetProviderObjects(); }

}  // namespace lumo
