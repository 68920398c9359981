// Connect strings: building in key order with defaults left out, reading
// with both key forms, quoted values and their round trip, the errors and
// the previous string kept when reading fails.
#include <gtest/gtest.h>

#include <lumokit/components/DAConnectString.h>
#include "components/DAConnectionTestUtil.h"

namespace lumo::test {
namespace {

TEST(DAConnectString, BuildsOnlyWhatDiffersFromTheDefaults) {
  FakeServer server;
  FakeDAConnection c(server);
  c.SetLoginPrompt(true);
  EXPECT_EQ(c.ConnectString(), "");
  c.SetPooling(true);
  EXPECT_EQ(c.ConnectString(), "Pooling=True");
  c.SetLoginPrompt(false);
  c.PoolingOptions().SetValidate(true);
  c.PoolingOptions().SetMinPoolSize(2);
  c.PoolingOptions().SetMaxPoolSize(20);
  c.PoolingOptions().SetConnectionLifetime(60000);
  EXPECT_EQ(c.ConnectString(),
            "Login Prompt=False;Pooling=True;Connection LifeTime=60000;Max Pool Size=20;Min Pool Size=2;"
            "Validate Connection=True");
}

TEST(DAConnectString, ReadsBothKeyFormsAndQuotedValues) {
  FakeServer server;
  FakeDAConnection c(server);
  c.SetConnectString(" Max Pool Size = \" 20 \" ; loginprompt=false;;ValidateConnection=1;");
  EXPECT_EQ(c.PoolingOptions().MaxPoolSize(), 20);
  EXPECT_FALSE(c.LoginPrompt());
  EXPECT_TRUE(c.PoolingOptions().Validate());
  EXPECT_FALSE(c.Pooling());

  // A new string starts from the defaults.
  c.SetConnectString("Pooling=True");
  EXPECT_TRUE(c.LoginPrompt());
  EXPECT_EQ(c.PoolingOptions().MaxPoolSize(), 100);
  EXPECT_TRUE(c.Pooling());
}

TEST(DAConnectString, ErrorsKeepThePreviousSettings) {
  FakeServer server;
  FakeDAConnection c(server);
  c.SetConnectString("Max Pool Size=30");
  const struct {
    const char* text;
    const char* message;
  } bad[] = {
      {"Pooling=True;pooling=False", "Connection parameter cannot be added twice - pooling"},
      {"Login Prompt=False;LoginPrompt=False", "Connection parameter cannot be added twice - LoginPrompt"},
      {"=5", "Connection parameter name missing"},
      {"Colour=red", "Connection parameter name is unknown - Colour"},
      {"Max Pool Size=0", "Invalid value of connection parameter Max Pool Size: 0"},
      {"Max Pool Size=2147483648", "Invalid value of connection parameter Max Pool Size: 2147483648"},
      {"Connection LifeTime=-1", "Invalid value of connection parameter Connection LifeTime: -1"},
      {"Min Pool Size=12abc", "Invalid value of connection parameter Min Pool Size: 12abc"},
      {"Pooling=maybe", "Invalid value of connection parameter Pooling: maybe"},
      {"Min Pool Size=200", "Invalid value of connection parameter Min Pool Size: 200"},
  };
  for (const auto& b : bad) {
    try {
      c.SetConnectString(b.text);
      ADD_FAILURE() << b.text;
    } catch (const EDAError& e) {
      EXPECT_EQ(e.Message(), b.message) << b.text;
    }
    EXPECT_EQ(c.ConnectString(), "Max Pool Size=30") << b.text;
    EXPECT_FALSE(c.Pooling()) << b.text;
  }
}

TEST(DAConnectString, AssigningADifferentStringDisconnects) {
  FakeServer server;
  FakeDAConnection c(server);
  c.Connect();
  c.SetConnectString("Login Prompt=False");  // the same settings: nothing happens
  EXPECT_TRUE(c.Connected());
  c.SetConnectString("Login Prompt=False;Validate Connection=True");
  EXPECT_FALSE(c.Connected());
}

TEST(DAConnectString, ValuesWithSeparatorsAndQuotesRoundTrip) {
  const std::vector<std::string> values = {"a;b", "x=y", "it's", "say \"hi\"", "--not a comment", "#nor this",
                                           "/* nor */", "'quoted'", "plain"};
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i)
    TDAConnectStringBuilder::AddPair(text, "K" + std::to_string(i), values[i]);
  const auto pairs = TDAConnectStringBuilder::Parse(text);
  ASSERT_EQ(pairs.size(), values.size()) << text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(pairs[i].Name, "K" + std::to_string(i));
    EXPECT_EQ(pairs[i].Value, values[i]) << text;
  }
  EXPECT_EQ(TDAConnectStringBuilder::QuoteValue("plain"), "plain");
  EXPECT_EQ(TDAConnectStringBuilder::QuoteValue("a\"b"), "\"a\"\"b\"");

  // Quotes inside an unquoted value, and a quote that does not close it.
  const auto loose = TDAConnectStringBuilder::Parse("A=it's;B=\"open;C = 'x' y");
  ASSERT_EQ(loose.size(), 3u);
  EXPECT_EQ(loose[0].Value, "it's");
  EXPECT_EQ(loose[1].Value, "\"open");
  EXPECT_EQ(loose[2].Value, "'x' y");
  EXPECT_FALSE(loose[2].Quoted);
}

}  // namespace
}  // namespace lumo::test

namespace lumo::test {
namespace {

// A front's builder adds its own key on top of the base keys.
class PortBuilder : public TDAConnectStringBuilder {
 public:
  using TDAConnectStringBuilder::TDAConnectStringBuilder;
  std::string GetConnectString() override {
    std::string s = TDAConnectStringBuilder::GetConnectString();
    if (Port != 0) AddPair(s, "Port", std::to_string(Port));
    return s;
  }
  int Port = 0;

 protected:
  void InitConnectStringOptions() override {
    TDAConnectStringBuilder::InitConnectStringOptions();
    Port = 0;
  }
  void ProcessConnectStringParam(const std::string& name, const std::string& value, bool quoted) override {
    if (SameName(name, "Port"))
      Port = ParseInt(name, value, 0, 65535);
    else
      TDAConnectStringBuilder::ProcessConnectStringParam(name, value, quoted);
  }
};

class PortConnection : public FakeDAConnection {
 public:
  using FakeDAConnection::FakeDAConnection;

 protected:
  std::unique_ptr<TDAConnectStringBuilder> CreateConnectStringBuilder() override {
    return std::make_unique<PortBuilder>(*this);
  }
};

TEST(DAConnectString, TheFrontsBuilderIsTheOneUsed) {
  FakeServer server;
  PortConnection c(server);
  c.SetConnectString("port=3307;Pooling=True");
  EXPECT_EQ(static_cast<PortBuilder&>(c.ConnectStringBuilder()).Port, 3307);
  EXPECT_EQ(c.ConnectString(), "Pooling=True;Port=3307");
  EXPECT_THROW(c.SetConnectString("Port=70000"), EDAError);
  EXPECT_EQ(c.ConnectString(), "Pooling=True;Port=3307");
}

}  // namespace
}  // namespace lumo::test
