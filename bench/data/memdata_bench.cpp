// Record store benchmark (run by hand): appends 1,000,000 rows of (int,
// double, 20-character text), reports rows per second and bytes per row,
// sorts them by the integer and by case-insensitive text against std::sort
// of the same values in a vector, filters them, inserts 10,000 rows into the
// middle of 100,000 and positions on random record numbers.
// Times are processor time of the running thread.
// Usage: bench_memdata_bench [rows]
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <lumokit/core/Collation.h>
#include <lumokit/data/MemData.h>

using namespace lumo;

namespace {

// Processor time of this thread: other processes on the machine do not
// count into the figures.
struct Clock {
  using time_point = double;
  static double now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
  }
};

double Seconds(double since) { return Clock::now() - since; }

std::size_t HeapInUse() {
  const struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

struct TRows {
  std::vector<std::int32_t> Ints;
  std::vector<double> Doubles;
  std::vector<std::string> Texts;
};

TRows MakeRows(std::size_t n) {
  std::mt19937 rng(42);
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  TRows rows;
  rows.Ints.resize(n);
  rows.Doubles.resize(n);
  rows.Texts.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    rows.Ints[i] = static_cast<std::int32_t>(rng() % 2000000000u);
    rows.Doubles[i] = static_cast<double>(rng()) / 1000.0;
    std::string& s = rows.Texts[i];
    s.resize(20);
    for (char& c : s) c = kLetters[rng() % 52];
  }
  return rows;
}

std::unique_ptr<TMemData> NewStore() {
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
  return data;
}

void Fill(TMemData& data, const TRows& rows, std::size_t n) {
  TRecBuf buf = data.AllocRecBuf();
  for (std::size_t i = 0; i < n; ++i) {
    data.InitRecord(buf.get());
    data.PutField(1, buf.get(), &rows.Ints[i]);
    data.PutField(2, buf.get(), &rows.Doubles[i]);
    data.PutFieldValue(3, buf.get(), rows.Texts[i].data(), static_cast<std::int64_t>(rows.Texts[i].size()));
    data.AppendRecord(buf.get());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  std::printf("Record store benchmark, %zu rows of (int32, double, 20-char text)\n\n", n);
  const TRows rows = MakeRows(n);

  // ---- append and memory ----
  const std::size_t before = HeapInUse();
  auto data = NewStore();
  auto t0 = Clock::now();
  Fill(*data, rows, n);
  const double appendSec = Seconds(t0);
  const std::size_t storeBytes = HeapInUse() - before;
  std::printf("append:        %.3f s, %.0f rows/s\n", appendSec, n / appendSec);
  std::printf("  record size %d bytes, item %zu bytes\n", data->RecordSize(), data->BlockMan().ItemSize());
  const double perRow = static_cast<double>(storeBytes) / n;
  std::printf("  memory: %.1f bytes/row (heap in use)\n", perRow);
  {
    struct TRow {
      std::int32_t I;
      double D;
      std::string S;
    };
    const std::size_t vb = HeapInUse();
    std::vector<TRow> v;
    v.reserve(n);
    for (std::size_t i = 0; i < n; ++i) v.push_back({rows.Ints[i], rows.Doubles[i], rows.Texts[i]});
    const double vecRow = static_cast<double>(HeapInUse() - vb) / n;
    std::printf("  raw field bytes 4+8+20 = 32/row: ratio %.2f\n", perRow / 32.0);
    std::printf("  vector<{int32,double,std::string}>: %.1f bytes/row: ratio %.2f\n", vecRow, perRow / vecRow);
  }

  // ---- sort by int ----
  {
    t0 = Clock::now();
    data->SetIndexFieldNames("I");
    const double storeSec = Seconds(t0);
    std::vector<std::int32_t> v = rows.Ints;
    t0 = Clock::now();
    std::sort(v.begin(), v.end());
    const double stdSec = Seconds(t0);
    std::printf("\nsort by int:   store %.3f s, std::sort vector<int32> %.3f s, ratio %.2f\n", storeSec, stdSec,
                storeSec / stdSec);
    // Again after other sorts have shuffled the list, when the store's
    // scratch memory comes from the allocator rather than from fresh pages.
    double warmSec = 0;
    for (int round = 0; round < 2; ++round) {
      data->SetIndexFieldNames("D");
      t0 = Clock::now();
      data->SetIndexFieldNames("I");
      warmSec = Seconds(t0);
    }
    v = rows.Ints;
    t0 = Clock::now();
    std::sort(v.begin(), v.end());
    const double stdWarm = Seconds(t0);
    std::printf("  after other sorts: store %.3f s, std::sort %.3f s, ratio %.2f\n", warmSec, stdWarm,
                warmSec / stdWarm);
  }
  // ---- sort by case-insensitive text ----
  {
    t0 = Clock::now();
    data->SetIndexFieldNames("S CIS");
    const double storeSec = Seconds(t0);
    std::vector<std::string> v = rows.Texts;
    t0 = Clock::now();
    std::sort(v.begin(), v.end(), [](const std::string& a, const std::string& b) { return AnsiCompareText(a, b) < 0; });
    const double collSec = Seconds(t0);
    v = rows.Texts;
    t0 = Clock::now();
    std::sort(v.begin(), v.end(),
              [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });
    const double asciiSec = Seconds(t0);
    std::printf("sort by text:  store (collation, CIS) %.3f s\n", storeSec);
    std::printf("  std::sort vector<string> with the same collation: %.3f s, ratio %.2f\n", collSec,
                storeSec / collSec);
    std::printf("  std::sort vector<string> with strcasecmp (ASCII only): %.3f s, ratio %.2f\n", asciiSec,
                storeSec / asciiSec);
    data->SetIndexFieldNames("");
  }

  // ---- filter ----
  {
    const char* filters[] = {"I > 1000000000", "S LIKE 'a%'", "I > 1000000000 AND D < 1000000"};
    std::printf("\n");
    for (const char* f : filters) {
      t0 = Clock::now();
      data->SetFilterText(f);
      data->FilterUpdated();
      const double sec = Seconds(t0);
      std::printf("filter:        %-32s %.3f s (%.0f rows/s), %d rows pass\n", f, sec, n / sec, data->GetRecordCount());
    }
    data->SetFilterText("");
    data->FilterUpdated();
  }

  // ---- random record numbers ----
  {
    std::mt19937 rng(7);
    const int count = data->GetRecordCount();
    const int probes = 1000000;
    t0 = Clock::now();
    long long sum = 0;
    for (int i = 0; i < probes; ++i) {
      data->SetRecordNo(1 + static_cast<int>(rng() % static_cast<unsigned>(count)));
      sum += data->GetRecordNo();
    }
    const double sec = Seconds(t0);
    std::printf("\nSetRecordNo:   %d random positions in %.3f s, %.0f ns each (checksum %lld)\n", probes, sec,
                sec * 1e9 / probes, sum % 1000);
  }
  data.reset();

  // ---- inserts into the middle ----
  {
    const std::size_t base = std::min<std::size_t>(100000, n);
    auto mid = NewStore();
    Fill(*mid, rows, base);
    std::mt19937 rng(9);
    TRecBuf buf = mid->AllocRecBuf();
    t0 = Clock::now();
    for (int i = 0; i < 10000; ++i) {
      mid->SetRecordNo(1 + static_cast<int>(rng() % static_cast<unsigned>(mid->GetRecordCount())));
      mid->InitRecord(buf.get());
      mid->PutField(1, buf.get(), &rows.Ints[i]);
      mid->InsertRecord(buf.get());
    }
    const double sec = Seconds(t0);
    std::printf("\nmid inserts:   10000 into %zu rows in %.3f s, %.1f us each (count %d)\n", base, sec,
                sec * 1e6 / 10000, mid->GetRecordCount());
  }
  return 0;
}
