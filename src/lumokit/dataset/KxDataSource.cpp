#include <lumokit/dataset/KxDataSource.h>

namespace lumo {

void TKxDataSource::AssignTo(TDataSource& dest) const {
  dest.SetDataSet(DataSet());
  dest.SetAutoEdit(AutoEdit());
  dest.SetEnabled(Enabled());
}

}  // namespace lumo
