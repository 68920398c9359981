// Record store against a simple model: random inserts, deletes, edits,
// cached-update steps, filters and sort orders, with the count, the record
// numbers, visibility and values checked after every step. Seeded and
// bounded; LUMO_MODEL_SEED and LUMO_MODEL_STEPS change the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>

#include <lumokit/core/Collation.h>
#include "data/MemDataTestUtil.h"

namespace lumo {
namespace {

struct TValues {
  std::optional<int> Val;
  std::optional<std::string> Name;
  bool operator==(const TValues&) const = default;
};

struct TModelItem {
  int Id;
  TValues Values;
  TItemStatus Status = isUnmodified;
  TUpdateRecAction Result = urNone;
  std::optional<TValues> Rollback;
};

enum TSortKind { skNone, skVal, skValDesc, skNameId };
enum TFilterKind { fkNone, fkValAbove, fkNameA };

class TModel {
 public:
  std::vector<TModelItem> List;  // store order, hidden items included
  std::vector<int> Cache;        // ids in the order of their first change
  bool Cached = false;
  TSortKind Sort = skNone;
  TFilterKind Filter = fkNone;
  int Threshold = 10;

  bool Visible(const TModelItem& m) const {
    if (Cached && m.Status == isDeleted) return false;
    switch (Filter) {
      case fkValAbove:
        return m.Values.Val && *m.Values.Val > Threshold;
      case fkNameA:
        return m.Values.Name && !m.Values.Name->empty() && (*m.Values.Name)[0] == 'a';
      default:
        return true;
    }
  }
  std::vector<int> VisibleIndexes() const {
    std::vector<int> out;
    for (int i = 0; i < static_cast<int>(List.size()); ++i)
      if (Visible(List[i])) out.push_back(i);
    return out;
  }
  int IndexOf(int id) const {
    for (int i = 0; i < static_cast<int>(List.size()); ++i)
      if (List[i].Id == id) return i;
    return -1;
  }

  static int CmpNull(bool na, bool nb) { return na && nb ? 0 : na ? -1 : 1; }
  int Compare(const TModelItem& a, const TModelItem& b) const {
    switch (Sort) {
      case skVal:
      case skValDesc: {
        int c = (!a.Values.Val || !b.Values.Val) ? CmpNull(!a.Values.Val, !b.Values.Val)
                                                 : (*a.Values.Val > *b.Values.Val) - (*a.Values.Val < *b.Values.Val);
        return Sort == skValDesc ? -c : c;
      }
      case skNameId: {
        int c = (!a.Values.Name || !b.Values.Name) ? CmpNull(!a.Values.Name, !b.Values.Name)
                                                   : AnsiCompareText(*a.Values.Name, *b.Values.Name);
        return c != 0 ? c : (a.Id > b.Id) - (a.Id < b.Id);
      }
      default:
        return 0;
    }
  }
  // The sorted move of the store: backward while before the predecessor,
  // forward while after the successor.
  int Move(int i, int direction) {
    if (Sort == skNone) return i;
    if (direction <= 0) {
      int j = i;
      while (j > 0 && Compare(List[i], List[j - 1]) < 0) --j;
      if (j != i) {
        TModelItem m = List[i];
        List.erase(List.begin() + i);
        List.insert(List.begin() + j, m);
        return j;
      }
    }
    if (direction >= 0) {
      int j = i;
      while (j + 1 < static_cast<int>(List.size()) && Compare(List[i], List[j + 1]) > 0) ++j;
      if (j != i) {
        TModelItem m = List[i];
        List.erase(List.begin() + i);
        List.insert(List.begin() + j, m);
        return j;
      }
    }
    return i;
  }
  void FullSort() {
    if (Sort == skNone) return;
    // Equal keys in the order the records were added (ids grow with it).
    std::sort(List.begin(), List.end(), [this](const TModelItem& a, const TModelItem& b) {
      const int c = Compare(a, b);
      return c != 0 ? c < 0 : a.Id < b.Id;
    });
  }
  void Uncache(int id) { Cache.erase(std::remove(Cache.begin(), Cache.end(), id), Cache.end()); }
  void Revert(int id) {
    int i = IndexOf(id);
    TModelItem& m = List[i];
    switch (m.Status) {
      case isUpdated: {
        TModelItem old = m;
        old.Values = *m.Rollback;
        const int dir = Sort != skNone ? Compare(old, m) : 0;
        m.Values = *m.Rollback;
        m.Rollback.reset();
        m.Status = isUnmodified;
        m.Result = urNone;
        if (dir != 0) Move(i, dir);
        break;
      }
      case isAppended:
        List.erase(List.begin() + i);
        break;
      case isDeleted:
        m.Status = isUnmodified;
        m.Result = urNone;
        break;
      default:
        m.Result = urNone;
    }
  }
};

class TModelRun {
 public:
  explicit TModelRun(unsigned seed) : Rng(seed) {
    Data = test::OpenData({{"ID", dtInt32}, {"VAL", dtInt32}, {"NAME", dtExtString}});
    Data->OnApplyRecord = [this](TUpdateRecKind, TUpdateRecAction& action, bool) {
      const int id = Data->GetFieldAsVariant(1, Data->NewCacheRecBuf()).AsInt32();
      action = NextActions.count(id) ? NextActions[id] : urApplied;
      Applied.push_back(id);
    };
  }

  int Rand(int n) { return std::uniform_int_distribution<int>(0, n - 1)(Rng); }

  TValues RandomValues() {
    TValues v;
    if (Rand(10) > 0) v.Val = Rand(20);
    if (Rand(10) > 0) {
      static const char kChars[] = "aAbB";
      std::string s;
      for (int n = Rand(3); n >= 0; --n) s += kChars[Rand(4)];
      v.Name = s;
    }
    return v;
  }

  TRecBuf Row(int id, const TValues& v) {
    return test::MakeRow(*Data,
                         {Variant(id), v.Val ? Variant(*v.Val) : Variant(), v.Name ? Variant(*v.Name) : Variant()});
  }

  // Positions the store on visible row k (1-based) and returns its model index.
  int Goto(int k) {
    Data->SetRecordNo(k);
    return M.VisibleIndexes()[k - 1];
  }

  void Insert(bool append) {
    const int id = NextId++;
    const TValues v = RandomValues();
    TModelItem item{id, v, M.Cached ? isAppended : isUnmodified, urNone, std::nullopt};
    const std::vector<int> vis = M.VisibleIndexes();
    int at = static_cast<int>(M.List.size());
    TRecBuf buf = Row(id, v);
    if (append || vis.empty()) {
      Data->AppendRecord(buf.get());
    } else {
      const int k = 1 + Rand(static_cast<int>(vis.size()));
      at = Goto(k);
      Data->InsertRecord(buf.get());
    }
    M.List.insert(M.List.begin() + at, item);
    M.Move(at, 0);
    if (M.Cached) M.Cache.push_back(id);
  }

  void Edit() {
    const std::vector<int> vis = M.VisibleIndexes();
    if (vis.empty()) return;
    const int i = Goto(1 + Rand(static_cast<int>(vis.size())));
    TModelItem& m = M.List[i];
    const TValues v = RandomValues();
    TRecBuf buf = Data->AllocRecBuf();
    Data->EditRecord(buf.get());
    Data->PutFieldAsVariant(2, buf.get(), v.Val ? Variant(*v.Val) : Variant::Null());
    Data->PutFieldAsVariant(3, buf.get(), v.Name ? Variant(*v.Name) : Variant::Null());
    Data->PostRecord(buf.get());
    if (M.Cached) {
      if (m.Status == isUnmodified && std::find(M.Cache.begin(), M.Cache.end(), m.Id) == M.Cache.end())
        M.Cache.push_back(m.Id);
      if (!(m.Status == isAppended && m.Result != urApplied)) {
        if (!m.Rollback) m.Rollback = m.Values;
        m.Status = isUpdated;
      }
      m.Result = urNone;
    }
    TModelItem changed = m;
    changed.Values = v;
    const int dir = M.Sort != skNone ? M.Compare(changed, m) : 0;
    m.Values = v;
    if (dir != 0) M.Move(i, dir);
  }

  void Delete() {
    const std::vector<int> vis = M.VisibleIndexes();
    if (vis.empty()) return;
    const int i = Goto(1 + Rand(static_cast<int>(vis.size())));
    Data->DeleteRecord();
    TModelItem& m = M.List[i];
    if (!M.Cached || m.Status == isAppended) {
      M.Uncache(m.Id);
      M.List.erase(M.List.begin() + i);
      return;
    }
    int dir = 0;
    if (m.Status == isUpdated) {
      TModelItem old = m;
      old.Values = *m.Rollback;
      dir = M.Sort != skNone ? M.Compare(old, m) : 0;
      m.Values = *m.Rollback;
      m.Rollback.reset();
    }
    if (std::find(M.Cache.begin(), M.Cache.end(), m.Id) == M.Cache.end()) M.Cache.push_back(m.Id);
    m.Status = isDeleted;
    m.Result = urNone;
    if (dir != 0) M.Move(i, dir);
  }

  void Apply() {
    NextActions.clear();
    for (int id : M.Cache) {
      const int r = Rand(10);
      NextActions[id] = r < 7 ? urApplied : r < 9 ? urSkip : urFail;
    }
    Applied.clear();
    Data->ApplyUpdates(TUpdateRecKinds{ukUpdate, ukInsert, ukDelete});
    std::vector<int> expected;
    for (int id : M.Cache) {
      TModelItem& m = M.List[M.IndexOf(id)];
      if (m.Result == urApplied) continue;
      expected.push_back(id);
      m.Result = NextActions[id];
    }
    ASSERT_EQ(Applied, expected);
  }

  void Commit() {
    std::vector<int> expected;
    NextActions.clear();
    for (int id : M.Cache) {
      if (M.List[M.IndexOf(id)].Result != urApplied) expected.push_back(id);
      NextActions[id] = Rand(10) < 8 ? urApplied : urFail;
    }
    Applied.clear();
    Data->CommitUpdates();
    ASSERT_EQ(Applied, expected);
    for (int id : expected) M.List[M.IndexOf(id)].Result = NextActions[id];
    for (int id : std::vector<int>(M.Cache)) {
      const int i = M.IndexOf(id);
      TModelItem& m = M.List[i];
      if (m.Result != urApplied) continue;
      M.Uncache(id);
      if (m.Status == isDeleted) {
        M.List.erase(M.List.begin() + i);
      } else {
        m.Status = isUnmodified;
        m.Result = urNone;
        m.Rollback.reset();
      }
    }
  }

  void Revert() {
    const std::vector<int> vis = M.VisibleIndexes();
    if (vis.empty()) return;
    const int id = M.List[Goto(1 + Rand(static_cast<int>(vis.size())))].Id;
    Data->RevertRecord();
    if (std::find(M.Cache.begin(), M.Cache.end(), id) == M.Cache.end()) return;
    M.Uncache(id);
    M.Revert(id);
  }

  void Cancel() {
    Data->CancelUpdates();
    for (int id : std::vector<int>(M.Cache)) {
      M.Uncache(id);
      M.Revert(id);
    }
  }

  void ToggleCached() {
    if (M.Cached) Cancel();
    M.Cached = !M.Cached;
    Data->SetCachedUpdates(M.Cached);
  }

  void ChangeFilter() {
    M.Filter = static_cast<TFilterKind>(Rand(3));
    M.Threshold = Rand(20);
    const char* texts[] = {"", nullptr, "NAME LIKE 'a%'"};
    Data->SetFilterText(M.Filter == fkValAbove ? "VAL > " + std::to_string(M.Threshold) : texts[M.Filter]);
    Data->FilterUpdated();
  }

  void ChangeSort() {
    M.Sort = static_cast<TSortKind>(Rand(4));
    const char* texts[] = {"", "VAL", "val desc", "NAME CIS; ID"};
    Data->SetIndexFieldNames(texts[M.Sort]);
    M.FullSort();
  }

  void Check(int step) {
    const std::vector<int> vis = M.VisibleIndexes();
    ASSERT_EQ(Data->GetRecordCount(), static_cast<int>(vis.size())) << "step " << step;
    TRecBuf buf = Data->AllocRecBuf();
    Data->SetToBegin();
    for (std::size_t k = 0; k < vis.size(); ++k) {
      Data->GetNextRecord(buf.get());
      ASSERT_FALSE(Data->GetEOF()) << "step " << step;
      ASSERT_EQ(Data->GetRecordNo(), static_cast<int>(k) + 1) << "step " << step;
      const TModelItem& m = M.List[vis[k]];
      ASSERT_EQ(Data->GetFieldAsVariant(1, buf.get()).AsInt32(), m.Id) << "step " << step << " row " << k + 1;
      const Variant val = Data->GetFieldAsVariant(2, buf.get());
      const Variant name = Data->GetFieldAsVariant(3, buf.get());
      ASSERT_EQ(val.IsNull() ? std::nullopt : std::optional<int>(val.AsInt32()), m.Values.Val) << "step " << step;
      ASSERT_EQ(name.IsNull() ? std::nullopt : std::optional<std::string>(name.AsString()), m.Values.Name)
          << "step " << step;
      ASSERT_EQ(Data->GetUpdateStatus(), M.Cached ? m.Status : isUnmodified) << "step " << step;
    }
    Data->GetNextRecord(buf.get());
    ASSERT_TRUE(Data->GetEOF()) << "step " << step;
    ASSERT_EQ(Data->CacheCount(), static_cast<int>(M.Cache.size())) << "step " << step;
    if (!vis.empty()) {
      // Random access, through the record-number walk or its cache.
      for (int probe = 0; probe < 3; ++probe) {
        const int k = 1 + Rand(static_cast<int>(vis.size()));
        Data->SetRecordNo(k);
        Data->GetRecord(buf.get());
        ASSERT_EQ(Data->GetFieldAsVariant(1, buf.get()).AsInt32(), M.List[vis[k - 1]].Id) << "step " << step;
        ASSERT_EQ(Data->GetRecordNo(), k);
      }
    }
  }

  void Run(int steps) {
    for (int step = 0; step < steps; ++step) {
      const int size = static_cast<int>(M.List.size());
      const int op = Rand(100);
      if (op < 25)
        Insert(Rand(3) == 0);
      else if (op < 40 || (size > 400 && op < 60))
        Delete();
      else if (op < 62)
        Edit();
      else if (op < 70) {
        if (M.Cached) Apply();
      } else if (op < 76) {
        if (M.Cached) Commit();
      } else if (op < 81) {
        if (M.Cached) Revert();
      } else if (op < 84) {
        if (M.Cached) Cancel();
      } else if (op < 88)
        ToggleCached();
      else if (op < 93)
        ChangeFilter();
      else if (op < 98)
        ChangeSort();
      else
        Data->PrepareRecNoCache();  // from now on inserts and deletes keep it up to date
      if (::testing::Test::HasFatalFailure()) return;
      Check(step);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }

  std::mt19937 Rng;
  std::unique_ptr<TMemData> Data;
  TModel M;
  int NextId = 1;
  std::map<int, TUpdateRecAction> NextActions;
  std::vector<int> Applied;
};

TEST(MemDataModel, RandomOperationsMatchTheModel) {
  const char* seedEnv = std::getenv("LUMO_MODEL_SEED");
  const char* stepsEnv = std::getenv("LUMO_MODEL_STEPS");
  const unsigned firstSeed = seedEnv ? static_cast<unsigned>(std::strtoul(seedEnv, nullptr, 10)) : 1;
  const int steps = stepsEnv ? std::atoi(stepsEnv) : 1500;
  for (unsigned seed = firstSeed; seed < firstSeed + 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TModelRun run(seed);
    run.Run(steps);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace lumo
