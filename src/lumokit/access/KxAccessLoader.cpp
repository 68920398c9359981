#include <lumokit/access/KxAccessLoader.h>

#include <lumokit/core/Collation.h>

namespace lumo {

int TKxLoaderColumns::GetColumnIndexByName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i) && AnsiSameText(Items(i)->Name(), name)) return i;
  return -1;
}

TKxLoaderColumn* TKxLoaderColumns::FindColumnByName(std::string_view name) const {
  const int i = GetColumnIndexByName(name);
  return i < 0 ? nullptr : Items(i);
}

TKxLoaderColumn& TKxLoaderColumns::GetColumnByName(std::string_view name) const {
  TKxLoaderColumn* c = FindColumnByName(name);
  if (!c) throw ELoaderError("Invalid column name");
  return *c;
}

bool TKxLoader::SetProp(int prop, const Variant&) { UnknownPropError(prop); }

bool TKxLoader::GetProp(int prop, Variant&) { UnknownPropError(prop); }

void TKxLoader::FillColumn(TKxLoaderColumn& column, const TFieldDesc& field) {
  column.SetName(field.Name());
  column.SetDataType(field.DataType());
  column.SetSubDataType(field.SubDataType());
  switch (field.DataType()) {
    case dtInt8:
    case dtInt16:
    case dtInt32:
    case dtFloat:
    case dtUInt16:
    case dtInt64:
    case dtCurrency:
    case dtUInt32:
    case dtBCD:
    case dtFMTBCD:
    case dtUInt8:
      column.SetPrecision(field.Length());
      column.SetScale(field.Scale());
      break;
    default:
      column.SetSize(field.Length());
      column.SetDataSize(field.Size());
      break;
  }
}

void TKxLoader::Prepare() {
  const auto blank = FTableName.find_first_not_of(" \t\r\n") == std::string::npos;
  if (blank) throw ELoaderError("TableName must be defined");
  Reset();
  DoPrepare();
}

void TKxLoader::Reset() {
  FLastRow = -1;
  FLoadedRows = 0;
}

void TKxLoader::CreateColumns() {
  std::unique_ptr<TKxRecordSet> rs = CreateRecordSet();
  rs->SetConnection(FConnection);
  rs->SetTransaction(FTransaction);
  rs->SetProp(prFetchAll, true);
  const std::string table = rs->GetCommand().GetSQLInfo().NormalizeName(FTableName);
  rs->SetSQL("SELECT * FROM " + table + " WHERE 1=0");
  rs->Open();
  FColumns.Clear();
  for (int i = 0; i < rs->FieldCount(); ++i) {
    const TFieldDesc* field = rs->Fields()[i];
    if (!field || field->HasParent() || field->FieldDescKind() != fdkData) continue;
    if (FSkipReadOnlyFieldDescs && field->ReadOnly()) continue;
    std::unique_ptr<TKxLoaderColumn> column = CreateColumn();
    FillColumn(*column, *field);
    FColumns.Add(std::move(column));
  }
  rs->Close();
}

void TKxLoader::PutColumnData(int col, int row, const Variant& value) {
  if (col < 0 || col >= FColumns.Count()) throw ELoaderError("Invalid column number");
  // A row that has been loaded already takes no more values.
  if (row < 1 || row <= FLoadedRows || (row != FLastRow + 1 && row != FLastRow + 2))
    throw ELoaderError("Invalid row number");
  FLastRow = row - 1;
  DoPutColumnData(col, row, value);
}

void TKxLoader::DiscardRow() {
  if (FLastRow >= FLoadedRows) --FLastRow;
}

}  // namespace lumo
