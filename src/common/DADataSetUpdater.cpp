#include "DADataSetUpdater.h"

#include "DADataSet.h"

namespace lumo {

TDADataSetUpdater::TDADataSetUpdater(TDataSetService& owner) : TDataSetUpdater(owner) {}

TCustomDADataSet& TDADataSetUpdater::DADataSet() const {
  auto* ds = dynamic_cast<TCustomDADataSet*>(FDataSet);
  if (!ds) AssertionFailure(__FILE__, __LINE__, "The updater does not belong to a SQL data set");
  return *ds;
}

bool TDADataSetUpdater::GetDefaultExpressionValue(const std::string&, Variant&) { return false; }

}  // namespace lumo
