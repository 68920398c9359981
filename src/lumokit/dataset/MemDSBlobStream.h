// TBlobStream: a stream over the large-object value of a blob field in a
// memory data set's current buffer. Reads and writes go to the record
// store's blob operations (with the field number, the buffer, the text
// form the field shows and, in the old-value state, the version before
// the change); closing a stream that wrote marks the field modified and
// tells the data set's links.
//
// Decisions: a writing stream needs a writable field and an edit state
// whenever it is created, not only for the first write of an edit (a
// later one would otherwise change a browsed row behind the data set's
// back); the checks run before anything is truncated. Writing to a read
// stream raises EStreamError "Stream write error".
#pragma once

#include <cstdint>

#include <lumokit/core/Streams.h>
#include <lumokit/dataset/DataSet.h>

namespace lumo {

class TBlobField;
class TMemDataSet;

class TBlobStream : public TStream {
 public:
  TBlobStream(TBlobField& field, TBlobStreamMode mode);
  ~TBlobStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t newSize) override;
  // Cuts the value at the current position.
  void Truncate();

 private:
  void CheckWritable() const;
  bool FromRollback() const noexcept;

  TBlobField* FField;
  TMemDataSet* FDataSet;
  TRecordBuffer FBuffer;
  TBlobStreamMode FMode;
  int FFieldNo;
  bool FOpened = false;
  bool FModified = false;
  bool FUnicode = false;
  std::int64_t FPosition = 0;
};

}  // namespace lumo
