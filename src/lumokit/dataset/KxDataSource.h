// TKxDataSource: the data source of the component layer. It is a framework
// data source that also remembers whether it was created while designing,
// and copies its data set, AutoEdit and Enabled to another data source.
#pragma once

#include <lumokit/dataset/DataSource.h>

namespace lumo {

class TKxDataSource : public TDataSource {
 public:
  TKxDataSource() = default;
  explicit TKxDataSource(TDataSet* dataSet) : TDataSource(dataSet) {}
  std::string ClassName() const override { return "TKxDataSource"; }

  bool DesignCreated() const noexcept { return FDesignCreated; }
  void SetDesignCreated(bool value) noexcept { FDesignCreated = value; }

  void AssignTo(TDataSource& dest) const;

 private:
  bool FDesignCreated = false;
};

}  // namespace lumo
