// TForm1, the client's main window: a close button and a data-bound memo,
// read from the description Unit1.form that is compiled into the program.
#pragma once

#include <memory>
#include <string_view>

#include "DBCtrls.h"
#include "Forms.h"
#include "StdCtrls.h"

namespace lumo {

class TForm1 : public TForm {
 public:
  std::string ClassName() const override { return "TForm1"; }

  // Creates the window from `description` (the stored one by default).
  // Whatever reading or a component's Loaded() raises leaves unchanged; the
  // window is then never shown and everything created is destroyed.
  static std::unique_ptr<TForm1> Create(std::string_view description = StoredDescription(),
                                        const TClassRegistry& registry = FormClasses());
  // The text of Unit1.form.
  static std::string_view StoredDescription();

  // The components the description declares under these names (nullptr
  // when it does not).
  TButton* Button2 = nullptr;
  TDBMemo* DBMemo4 = nullptr;

  // Button2's OnClick: closes the window.
  void Button2Click(TComponent& Sender);

  static void Register(TClassRegistry& registry);

 protected:
  void Loaded() override;
  void Notification(TComponent& component, TOperation operation) override;
};

}  // namespace lumo
