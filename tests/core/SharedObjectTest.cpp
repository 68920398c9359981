#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <lumokit/core/SharedObject.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {
namespace {

// Counts destructions and checks validity from inside its own destruction.
class TProbe : public TSharedObject {
 public:
  explicit TProbe(int& destroyed) : FDestroyed(destroyed) {}
  ~TProbe() override {
    ++FDestroyed;
    try {
      CheckValid();
    } catch (const Exception& e) {
      FCheckText = e.Message();
    }
  }
  static inline std::string FCheckText;

 private:
  int& FDestroyed;
};

TEST(SharedObject, CountRules) {
  int destroyed = 0;
  auto* p = new TProbe(destroyed);
  EXPECT_EQ(p->RefCount(), 1);
  EXPECT_EQ(p->GCHandle(), static_cast<void*>(p));
  EXPECT_NO_THROW(p->CheckValid());
  p->AddRef();
  EXPECT_EQ(p->RefCount(), 2);
  p->Release();
  EXPECT_EQ(destroyed, 0) << "the first release must not destroy";
  EXPECT_EQ(p->RefCount(), 1);
  TProbe::FCheckText.clear();
  p->Free();
  EXPECT_EQ(destroyed, 1);
  // Within destruction the count is already 0, so the object reports itself dead.
  EXPECT_EQ(TProbe::FCheckText, "Invalid SharedObject");
}

TEST(SharedObject, SmartReferenceHoldsOneCount) {
  int destroyed = 0;
  {
    TSharedRef<TProbe> a = NewShared<TProbe>(destroyed);
    EXPECT_EQ(a->RefCount(), 1);
    {
      TSharedRef<TSharedObject> b = a;  // converting copy adds a reference
      EXPECT_EQ(a->RefCount(), 2);
      TSharedRef<TSharedObject> c = std::move(b);
      EXPECT_FALSE(b);
      EXPECT_EQ(a->RefCount(), 2);
      TSharedRef<TProbe> d = TSharedRef<TProbe>::Share(a.Get());
      EXPECT_EQ(a->RefCount(), 3);
      d = a;  // self-equal assignment keeps the count balanced
      EXPECT_EQ(a->RefCount(), 3);
    }
    EXPECT_EQ(a->RefCount(), 1);
    EXPECT_EQ(destroyed, 0);
    TProbe* raw = a.Detach();
    EXPECT_EQ(raw->RefCount(), 1);
    TSharedRef<TProbe> back = TSharedRef<TProbe>::Adopt(raw);
    EXPECT_EQ(back->RefCount(), 1);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(SharedObject, CountIsAtomicAcrossThreads) {
  int destroyed = 0;
  TSharedRef<TProbe> root = NewShared<TProbe>(destroyed);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&root] {
      for (int i = 0; i < 20000; ++i) {
        TSharedRef<TProbe> copy = root;
        copy.Reset();
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(root->RefCount(), 1);
  root.Reset();
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace lumo
