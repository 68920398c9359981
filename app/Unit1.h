// TForm1, the client's main window: a close button and a data-bound memo
// showing the value of one row of the demo database, read from the
// description Unit1.form that is compiled into the program. The description
// declares the MySQL provider component, the connection (connected while
// the window loads), the query and its data source.
//
// Decisions:
// - Where the server is reached can be changed without touching the stored
//   description: a TServerTarget given to Create is applied to every front
//   connection of the form in the form's own Loaded(), which runs before the
//   connection's (so before it connects).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "DBCtrls.h"
#include "Forms.h"
#include "StdCtrls.h"

namespace lumo {

class TLumoConnection;
class TLumoQuery;
class TLumoDataSource;
class TMySQLLumoProvider;

// Overrides of the stored server settings (empty / 0: keep the stored one).
struct TServerTarget {
  std::string Server;
  std::int32_t Port = 0;
  // A local socket: the connection uses it instead of TCP.
  std::string Socket;
};

class TForm1 : public TForm {
 public:
  std::string ClassName() const override { return "TForm1"; }

  // Creates the window from `description` (the stored one by default).
  // Whatever reading or a component's Loaded() raises leaves unchanged; the
  // window is then never shown and everything created is destroyed.
  static std::unique_ptr<TForm1> Create(std::string_view description = StoredDescription(),
                                        const TClassRegistry& registry = FormClasses(),
                                        TServerTarget target = {});
  // The text of Unit1.form.
  static std::string_view StoredDescription();

  // The components the description declares under these names (nullptr
  // when it does not).
  TButton* Button2 = nullptr;
  TDBMemo* DBMemo4 = nullptr;
  TMySQLLumoProvider* MySQLLumoProvider1 = nullptr;
  TLumoConnection* LumoConnection1 = nullptr;
  TLumoQuery* LumoQuery5 = nullptr;
  TLumoDataSource* LumoDataSource4 = nullptr;

  // Button2's OnClick: closes the window.
  void Button2Click(TComponent& Sender);

  static void Register(TClassRegistry& registry);

 protected:
  void Loaded() override;
  void Notification(TComponent& component, TOperation operation) override;

 private:
  void ApplyServerTarget();

  TServerTarget FTarget;
};

}  // namespace lumo
