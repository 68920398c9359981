#include "Unit1.h"

#include <lumokit/lumo/Lumo.h>
#include <lumokit/lumo/MySQLLumoProvider.h>

namespace lumo {

// Generated from Unit1.form at build time.
extern const char kUnit1Form[];
extern const std::size_t kUnit1FormSize;

std::string_view TForm1::StoredDescription() { return std::string_view(kUnit1Form, kUnit1FormSize); }

std::unique_ptr<TForm1> TForm1::Create(std::string_view description, const TClassRegistry& registry,
                                       TServerTarget target) {
  auto form = std::make_unique<TForm1>();
  form->FTarget = std::move(target);
  form->ReadDescription(description, registry);
  return form;
}

void TForm1::Loaded() {
  TForm::Loaded();
  Button2 = dynamic_cast<TButton*>(FindComponent("Button2"));
  DBMemo4 = dynamic_cast<TDBMemo*>(FindComponent("DBMemo4"));
  MySQLLumoProvider1 = dynamic_cast<TMySQLLumoProvider*>(FindComponent("MySQLLumoProvider1"));
  LumoConnection1 = dynamic_cast<TLumoConnection*>(FindComponent("LumoConnection1"));
  LumoQuery5 = dynamic_cast<TLumoQuery*>(FindComponent("LumoQuery5"));
  LumoDataSource4 = dynamic_cast<TLumoDataSource*>(FindComponent("LumoDataSource4"));
  ApplyServerTarget();
}

void TForm1::ApplyServerTarget() {
  for (int i = 0; i < ComponentCount(); ++i) {
    auto* c = dynamic_cast<TLumoConnection*>(&Components(i));
    if (!c) continue;
    if (!FTarget.Server.empty()) c->SetServer(FTarget.Server);
    if (FTarget.Port != 0) c->SetPort(FTarget.Port);
    if (!FTarget.Socket.empty()) {
      // The socket is named after the host ("localhost,/path/mysqld.sock").
      const std::string host = c->Server().substr(0, c->Server().find(','));
      c->SetServer((host.empty() ? std::string("localhost") : host) + "," + FTarget.Socket);
      c->SpecificOptions().SetValues("Protocol", "mpSocket");
    }
  }
}

void TForm1::Notification(TComponent& component, TOperation operation) {
  TForm::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (&component == Button2) Button2 = nullptr;
  if (&component == DBMemo4) DBMemo4 = nullptr;
  if (&component == MySQLLumoProvider1) MySQLLumoProvider1 = nullptr;
  if (&component == LumoConnection1) LumoConnection1 = nullptr;
  if (&component == LumoQuery5) LumoQuery5 = nullptr;
  if (&component == LumoDataSource4) LumoDataSource4 = nullptr;
}

void TForm1::Button2Click(TComponent&) { Close(); }

void TForm1::Register(TClassRegistry& r) {
  r.RegisterClass<TForm1>("TForm1", "TForm");
  r.RegisterMethod("TForm1", "Button2Click", &TForm1::Button2Click);
}

}  // namespace lumo
