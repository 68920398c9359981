#include <lumokit/components/DAMetaData.h>

#include <lumokit/components/DATransaction.h>

namespace lumo {

TDAMetaData::TDAMetaData() {
  FRestrictions.SetOnChange([this](TStrings&) { Close(); });
}

TDAMetaData::~TDAMetaData() {
  Destroying();
  try {
    Close();
  } catch (...) {
  }
  if (FConnection) FConnection->UnRegisterClient(this);
}

void TDAMetaData::SetConnection(TCustomDAConnection* value) {
  if (value == FConnection) return;
  Close();
  if (FConnection) FConnection->UnRegisterClient(this);
  FConnection = value;
  FIMetaData.reset();
  if (value) {
    FreeNotification(*value);
    value->RegisterClient(this, [this](bool connecting) {
      if (!connecting) Close();
    });
  }
}

void TDAMetaData::SetTransaction(TDATransaction* value) {
  SetReference(FTransaction, value);
}

void TDAMetaData::SetMetaDataKind(const std::string& value) {
  if (value == FMetaDataKind) return;
  Close();
  FMetaDataKind = value;
}

void TDAMetaData::Notification(TComponent& component, TOperation operation) {
  if (operation == TOperation::opRemove) {
    if (&component == static_cast<TComponent*>(FConnection)) {
      FConnection = nullptr;
      FIMetaData.reset();
    }
    if (&component == static_cast<TComponent*>(FTransaction)) FTransaction = nullptr;
  }
  TMemDataSet::Notification(component, operation);
}

void TDAMetaData::ClearConnection() {
  if (FConnection) RemoveFreeNotification(*FConnection);
  FConnection = nullptr;
  FIMetaData.reset();
}

TDATransaction* TDAMetaData::UsedTransaction() {
  if (FConnection && FConnection->IsMultipleTransactionsSupported() && FTransaction) return FTransaction;
  return FConnection ? FConnection->UsedTransaction() : FTransaction;
}

void TDAMetaData::TransactionEnds(TDATransaction& transaction) {
  if (UsedTransaction() == &transaction) Close();
}

void TDAMetaData::CheckConnection() const {
  if (!FConnection) throw EDAError("Connection is not defined");
}

TKxMetaData& TDAMetaData::IMetaData() {
  CheckConnection();
  if (!FIMetaData) FIMetaData = FConnection->GetIMetaDataClass().Create();
  return *FIMetaData;
}

void TDAMetaData::OpenCursor(bool infoQuery) {
  CheckConnection();
  TDAOperationScope operation(*FConnection, clOpen, FConnection->IsFailOverAllowed());
  TMemDataSet::OpenCursor(infoQuery);
}

void TDAMetaData::LoadRows(TData& source) {
  auto store = std::make_unique<TMemData>();
  store->SetAutoInitFields(false);
  for (int i = 0; i < source.FieldCount(); ++i) {
    const TFieldDesc* from = source.Fields()[i];
    std::unique_ptr<TFieldDesc> d = store->GetFieldDescType();
    d->SetName(from->Name());
    d->SetActualName(from->ActualName());
    d->SetDataType(from->DataType());
    d->SetLength(from->Length());
    d->SetScale(from->Scale());
    d->SetSize(from->Size());
    store->Fields().Add(std::move(d));
  }
  store->InitFields();
  store->Open();
  TRecBuf from = source.AllocRecBuf();
  TRecBuf to = store->AllocRecBuf();
  source.SetToBegin();
  for (;;) {
    source.GetNextRecord(from.get());
    if (source.GetEOF()) break;
    store->InitRecord(to.get());
    for (int f = 1; f <= source.FieldCount(); ++f)
      if (!source.GetNull(f, from.get())) store->PutFieldAsVariant(f, to.get(), source.GetFieldAsVariant(f, from.get()));
    store->AppendRecord(to.get());
  }
  SetIRecordSet(std::move(store));
}

void TDAMetaData::InternalOpen() {
  TKxMetaData& meta = IMetaData();
  {
    TDAConnectionUse use(*FConnection);
    TDATransaction* tr = UsedTransaction();
    TData& rows = meta.GetMetaData(FConnection->IConnection(), tr ? tr->ITransaction() : nullptr, FMetaDataKind,
                                   FRestrictions);
    LoadRows(rows);
    use.Release();
  }
  FieldDefs().SetUpdated(false);
  TMemDataSet::InternalOpen();
}

void TDAMetaData::GetMetaDataKinds(TStrings& list) { IMetaData().GetMetaDataKindsList(list); }

void TDAMetaData::GetRestrictions(TStrings& list, const std::string& metaDataKind) {
  IMetaData().GetRestrictionsList(list, metaDataKind);
}

}  // namespace lumo
