// Helpers shared by the memory data set tests: a data set over a store
// built from a field list (rows appended straight to the store), an
// updater that records what it is asked to write, and a store that counts
// its value comparisons.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <lumokit/dataset/MemDS.h>
#include "data/MemDataTestUtil.h"

namespace lumo::test {

// Records every write it is asked for as "append 3", "update 3",
// "delete 3" (the ID field of the row as the updater sees it).
class TRecordingUpdater : public TDataSetUpdater {
 public:
  using TDataSetUpdater::TDataSetUpdater;
  std::vector<std::string> Calls;
  bool Batch = false;
  int FlushEvery = 0;
  // Writing the row with this ID raises a database error (FailTimes times).
  int FailOn = 0;
  int FailTimes = 1;

  bool PerformAppend() override { return Record("append"); }
  bool PerformUpdate() override { return Record("update"); }
  bool PerformDelete() override { return Record("delete"); }
  bool BatchUpdate() override { return Batch; }
  bool CanFlushBatch() override { return FlushEvery > 0 && ++FPending % FlushEvery == 0; }
  void FlushBatch() override { Calls.push_back("flush"); }

 private:
  bool Record(const char* what) {
    TField* id = DataSet().FindField("ID");
    Calls.push_back(std::string(what) + " " + (id && !id->IsNull() ? id->AsString() : "?"));
    if (FailOn && id && id->AsInteger() == FailOn && FailTimes > 0) {
      --FailTimes;
      throw EDatabaseError("write failed");
    }
    return true;
  }
  int FPending = 0;
};

class TRecordingService : public TDataSetService {
 public:
  using TDataSetService::TDataSetService;
  std::unique_ptr<TDataSetUpdater> CreateDataSetUpdater() override {
    return std::make_unique<TRecordingUpdater>(*this);
  }
};

// A store that counts CompareFieldValue calls.
class TCountingMemData : public TMemData {
 public:
  int Compares = 0;
  int CompareFieldValue(const void* value, std::uint16_t valueType, TCompareOptions options, const void* recBuf,
                        const TFieldDesc& field) override {
    ++Compares;
    return TMemData::CompareFieldValue(value, valueType, options, recBuf, field);
  }
};

// A memory data set over a laid-out, open store with the given fields.
class TTestDataSet : public TMemDataSet {
 public:
  explicit TTestDataSet(std::vector<TFieldSpec> specs) : FSpecs(std::move(specs)) {}
  ~TTestDataSet() override {
    Destroying();
    Close();
  }

  TRecordingUpdater& Updater() { return static_cast<TRecordingUpdater&>(DataSetService().Updater()); }
  TCountingMemData& Store() { return static_cast<TCountingMemData&>(Data()); }
  // Appends a row straight to the store (before the data set opens); the
  // updater is not told, as for rows a provider fetches.
  void AddRow(const std::vector<Variant>& values) {
    auto hook = std::move(Data().OnAppend);
    Data().OnAppend = nullptr;
    test::Append(Data(), values);
    Data().OnAppend = std::move(hook);
  }
  // The values of one field over all rows, from the first ("null" for null).
  std::vector<std::string> Column(const std::string& name) {
    std::vector<std::string> out;
    const TBookmark b = GetBookmark();
    for (First(); !Eof(); Next()) out.push_back(FieldByName(name).IsNull() ? "null" : FieldByName(name).AsString());
    if (!b.empty() && BookmarkValid(b)) GotoBookmark(b);
    return out;
  }

 protected:
  void CreateIRecordSet() override { SetIRecordSet(OpenData<TCountingMemData>(FSpecs)); }
  std::unique_ptr<TDataSetService> GetDataSetServiceClass() override {
    return std::make_unique<TRecordingService>(*this);
  }

 private:
  std::vector<TFieldSpec> FSpecs;
};

}  // namespace lumo::test
