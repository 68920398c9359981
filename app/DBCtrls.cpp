#include "DBCtrls.h"

namespace lumo {

TDBMemo::TDBMemo() { SetReadOnly(true); }

void TDBMemo::Register(TClassRegistry& r) {
  r.RegisterClass<TDBMemo>("TDBMemo", "TCustomMemo");
  r.RegisterString<TDBMemo>("TDBMemo", "DataField", [](TDBMemo& m, const std::string& v) { m.SetDataField(v); });
}

}  // namespace lumo
