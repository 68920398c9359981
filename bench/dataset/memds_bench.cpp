// Memory data set benchmark (run by hand): what the data set layer costs
// over the bare record store for the same work, printed as ratios
// (data set / store; the aim is at most 1.5):
//   - walking 1,000,000 rows (Next; and Next plus reading an integer field),
//   - Locate on sorted data (bisection) against a bisection over the store,
//   - Locate on unsorted data against a scan of the store,
//   - filtering by an expression,
//   - ApplyUpdates of 100,000 changed rows with an updater that does nothing.
// Times are processor time of this thread, medians of five rounds (fifteen
// for ApplyUpdates, 21 taken in turns for the walks and the bisection, whose
// rounds are short).
// Usage: bench_memds_bench [rows [next|sorted|unsorted|filter|apply]]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <lumokit/dataset/MemDS.h>
#include "BenchSupport.h"

using namespace lumo;

namespace {

double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Median processor time of `rounds` runs of `work` (after `prepare`, untimed).
double Time(int rounds, const std::function<void()>& prepare, const std::function<std::uint64_t()>& work,
            std::uint64_t& check) {
  std::vector<double> times;
  for (int r = 0; r < rounds; ++r) {
    if (prepare) prepare();
    const double t0 = ThreadSeconds();
    check = work();
    times.push_back(ThreadSeconds() - t0);
  }
  return bench::Median(times);
}

// Medians of `rounds` runs of each side, taking turns round by round, so
// that a change of the machine's load falls on both sides alike.
std::pair<double, double> TimeTurns(int rounds, const std::function<std::uint64_t()>& store,
                                    const std::function<std::uint64_t()>& dataSet, std::uint64_t& checkStore,
                                    std::uint64_t& checkDataSet) {
  std::vector<double> s, d;
  for (int r = 0; r < rounds; ++r) {
    double t0 = ThreadSeconds();
    checkStore = store();
    s.push_back(ThreadSeconds() - t0);
    t0 = ThreadSeconds();
    checkDataSet = dataSet();
    d.push_back(ThreadSeconds() - t0);
  }
  return {bench::Median(s), bench::Median(d)};
}

std::unique_ptr<TMemData> NewStore(std::size_t rows, bool cached) {
  auto data = std::make_unique<TMemData>();
  data->SetAutoInitFields(false);
  const struct {
    const char* Name;
    std::uint16_t Type;
    std::uint16_t Length;
  } fields[] = {{"I", dtInt32, 0}, {"D", dtFloat, 0}, {"S", dtString, 20}};
  for (const auto& f : fields) {
    std::unique_ptr<TFieldDesc> d = data->GetFieldDescType();
    d->SetName(f.Name);
    d->SetDataType(f.Type);
    d->SetLength(f.Length);
    d->SetSize(FieldTypeMinSize(f.Type, f.Length));
    data->Fields().Add(std::move(d));
  }
  data->InitFields();
  data->Open();
  std::mt19937 rng(42);
  TRecBuf buf = data->AllocRecBuf();
  std::string text(20, 'x');
  for (std::size_t i = 0; i < rows; ++i) {
    const std::int32_t v = static_cast<std::int32_t>(rng() % 2000000000u);
    const double d = static_cast<double>(rng()) / 1000.0;
    for (char& c : text) c = static_cast<char>('a' + rng() % 26);
    data->InitRecord(buf.get());
    data->PutField(1, buf.get(), &v);
    data->PutField(2, buf.get(), &d);
    data->PutFieldValue(3, buf.get(), text.data(), static_cast<std::int64_t>(text.size()));
    data->AppendRecord(buf.get());
  }
  data->SetCachedUpdates(cached);
  return data;
}

// A memory data set over a store made elsewhere.
class TBenchDataSet : public TMemDataSet {
 public:
  explicit TBenchDataSet(std::unique_ptr<TMemData> store) : FStore(std::move(store)) {}
  ~TBenchDataSet() override {
    Destroying();
    Close();
  }
  TMemData& Store() { return static_cast<TMemData&>(Data()); }

 protected:
  void CreateIRecordSet() override { SetIRecordSet(std::move(FStore)); }

 private:
  std::unique_ptr<TMemData> FStore;
};

// Modifies every row of a cached store (the D field) so that each has a
// pending update.
void ModifyAll(TMemData& data) {
  TRecBuf buf = data.AllocRecBuf();
  data.SetToBegin();
  for (;;) {
    data.GetNextRecord(nullptr);
    if (data.GetEOF()) break;
    data.EditRecord(buf.get());
    const double d = 1.0;
    data.PutField(2, buf.get(), &d);
    data.PostRecord(buf.get());
  }
}

void Report(const char* what, double store, double dataSet) {
  std::printf("%-34s store %8.4f s   data set %8.4f s   ratio %.2f\n", what, store, dataSet, dataSet / store);
}

// What a caller of the store does to find a key in a store sorted by field
// 1 and make that row readable: a bisection by record number for the first
// row with the key (nulls sort first; the compare itself does not see them),
// then the row read at its position.
bool StoreBisect(TMemData& data, std::int32_t key, TRecBuf& row) {
  int lo = 1, hi = data.GetRecordCount(), hit = 0;
  const TFieldDesc& f = *data.Fields()[0];
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    data.SetRecordNo(mid);
    data.GetRecord(row.get());
    const int c = data.GetNull(1, row.get()) ? 1 : data.CompareFieldValue(&key, dtInt32, {}, row.get(), f);
    if (c <= 0) {
      if (c == 0) hit = mid;
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  if (hit == 0) return false;
  data.SetRecordNo(hit);
  data.GetRecord(row.get());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  const std::string only = argc > 2 ? argv[2] : "";
  auto runs = [&](const char* phase) { return only.empty() || only == phase; };
  constexpr int kRounds = 5;
  // A walk or 10,000 bisections take milliseconds: more rounds, in turns.
  constexpr int kWalkRounds = 21;
  std::uint64_t a = 0, b = 0;
  std::printf("Memory data set over the record store, %zu rows of (int32, double, 20-char text)\n\n", n);

  TBenchDataSet ds(NewStore(n, false));
  ds.Open();
  TMemData& store = ds.Store();
  TRecBuf row = store.AllocRecBuf(true);

  // ---- walking ----
  if (runs("next")) {
    const auto [s, d] = TimeTurns(kWalkRounds, [&] {
      std::uint64_t count = 0;
      store.SetToBegin();
      for (;;) {
        store.GetNextRecord(row.get());
        if (store.GetEOF()) break;
        ++count;
      }
      return count;
    }, [&] {
      std::uint64_t count = 0;
      for (ds.First(); !ds.Eof(); ds.Next()) ++count;
      return count;
    }, a, b);
    Report("Next over all rows", s, d);
    if (a != b) std::printf("  (row counts differ: %llu / %llu)\n", (unsigned long long)a, (unsigned long long)b);

    TField& fi = ds.FieldByName("I");
    const auto [s2, d2] = TimeTurns(kWalkRounds, [&] {
      std::uint64_t sum = 0;
      store.SetToBegin();
      for (;;) {
        store.GetNextRecord(row.get());
        if (store.GetEOF()) break;
        std::int32_t v = 0;
        bool blank = false;
        store.GetField(1, row.get(), &v, blank);
        sum += static_cast<std::uint32_t>(v);
      }
      return sum;
    }, [&] {
      std::uint64_t sum = 0;
      for (ds.First(); !ds.Eof(); ds.Next()) sum += static_cast<std::uint32_t>(fi.AsInteger());
      return sum;
    }, a, b);
    Report("Next + read an integer field", s2, d2);
    if (a != b) std::printf("  (checksums differ)\n");
  }

  // ---- Locate ----
  std::vector<std::int32_t> keys;
  if (runs("sorted") || runs("unsorted")) {
    std::mt19937 rng(5);
    store.SetToBegin();
    std::vector<std::int32_t> all;
    for (;;) {
      store.GetNextRecord(row.get());
      if (store.GetEOF()) break;
      std::int32_t v = 0;
      bool blank = false;
      store.GetField(1, row.get(), &v, blank);
      all.push_back(v);
    }
    for (int i = 0; i < 10000; ++i) keys.push_back(all[rng() % all.size()]);
  }
  if (runs("sorted")) {
    ds.SetIndexFieldNames("I");
    store.SetRecordNo(store.GetRecordCount() / 2);  // builds the position array for both
    const auto [s, d] = TimeTurns(kWalkRounds, [&] {
      std::uint64_t found = 0;
      for (std::int32_t k : keys) found += StoreBisect(store, k, row);
      return found;
    }, [&] {
      std::uint64_t found = 0;
      for (std::int32_t k : keys) found += ds.Locate("I", k, {});
      return found;
    }, a, b);
    Report("Locate, sorted (10000 keys)", s, d);
    ds.SetIndexFieldNames("");
  }
  if (runs("unsorted")) {
    const std::vector<std::int32_t> few(keys.begin(), keys.begin() + 20);
    const TFieldDesc& f = *store.Fields()[0];
    const double s = Time(kRounds, nullptr, [&] {
      std::uint64_t found = 0;
      for (std::int32_t k : few) {
        store.SetToBegin();
        for (;;) {
          store.GetNextRecord(row.get());
          if (store.GetEOF()) break;
          if (!store.GetNull(1, row.get()) && store.CompareFieldValue(&k, dtInt32, {}, row.get(), f) == 0) {
            ++found;
            break;
          }
        }
      }
      return found;
    }, a);
    const double d = Time(kRounds, nullptr, [&] {
      std::uint64_t found = 0;
      for (std::int32_t k : few) found += ds.Locate("I", k, {});
      return found;
    }, b);
    Report("Locate, unsorted (20 keys)", s, d);
  }

  // ---- filtering ----
  if (runs("filter")) {
    const char* filter = "I > 1000000000 AND D < 1000000";
    const double s = Time(kRounds, [&] {
      store.SetFilterText("");
      store.FilterUpdated();
    }, [&] {
      store.SetFilterText(filter);
      store.FilterUpdated();
      // The data set ends on its first row: read it here as well.
      store.SetToBegin();
      store.GetNextRecord(row.get());
      return static_cast<std::uint64_t>(store.GetRecordCount());
    }, a);
    const double d = Time(kRounds, [&] { ds.SetFiltered(false); }, [&] {
      ds.SetFilter(filter);
      ds.SetFiltered(true);
      return static_cast<std::uint64_t>(ds.RecordCount());
    }, b);
    ds.SetFiltered(false);
    Report("Filter by expression", s, d);
    if (a != b) std::printf("  (row counts differ)\n");
  }
  ds.Close();

  // ---- ApplyUpdates ----
  if (runs("apply")) {
    const std::size_t m = std::min<std::size_t>(100000, n);
    constexpr int kApplyRounds = 15;
    std::unique_ptr<TMemData> bare;
    const double s = Time(kApplyRounds, [&] {
      bare = NewStore(m, true);
      ModifyAll(*bare);
      bare->OnApplyRecord = [](TUpdateRecKind, TUpdateRecAction& action, bool) { action = urApplied; };
    }, [&] {
      bare->ApplyUpdates(TUpdateRecKinds{ukUpdate, ukInsert, ukDelete});
      return static_cast<std::uint64_t>(bare->GetRecordCount());
    }, a);
    std::unique_ptr<TBenchDataSet> cached;
    const double d = Time(kApplyRounds, [&] {
      cached.reset();
      cached = std::make_unique<TBenchDataSet>(NewStore(m, true));
      cached->SetCachedUpdates(true);
      cached->Open();
      ModifyAll(cached->Store());
    }, [&] {
      cached->ApplyUpdates();
      return static_cast<std::uint64_t>(cached->RecordCount());
    }, b);
    Report("ApplyUpdates (100000 rows)", s, d);
  }
  return 0;
}
