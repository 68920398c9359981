// The framework's connection base (event order, clients, stored Connected)
// and statement parameters (typed access, lookup, copies).
#include <gtest/gtest.h>

#include <lumokit/dataset/CustomConnection.h>
#include <lumokit/dataset/Params.h>

namespace lumo {
namespace {

class FlagConnection : public TCustomConnection {
 public:
  std::vector<std::string> Log;

 protected:
  bool GetConnected() const override { return FOpen; }
  void DoConnect() override {
    Log.push_back("DoConnect");
    FOpen = true;
  }
  void DoDisconnect() override {
    Log.push_back("DoDisconnect");
    FOpen = false;
  }

 private:
  bool FOpen = false;
};

TEST(CustomConnection, EventsAndClientsInOrder) {
  FlagConnection c;
  TComponent a, b;
  c.BeforeConnect = [&](TCustomConnection&) { c.Log.push_back("BeforeConnect"); };
  c.AfterConnect = [&](TCustomConnection&) { c.Log.push_back("AfterConnect"); };
  c.BeforeDisconnect = [&](TCustomConnection&) { c.Log.push_back("BeforeDisconnect"); };
  c.AfterDisconnect = [&](TCustomConnection&) { c.Log.push_back("AfterDisconnect"); };
  c.RegisterClient(&a, [&](bool) { c.Log.push_back("replaced"); });
  c.RegisterClient(&b, [&](bool on) { c.Log.push_back(on ? "b on" : "b off"); });
  c.RegisterClient(&a, [&](bool on) {
    c.Log.push_back(on ? "a on" : "a off");
    if (!on) c.UnRegisterClient(&b);  // b is not told afterwards
  });
  EXPECT_EQ(c.ClientCount(), 2);

  c.Open();
  c.Open();
  c.Close();
  EXPECT_EQ(c.Log, (std::vector<std::string>{"BeforeConnect", "DoConnect", "a on", "b on", "AfterConnect",
                                             "BeforeDisconnect", "a off", "DoDisconnect", "AfterDisconnect"}));
  EXPECT_FALSE(c.IsClientRegistered(&b));
}

TEST(CustomConnection, StoredConnectedWaitsForLoaded) {
  FlagConnection c;
  c.BeginLoading();
  c.SetConnected(true);
  EXPECT_FALSE(c.Connected());
  c.EndReading();
  c.Loaded();
  EXPECT_TRUE(c.Connected());
}

TEST(Params, TypedAccessSetsTypeAndBound) {
  TParam p;
  EXPECT_TRUE(p.IsNull());
  EXPECT_FALSE(p.Bound());
  EXPECT_EQ(p.AsInteger(), 0);
  EXPECT_EQ(p.AsString(), "");
  p.SetAsInteger(42);
  EXPECT_EQ(p.DataType(), ftInteger);
  EXPECT_TRUE(p.Bound());
  EXPECT_EQ(p.AsString(), "42");
  p.SetValue(Variant("7"));  // a known type stays
  EXPECT_EQ(p.DataType(), ftInteger);
  EXPECT_EQ(p.AsInteger(), 7);
  p.Clear();
  EXPECT_TRUE(p.IsNull());

  TParam q;
  q.SetValue(Variant(2.5));
  EXPECT_EQ(q.DataType(), ftFloat);
  TParam r;
  r.SetValue(Variant(std::int64_t(1) << 40));
  EXPECT_EQ(r.DataType(), ftLargeint);
  r.SetAsDate(45000.75);
  EXPECT_EQ(r.DataType(), ftDate);
  EXPECT_DOUBLE_EQ(r.AsDateTime(), 45000.75);
}

class TaggedParam : public TParam {};
class TaggedParams : public TParams {
 protected:
  std::unique_ptr<TParam> CreateItem() override { return std::make_unique<TaggedParam>(); }
};

TEST(Params, LookupAssignAndValues) {
  TParams params;
  params.CreateParam(ftString, "Name", ptInput).SetAsString("x");
  params.CreateParam(ftInteger, "id", ptOutput);
  EXPECT_EQ(params.FindParam("NAME"), &params[0]);
  EXPECT_EQ(params.FindParam("missing"), nullptr);
  try {
    params.ParamByName("missing");
    ADD_FAILURE();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Parameter 'missing' not found");
  }
  EXPECT_EQ(params[1].Index(), 1);

  TaggedParams copy;
  copy.Assign(params);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_NE(dynamic_cast<TaggedParam*>(&copy[0]), nullptr);
  EXPECT_EQ(copy[1].ParamType(), ptOutput);
  EXPECT_TRUE(copy.IsEqual(params));
  copy[0].SetAsString("y");
  EXPECT_FALSE(copy.IsEqual(params));

  TParams target;
  target.CreateParam(ftUnknown, "name", ptUnknown);
  target.CreateParam(ftUnknown, "other", ptUnknown).SetAsInteger(3);
  target.AssignValues(params);
  EXPECT_EQ(target[0].AsString(), "x");
  EXPECT_EQ(target[0].DataType(), ftString);
  EXPECT_EQ(target[1].AsInteger(), 3);

  std::unique_ptr<TParam> taken = params.RemoveParam(params[0]);
  EXPECT_EQ(taken->Collection(), nullptr);
  EXPECT_EQ(params.Count(), 1);
}

}  // namespace
}  // namespace lumo

namespace lumo {
namespace {

TEST(CustomConnection, DestroyedClientsAreDropped) {
  FlagConnection c;
  int calls = 0;
  {
    TComponent gone;
    c.RegisterClient(&gone, [&](bool) { ++calls; });
    EXPECT_EQ(c.ClientCount(), 1);
  }
  EXPECT_EQ(c.ClientCount(), 0);
  c.Open();
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace lumo
