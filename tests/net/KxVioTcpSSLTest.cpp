// The TLS transport against a TLS server on the loopback interface with
// certificates of a CA made for the test: verified and unverified switches,
// the chain and name checks, configuration errors, cipher choice, the close
// notification and writes to a peer that is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <string>

#include <lumokit/core/SyncObjs.h>
#include <lumokit/net/KxVioTcpSSL.h>
#include "support/LoopbackServer.h"
#include "support/TlsTestSupport.h"

namespace lumo {
namespace {

using test::LoopbackConnection;
using test::LoopbackServer;
using test::TestPki;
using test::TlsServerSide;

std::unique_ptr<TKxVioTcpSSL> Tls(const std::string& host, int port, const std::string& ca,
                                  const std::string& cipher = "", const std::string& cert = "") {
  auto vio = std::make_unique<TKxVioTcpSSL>(host, cipher, "", ca, cert, "", port);
  vio->SetTimeout(10);
  return vio;
}

// The message of the Exception that f raises ("" when it raises none).
std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "";
}

class TlsTransport : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Pki = std::make_unique<TestPki>();
    Local = Pki->Issue("local", "localhost", "DNS:localhost,IP:127.0.0.1");
    Other = Pki->Issue("other", "other.example", "DNS:other.example");
  }
  static void TearDownTestSuite() { Pki.reset(); }

  static std::unique_ptr<TestPki> Pki;
  static TestPki::Pair Local, Other;
};

std::unique_ptr<TestPki> TlsTransport::Pki;
TestPki::Pair TlsTransport::Local, TlsTransport::Other;

TEST_F(TlsTransport, VerifiedSwitchExchangesDataAndClosesWithNotification) {
  std::atomic<int> notified{0};
  LoopbackServer srv([&](LoopbackConnection& c) {
    TlsServerSide tls(c.Fd(), Local.Cert, Local.Key);
    std::string in;
    if (tls.ReadExact(in, 5) && in == "hello") tls.Write("world");
    if (tls.ClientSentCloseNotify()) ++notified;
  });
  for (const char* host : {"127.0.0.1", "localhost"}) {
    auto vio = Tls(host, srv.Port(), Pki->CaFile());
    vio->Connect();
    vio->SetisSecure(true);
    ASSERT_TRUE(vio->IsSecure());
    EXPECT_EQ(vio->Write("hello", 0, 5), 5u);
    char buf[5];
    ASSERT_EQ(vio->Read(buf, 0, 5), 5u) << vio->LastError();
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_TRUE(vio->Version() == "TLSv1.3" || vio->Version() == "TLSv1.2") << vio->Version();
    EXPECT_NE(vio->PeerCertificateSubject().find("CN=localhost"), std::string::npos);
    vio->Close();
  }
  srv.Stop();
  EXPECT_EQ(notified.load(), 2);
}

TEST_F(TlsTransport, ChainAndNameAreCheckedOnlyWithACa) {
  LoopbackServer srv([&](LoopbackConnection& c) { TlsServerSide tls(c.Fd(), Other.Cert, Other.Key); });
  TestPki stranger("Stranger CA");
  const struct {
    std::string host, ca, reason;
  } refused[] = {
      {"127.0.0.1", Pki->CaFile(), "IP address mismatch"},
      {"localhost", Pki->CaFile(), "hostname mismatch"},
      {"127.0.0.1", stranger.CaFile(), "unable to get local issuer certificate"},
  };
  for (const auto& r : refused) {
    auto vio = Tls(r.host, srv.Port(), r.ca);
    vio->Connect();
    const std::string msg = MessageOf([&] { vio->SetisSecure(true); });
    EXPECT_EQ(msg.rfind("SSL_do_handshake = -1\r\nSSL_get_error(..., r2) = 1\r\nr2 = -1\r\n", 0), 0u) << msg;
    EXPECT_NE(msg.find(r.reason), std::string::npos) << msg;
    EXPECT_FALSE(vio->IsSecure());
    EXPECT_TRUE(vio->IsActive());  // the socket stays open, not secure
  }
  // Without a CA nothing is checked, and the subject can still be read.
  auto vio = Tls("127.0.0.1", srv.Port(), "");
  vio->Connect();
  vio->SetisSecure(true);
  EXPECT_FALSE(vio->Verifies());
  EXPECT_EQ(vio->PeerCertificateSubject(), "/CN=other.example");
}

TEST_F(TlsTransport, ConfigurationErrors) {
  const std::string missing = Pki->Dir() + "/missing.pem";
  EXPECT_EQ(MessageOf([&] { Tls("localhost", 1, missing); })
                .rfind("Cannot load the SSL certificate authority file '" + missing + "':\r\n", 0),
            0u);
  EXPECT_EQ(MessageOf([&] { TKxVioTcpSSL("localhost", "", missing, "", "", "", 1); })
                .rfind("Cannot load the SSL certificate authority folder '" + missing + "':\r\n", 0),
            0u);
  EXPECT_EQ(MessageOf([&] { Tls("localhost", 1, "", "NO-SUCH-CIPHER"); })
                .rfind("Invalid SSL cipher list 'NO-SUCH-CIPHER':\r\n", 0),
            0u);
  // A client certificate that cannot be used only leaves its reason.
  auto vio = Tls("localhost", 1, "", "", missing);
  EXPECT_EQ(vio->ClientCertificateError().rfind("Cannot use the SSL client certificate '" + missing + "':\r\n", 0),
            0u);
  EXPECT_EQ(vio->LastError(), vio->ClientCertificateError());
  // A key that does not belong to the certificate is refused as well.
  auto mismatched = std::make_unique<TKxVioTcpSSL>("localhost", "", "", "", Local.Cert, Other.Key, 1);
  EXPECT_EQ(mismatched->ClientCertificateError().rfind("Cannot use the SSL client key '" + Other.Key, 0), 0u);
}

TEST_F(TlsTransport, TlsTwelveCipherListLimitsTheVersion) {
  LoopbackServer srv([&](LoopbackConnection& c) {
    TlsServerSide tls(c.Fd(), Local.Cert, Local.Key);
    tls.ClientSentCloseNotify();
  });
  auto vio = Tls("127.0.0.1", srv.Port(), Pki->CaFile(), "ECDHE-ECDSA-AES128-GCM-SHA256");
  vio->Connect();
  vio->SetisSecure(true);
  EXPECT_EQ(vio->Version(), "TLSv1.2");
  EXPECT_EQ(vio->Cipher(), "ECDHE-ECDSA-AES128-GCM-SHA256");
  auto v13 = Tls("127.0.0.1", srv.Port(), Pki->CaFile(), "TLS_CHACHA20_POLY1305_SHA256");
  v13->Connect();
  v13->SetisSecure(true);
  EXPECT_EQ(v13->Cipher(), "TLS_CHACHA20_POLY1305_SHA256");
}

TEST_F(TlsTransport, WritesToAPeerThatIsGoneRaiseNoSigpipe) {
  ManualResetEvent closed;
  LoopbackServer srv([&](LoopbackConnection& c) {
    TlsServerSide tls(c.Fd(), Local.Cert, Local.Key);
    c.Reset();
    closed.SetEvent();
  });
  // The default action of SIGPIPE ends the process: a raised one fails the
  // whole run.
  struct sigaction dfl {}, old {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &dfl, &old);
  auto vio = Tls("127.0.0.1", srv.Port(), Pki->CaFile());
  vio->Connect();
  vio->SetisSecure(true);
  ASSERT_TRUE(closed.WaitFor(10000));
  const std::string block(1 << 20, 'x');
  std::size_t written = 0;
  for (int i = 0; i < 64 && (written = vio->Write(block.data(), 0, block.size())) == block.size(); ++i) {
  }
  ::sigaction(SIGPIPE, &old, nullptr);
  EXPECT_LT(written, block.size());
  EXPECT_NE(vio->LastError().find("Error on data writing to the connection:"), std::string::npos) << vio->LastError();
  vio->Close();  // no close notification after a failed write, and no raise
}

}  // namespace
}  // namespace lumo
