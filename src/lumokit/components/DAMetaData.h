// TDAMetaData: a memory data set over the server's metadata. Opening asks
// the provider's metadata object (TKxMetaData) for the rows of one kind
// (tables, columns, procedures, indexes ...) under Name=Value restrictions
// and presents a copy of them; the kinds and restrictions the provider
// offers can be listed.
//
// Decisions:
// - The rows are copied into the data set's own store when it opens, so
//   the data set stays usable (and editable locally) while the provider
//   object answers other requests.
// - Changing the kind or the restrictions closes the data set. A commit or
//   rollback of the transaction it reads in, and a disconnect, close it too.
// - Opening holds a connection use for the read only.
#pragma once

#include <memory>
#include <string>

#include <lumokit/access/KxAccessMetaData.h>
#include <lumokit/components/DBAccess.h>
#include <lumokit/core/StringList.h>
#include <lumokit/dataset/MemDS.h>

namespace lumo {

class TDATransaction;

class TDAMetaData : public TMemDataSet, public IDAConnectionClient {
 public:
  TDAMetaData();
  ~TDAMetaData() override;
  std::string ClassName() const override { return "TDAMetaData"; }

  TCustomDAConnection* Connection() const noexcept { return FConnection; }
  void SetConnection(TCustomDAConnection* value);
  TDATransaction* Transaction() const noexcept { return FTransaction; }
  void SetTransaction(TDATransaction* value);
  const std::string& MetaDataKind() const noexcept { return FMetaDataKind; }
  void SetMetaDataKind(const std::string& value);
  // NAME=VALUE lines; a change closes the data set.
  TStringList& Restrictions() noexcept { return FRestrictions; }

  // The kinds the provider offers, and the restrictions of one kind.
  void GetMetaDataKinds(TStrings& list);
  void GetRestrictions(TStrings& list, const std::string& metaDataKind);

  // ---- IDAConnectionClient
  TComponent& ClientComponent() override { return *this; }
  TCustomDAConnection* ClientConnection() override { return FConnection; }
  void SetIConnection(TKxConnection*) override {}
  void ClearConnection() override;
  bool PreventsReconnect(TComponent*, TConnLostCause) override { return false; }
  TDATransaction* UsedTransaction() override;
  void TransactionEnds(TDATransaction& transaction) override;
  void ResetProviderObjects() override {}

 protected:
  void OpenCursor(bool infoQuery) override;
  void InternalOpen() override;
  void Notification(TComponent& component, TOperation operation) override;

 private:
  void CheckConnection() const;
  TKxMetaData& IMetaData();
  // Copies the provider's rows into a store of this data set.
  void LoadRows(TData& source);

  TCustomDAConnection* FConnection = nullptr;
  TDATransaction* FTransaction = nullptr;
  std::string FMetaDataKind;
  TStringList FRestrictions;
  std::unique_ptr<TKxMetaData> FIMetaData;
};

}  // namespace lumo
