#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <lumokit/core/Component.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {
namespace {

std::vector<std::string>* gLog = nullptr;

class TLogged : public TComponent {
 public:
  explicit TLogged(std::string id) : FId(std::move(id)) {}
  ~TLogged() override {
    if (gLog) gLog->push_back("destroy " + FId);
  }
  TComponent* Linked = nullptr;
  void Link(TComponent& other) {
    Linked = &other;
    FreeNotification(other);
  }
  void Loaded() override {
    TComponent::Loaded();
    if (gLog) gLog->push_back("loaded " + FId);
  }

 protected:
  void Notification(TComponent& component, TOperation op) override {
    TComponent::Notification(component, op);
    if (op == TOperation::opRemove && &component == Linked) {
      Linked = nullptr;
      if (gLog) gLog->push_back(FId + " lost link");
    }
  }

 private:
  std::string FId;
};

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override { gLog = &log; }
  void TearDown() override { gLog = nullptr; }
  std::vector<std::string> log;
};

TEST_F(ComponentTest, OwnerDestroysItsComponentsInReverseOrder) {
  {
    TLogged owner("owner");
    TComponent::CreateOwned<TLogged>(owner, "a");
    TComponent::CreateOwned<TLogged>(owner, "b");
    TComponent::CreateOwned<TLogged>(owner, "c");
    EXPECT_EQ(owner.ComponentCount(), 3);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"destroy owner", "destroy c", "destroy b", "destroy a"}));
}

TEST_F(ComponentTest, FreeNotificationClearsTheReferenceEitherWay) {
  TLogged owner("owner");
  auto& a = TComponent::CreateOwned<TLogged>(owner, "a");
  auto& b = TComponent::CreateOwned<TLogged>(owner, "b");
  auto outside = std::make_unique<TLogged>("x");
  outside->Link(a);
  b.Link(*outside);
  owner.DestroyComponent(a);
  EXPECT_EQ(outside->Linked, nullptr);
  outside.reset();
  EXPECT_EQ(b.Linked, nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"destroy a", "x lost link", "destroy x", "b lost link"}));
}

TEST_F(ComponentTest, NamesAreIdentifiersUniqueWithinTheOwner) {
  TComponent owner;
  auto& a = TComponent::CreateOwned<TComponent>(owner);
  a.SetName("Button2");
  auto& b = TComponent::CreateOwned<TComponent>(owner);
  EXPECT_THROW(b.SetName("button2"), EArgumentError);
  EXPECT_THROW(b.SetName("2x"), EArgumentError);
  b.SetName("Memo");
  EXPECT_EQ(owner.FindComponent("BUTTON2"), &a);
  EXPECT_EQ(owner.FindComponent("missing"), nullptr);
  a.SetName("BUTTON2");  // same name in another case is a rename of itself
  EXPECT_EQ(a.Name(), "BUTTON2");
}

TEST_F(ComponentTest, RemoveComponentHandsOwnershipBack) {
  TComponent owner;
  auto& a = TComponent::CreateOwned<TLogged>(owner, "a");
  std::unique_ptr<TComponent> mine = owner.RemoveComponent(a);
  EXPECT_EQ(owner.ComponentCount(), 0);
  EXPECT_EQ(mine->Owner(), nullptr);
  mine.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"destroy a"}));
}

// Logs every removal it is told of; the first one may take a sibling out
// of the owner.
class TWatcher : public TComponent {
 public:
  TComponent* TakeOut = nullptr;
  std::unique_ptr<TComponent> Taken;

 protected:
  void Notification(TComponent& component, TOperation op) override {
    TComponent::Notification(component, op);
    if (op != TOperation::opRemove) return;
    gLog->push_back(Name() + " told of " + component.Name());
    if (TComponent* t = std::exchange(TakeOut, nullptr)) Taken = Owner()->RemoveComponent(*t);
  }
};

TEST_F(ComponentTest, ASiblingTakenOutWhileRemovalsAreForwardedIsNotToldAfterwards) {
  TComponent owner;
  TWatcher* w[4];
  const char* names[] = {"a", "b", "c", "d"};
  for (int i = 0; i < 4; ++i) {
    w[i] = &TComponent::CreateOwned<TWatcher>(owner);
    w[i]->SetName(names[i]);
  }
  w[1]->TakeOut = w[2];
  owner.DestroyComponent(*w[0]);
  EXPECT_EQ(log, (std::vector<std::string>{"b told of a", "b told of c", "d told of c", "d told of a"}));
  EXPECT_EQ(owner.ComponentCount(), 2);
}

TEST_F(ComponentTest, LoadingStateIsSetUntilLoaded) {
  TLogged c("c");
  c.BeginLoading();
  EXPECT_TRUE(c.HasState(csLoading));
  EXPECT_TRUE(c.HasState(csReading));
  c.EndReading();
  EXPECT_FALSE(c.HasState(csReading));
  c.Loaded();
  EXPECT_FALSE(c.HasState(csLoading));
  EXPECT_EQ(log, (std::vector<std::string>{"loaded c"}));
}

}  // namespace
}  // namespace lumo
