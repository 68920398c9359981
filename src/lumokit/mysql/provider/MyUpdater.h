// TCustomMyDataSetUpdater: the MySQL side of writing a data set's edits
// back. An auto-increment key comes back as the connection's last insert
// id, returned values are read as result rows, generated parameters are
// placed by position, TIMESTAMP columns drive the quick refresh, and two
// date-time values that agree to the minute and lie less than a second
// apart pass the optimistic lock check.
#pragma once

#include <cstdint>
#include <vector>

#include <lumokit/components/DADataSetUpdater.h>

namespace lumo {

class TCustomMyDataSetUpdater : public TDADataSetUpdater {
 public:
  explicit TCustomMyDataSetUpdater(TDataSetService& owner);

  bool GetIdentityFieldValue(Variant& value) override;
  bool LockCompare(const Variant& value1, const Variant& value2) override;
  bool PerformLock() override { return TDADataSetUpdater::PerformLock(); }

 protected:
  bool ReturnParamsAsFields() override { return true; }
  TComponent& CheckUpdateQuery(TStatementType type) override;
  void SetUpdateQueryOptions(TStatementType type) override;
  void CheckUpdateSQL(const std::string& sql, TStatementTypes types, TDAParamsInfo*& paramsInfo,
                      bool useGenerator) override;
  bool IsRefreshQuickField(TFieldDesc& desc) override;
  void SaveMaxRefreshQuickValue(TFieldDesc& desc, const Variant& value) override;
  bool BatchRowsAffected(std::vector<std::int64_t>& counts) override;
};

}  // namespace lumo
