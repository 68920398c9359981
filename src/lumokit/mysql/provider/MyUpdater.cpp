#include <lumokit/mysql/provider/MyUpdater.h>

#include <cmath>

#include <lumokit/access/KxAccessRecordSet.h>
#include <lumokit/components/DADataSet.h>
#include <lumokit/components/DADataSetService.h>
#include <lumokit/components/DASQLGenerator.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesCommand.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>
#include <lumokit/mysql/provider/MyServices.h>
#include <lumokit/mysql/wire/MySqlResultSet.h>

namespace lumo {

TCustomMyDataSetUpdater::TCustomMyDataSetUpdater(TDataSetService& owner) : TDADataSetUpdater(owner) {}

bool TCustomMyDataSetUpdater::GetIdentityFieldValue(Variant& value) {
  TCustomDAConnection* c = DADataSet().UsedConnection();
  if (!c || !c->IConnection()) return false;
  Variant id;
  c->IConnection()->GetProp(prLastInsertId, id);
  const std::int64_t n = id.IsNullOrEmpty() ? 0 : id.AsInt64();
  if (n == 0) return false;
  value = n;
  return true;
}

bool TCustomMyDataSetUpdater::LockCompare(const Variant& value1, const Variant& value2) {
  if (TDADataSetUpdater::LockCompare(value1, value2)) return true;
  auto isDate = [](const Variant& v) { return v.VarType() == varDate || v.VarType() == varSQLTimeStamp; };
  if (!isDate(value1) || !isDate(value2)) return false;
  // The server keeps whole seconds where the client sent fractions: values
  // of the same minute less than a second apart are the same.
  const TDateTime a = value1.AsDouble();
  const TDateTime b = value2.AsDouble();
  int y1, mo1, d1, h1, mi1, s1, ms1, y2, mo2, d2, h2, mi2, s2, ms2;
  DecodeDateTime(a, y1, mo1, d1, h1, mi1, s1, ms1);
  DecodeDateTime(b, y2, mo2, d2, h2, mi2, s2, ms2);
  if (y1 != y2 || mo1 != mo2 || d1 != d2 || h1 != h2 || mi1 != mi2) return false;
  return std::abs((s1 * 1000 + ms1) - (s2 * 1000 + ms2)) < 1000;
}

TComponent& TCustomMyDataSetUpdater::CheckUpdateQuery(TStatementType type) {
  TComponent& q = TDADataSetUpdater::CheckUpdateQuery(type);
  // Results of update statements are read at once.
  if (auto* ds = dynamic_cast<TCustomDADataSet*>(&q)) ds->SetFetchAll(true);
  return q;
}

void TCustomMyDataSetUpdater::SetUpdateQueryOptions(TStatementType type) {
  (void)type;
  TCustomDADataSet* q = UpdateDataSet();
  TKxRecordSet* own = DADataSet().IRecordSet();
  if (!q || !own) return;
  Variant enableBoolean;
  if (!own->GetProp(prEnableBoolean, enableBoolean)) return;
  if (TKxRecordSet* rs = q->IRecordSet()) rs->SetProp(prEnableBoolean, enableBoolean);
}

void TCustomMyDataSetUpdater::CheckUpdateSQL(const std::string& sql, TStatementTypes types,
                                             TDAParamsInfo*& paramsInfo, bool useGenerator) {
  TDADataSetUpdater::CheckUpdateSQL(sql, types, paramsInfo, useGenerator);
  if (!StatementIsGenerated() || !paramsInfo) return;
  // Generated markers are placed by position, so that a "?" inside a quoted
  // name or literal is never taken for one.
  if (types.Contains(stRefreshQuick) || types.Contains(stRefreshCheckDeleted)) return;
  TCustomDADataSet& ds = DADataSet();
  if (types.Contains(stRefresh) && (ds.ParamCount() > 0 || ds.Options().FullRefresh())) return;
  TCustomDADataSet* q = UpdateDataSet();
  if (!q) return;
  auto* generator = dynamic_cast<TCustomMySQLGenerator*>(&DAService().SQLGenerator());
  if (!generator || !q->IRecordSet()) return;
  TKxCommand& command = q->IRecordSet()->GetCommand();
  command.SetProp(prFillParamPosition, true);
  for (int i = 0; i < paramsInfo->Count(); ++i) command.SetProp(prParamPosition, generator->GetParamOffset(i));
  command.SetProp(prFillParamPosition, false);
}

bool TCustomMyDataSetUpdater::IsRefreshQuickField(TFieldDesc& desc) {
  auto* my = dynamic_cast<TMySQLFieldDesc*>(&desc);
  return my && my->MySQLType() == MYSQL_TYPE_TIMESTAMP;
}

void TCustomMyDataSetUpdater::SaveMaxRefreshQuickValue(TFieldDesc& desc, const Variant& value) {
  auto* kx = dynamic_cast<TKxFieldDesc*>(&desc);
  auto* table = kx ? dynamic_cast<TMyTableInfo*>(kx->TableInfo()) : nullptr;
  if (!table || table->TimestampField() != &desc) return;
  const TDateTime t = value.IsNullOrEmpty() ? 0.0 : value.AsDouble();
  if (t > table->MaxTimestamp()) table->SetMaxTimestamp(t);
}

bool TCustomMyDataSetUpdater::BatchRowsAffected(std::vector<std::int64_t>& counts) {
  counts.clear();
  TCustomDADataSet* q = UpdateDataSet();
  if (!q || !q->IRecordSet()) return false;
  Variant list;
  if (!q->IRecordSet()->GetCommand().GetProp(prStatementRowsAffected, list) || !list.IsArray()) return false;
  for (const Variant& n : list.AsArray()) counts.push_back(n.AsInt64());
  return true;
}

}  // namespace lumo
