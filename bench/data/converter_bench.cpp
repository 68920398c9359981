// Mapped against unmapped columns in the record store: 1,000,000 rows are
// fetched (a value put into a record buffer, the record appended) and read
// back (each record fetched from the store and the value taken out), once
// through the store's own field access (the peer) and once through an
// on-demand converter, for two mappings: a TINYINT(1)-style dtInt8 column
// presented as dtBoolean, and a dtInt32 column presented as dtString(20).
//
// Usage: bench_converter_bench [rows] (default 1000000).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/data/KxDataTypeMap.h>
#include <lumokit/data/MemData.h>

using namespace lumo;

namespace {

constexpr std::uint16_t tpInt = 991;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

class TBenchRules : public TKxMapRules {
 public:
  const TConverterManager& GetConverterManager() const override { return FManager; }

 private:
  TConverterManager FManager;
};

std::unique_ptr<TMemData> OpenStore(std::uint16_t type) {
  auto data = std::make_unique<TMemData>();
  data->SetAutoInitFields(false);
  std::unique_ptr<TFieldDesc> f = data->GetFieldDescType();
  f->SetName("V");
  f->SetDataType(type);
  f->SetSize(FieldTypeMinSize(type, 0));
  data->Fields().Add(std::move(f));
  data->InitFields();
  data->Open();
  return data;
}

struct Timing {
  double Fetch = 0;
  double Read = 0;
  long long Check = 0;  // keeps the reads observable
};

// The values are made before the clock starts: stored[i] for the peer,
// presented[i] for the mapped run, which converts them on the way in and
// back on the way out.
template <class Stored, class Presented>
Timing Run(std::uint16_t storedType, const TFieldMapping* mapping, const std::vector<Stored>& stored,
           const std::vector<Presented>& presented, long long (*observe)(const Presented&)) {
  std::unique_ptr<TMemData> data = OpenStore(storedType);
  const TFieldDesc& field = *data->Fields().Items(0);
  TRecBuf buf = data->AllocRecBuf();
  const long rows = static_cast<long>(stored.size());
  Timing t;

  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < rows; ++i) {
    data->InitRecord(buf.get());
    if (mapping) {
      PutMappedFieldData(*mapping, nullptr, storedType, 0, 0, &presented[i], buf.get() + field.Offset(), "V");
      data->SetNull(1, buf.get(), false);
    } else {
      data->PutField(1, buf.get(), &stored[i]);
    }
    data->AppendRecord(buf.get());
  }
  t.Fetch = Seconds(start);

  start = std::chrono::steady_clock::now();
  data->SetToBegin();
  for (;;) {
    data->GetNextRecord(buf.get());
    if (data->GetEOF()) break;
    if (mapping) {
      Presented p;
      GetMappedFieldData(*mapping, nullptr, storedType, 0, 0, buf.get() + field.Offset(), &p, "V");
      t.Check += observe(p);
    } else {
      Stored s;
      data->GetFieldData(field, buf.get(), &s);
      t.Check += s;
    }
  }
  t.Read = Seconds(start);
  return t;
}

struct Text20 {
  char Chars[21];
};

void Report(const char* name, const Timing& peer, const Timing& mapped, long rows) {
  std::printf("%-26s fetch %7.1f ns/value (peer %6.1f, ratio %5.2f)   read %7.1f ns/value (peer %6.1f, ratio %5.2f)\n",
              name, mapped.Fetch * 1e9 / rows, peer.Fetch * 1e9 / rows, mapped.Fetch / peer.Fetch,
              mapped.Read * 1e9 / rows, peer.Read * 1e9 / rows, mapped.Read / peer.Read);
  std::printf("%-26s total ratio %5.2f\n", "", (mapped.Fetch + mapped.Read) / (peer.Fetch + peer.Read));
}

}  // namespace

int main(int argc, char** argv) {
  long rows = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;
  if (!DBTypeInfos().FindTypeInfo(tpInt)) DBTypeInfos().Add(tpInt, "BenchInt", true, false);
  TBenchRules rules;
  rules.AddRule("", tpInt, 1, 1, -1, -1, dtBoolean, -1, -1, false);
  rules.AddRule("", tpInt, 11, 11, -1, -1, dtString, 20, -1, false);

  TFieldMapping asBool = ResolveFieldMapping(&rules, nullptr, true, "V", dtInt8, 0, 0, tpInt, 1, 0);
  TFieldMapping asText = ResolveFieldMapping(&rules, nullptr, true, "V", dtInt32, 0, 0, tpInt, 11, 0);
  if (!asBool.OnDemandConverter || !asText.OnDemandConverter) {
    std::fprintf(stderr, "mapping not resolved\n");
    return 1;
  }

  std::printf("%ld rows\n", rows);
  std::vector<std::int8_t> bytes(static_cast<std::size_t>(rows));
  std::vector<std::uint16_t> words(bytes.size());
  std::vector<std::int32_t> ints(bytes.size());
  std::vector<Text20> texts(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::int8_t>(static_cast<long>(i) % 7 - 3);
    words[i] = bytes[i] ? 0xFFFF : 0;
    ints[i] = static_cast<std::int32_t>(i * 37);
    std::snprintf(texts[i].Chars, sizeof texts[i].Chars, "%d", ints[i]);
  }
  auto isTrue = [](const std::uint16_t& w) -> long long { return w != 0; };
  auto length = [](const Text20& t) -> long long { return static_cast<long long>(std::strlen(t.Chars)); };

  // One run unmeasured, so that neither side pays for the first pages.
  (void)Run(dtInt8, nullptr, bytes, words, +isTrue);
  Timing peer = Run(dtInt8, nullptr, bytes, words, +isTrue);
  Timing mapped = Run(dtInt8, &asBool, bytes, words, +isTrue);
  Report("Int8 as Boolean", peer, mapped, rows);
  long long check = peer.Check + mapped.Check;

  peer = Run(dtInt32, nullptr, ints, texts, +length);
  mapped = Run(dtInt32, &asText, ints, texts, +length);
  Report("Int32 as String(20)", peer, mapped, rows);
  check += peer.Check + mapped.Check;
  std::printf("(check %lld)\n", check);
  return 0;
}
