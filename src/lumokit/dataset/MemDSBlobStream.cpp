#include <lumokit/dataset/MemDSBlobStream.h>

#include <lumokit/core/Format.h>
#include <lumokit/dataset/MemDS.h>

namespace lumo {

TBlobStream::TBlobStream(TBlobField& field, TBlobStreamMode mode)
    : FField(&field), FDataSet(dynamic_cast<TMemDataSet*>(field.DataSet())), FMode(mode), FFieldNo(field.FieldNo()) {
  if (!FDataSet) DatabaseError("Wrong DataSet");
  TFieldDesc* desc = FDataSet->GetFieldDesc(field);
  if (!desc || !FDataSet->Data().IsBlobFieldType(desc->DataType())) DatabaseError("Field is not BLOB");
  FFieldNo = desc->FieldNo();
  FUnicode = desc->DataType() == dtWideMemo;
  if (mode != bmRead) {
    if (field.ReadOnly()) DatabaseError(Format("Field '%s' cannot be modified", {field.DisplayName()}));
    const TDataSetState state = FDataSet->State();
    if (state != dsEdit && state != dsInsert && state != dsNewValue)
      DatabaseError("Dataset not in edit or insert mode");
  }
  FBuffer = FDataSet->GetActiveRecBuf();
  if (mode != bmRead && !FBuffer) DatabaseError("Dataset not in edit or insert mode");
  FOpened = true;
  if (mode == bmWrite) Truncate();
}

TBlobStream::~TBlobStream() {
  if (!FModified) return;
  try {
    FField->SetModified(true);
    FDataSet->DataEvent(deFieldChange, FField);
  } catch (...) {
    FDataSet->InternalHandleException();
  }
}

bool TBlobStream::FromRollback() const noexcept { return FDataSet->State() == dsOldValue; }

void TBlobStream::CheckWritable() const {
  if (FMode == bmRead) throw EStreamError("Stream write error");
}

std::int64_t TBlobStream::Read(void* buffer, std::int64_t count) {
  if (!FOpened || !FBuffer || count <= 0) return 0;
  const std::int64_t n = FDataSet->Data().ReadBlob(FFieldNo, FBuffer, FPosition, count, buffer, FromRollback(), FUnicode);
  FPosition += n;
  return n;
}

std::int64_t TBlobStream::Write(const void* buffer, std::int64_t count) {
  CheckWritable();
  if (count <= 0) return 0;
  FDataSet->Data().WriteBlob(FFieldNo, FBuffer, FPosition, count, buffer, FUnicode);
  FPosition += count;
  FModified = true;
  return count;
}

std::int64_t TBlobStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = FPosition;
  if (origin == TSeekOrigin::soEnd) base = Size();
  const std::int64_t position = base + offset;
  if (position < 0) throw EStreamError("Stream seek error");
  FPosition = position;
  return FPosition;
}

std::int64_t TBlobStream::Size() {
  if (!FOpened || !FBuffer) return 0;
  return FDataSet->Data().GetBlobSize(FFieldNo, FBuffer, FromRollback(), FUnicode);
}

void TBlobStream::SetSize(std::int64_t newSize) {
  CheckWritable();
  FDataSet->Data().SetBlobSize(FFieldNo, FBuffer, newSize, false, FUnicode);
  if (FPosition > newSize) FPosition = newSize;
  FModified = true;
}

void TBlobStream::Truncate() {
  CheckWritable();
  FDataSet->Data().TruncateBlob(FFieldNo, FBuffer, FPosition, FUnicode);
  FModified = true;
}

}  // namespace lumo
