#include "Unit1.h"

namespace lumo {

// Generated from Unit1.form at build time.
extern const char kUnit1Form[];
extern const std::size_t kUnit1FormSize;

std::string_view TForm1::StoredDescription() { return std::string_view(kUnit1Form, kUnit1FormSize); }

std::unique_ptr<TForm1> TForm1::Create(std::string_view description, const TClassRegistry& registry) {
  auto form = std::make_unique<TForm1>();
  form->ReadDescription(description, registry);
  return form;
}

void TForm1::Loaded() {
  TForm::Loaded();
  Button2 = dynamic_cast<TButton*>(FindComponent("Button2"));
  DBMemo4 = dynamic_cast<TDBMemo*>(FindComponent("DBMemo4"));
}

void TForm1::Notification(TComponent& component, TOperation operation) {
  TForm::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (&component == Button2) Button2 = nullptr;
  if (&component == DBMemo4) DBMemo4 = nullptr;
}

void TForm1::Button2Click(TComponent&) { Close(); }

void TForm1::Register(TClassRegistry& r) {
  r.RegisterClass<TForm1>("TForm1", "TForm");
  r.RegisterMethod("TForm1", "Button2Click", &TForm1::Button2Click);
}

}  // namespace lumo
