#include "support/TlsTestSupport.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace lumo::test {

namespace {

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string OpenSslError() {
  char buf[256] = "";
  if (unsigned long e = ERR_peek_last_error()) ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// TestPki

TestPki::TestPki(const std::string& caName) {
  char pattern[] = "/tmp/lumo-pki-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  FDir = pattern;
  Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj " +
      Quote("/CN=" + caName) + " -keyout ca-key.pem -out ca.pem");
}

TestPki::~TestPki() {
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

void TestPki::Run(const std::string& command) const {
  const std::string log = FDir + "/openssl.log";
  const std::string line = "cd " + Quote(FDir) + " && " + command + " >>" + Quote(log) + " 2>&1";
  if (std::system(line.c_str()) != 0) {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    throw std::runtime_error("openssl failed: " + command + "\n" + text.str());
  }
}

TestPki::Pair TestPki::Issue(const std::string& name, const std::string& commonName, const std::string& san) const {
  {
    std::ofstream ext(FDir + "/" + name + ".ext");
    ext << "basicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\nsubjectAltName = " << san << "\n";
  }
  Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj " +
      Quote("/CN=" + commonName) + " -keyout " + name + "-key.pem -out " + name + ".csr");
  Run("openssl x509 -req -days 2 -in " + name + ".csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial -extfile " +
      name + ".ext -out " + name + ".pem");
  return {FDir + "/" + name + ".pem", FDir + "/" + name + "-key.pem"};
}

// ---------------------------------------------------------------------------
// TlsServerSide

TlsServerSide::TlsServerSide(int fd, const std::string& certFile, const std::string& keyFile) {
  // OpenSSL writes to the descriptor with write(): a client that is gone
  // must not end the test process (this runs in a server thread of its own).
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  // Blocking, with time-outs, for the plain calls of OpenSSL.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

  FCtx.reset(SSL_CTX_new(TLS_server_method()));
  if (!FCtx || SSL_CTX_use_certificate_file(FCtx.get(), certFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(FCtx.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    FError = OpenSslError();
    return;
  }
  FSsl.reset(SSL_new(FCtx.get()));
  SSL_set_fd(FSsl.get(), fd);
  FOk = SSL_accept(FSsl.get()) == 1;
  if (!FOk) FError = OpenSslError();
}

TlsServerSide::~TlsServerSide() = default;

bool TlsServerSide::ReadExact(std::string& out, std::size_t n) {
  out.assign(n, '\0');
  std::size_t got = 0;
  while (FOk && got < n) {
    std::size_t k = 0;
    if (SSL_read_ex(FSsl.get(), out.data() + got, n - got, &k) != 1) return false;
    got += k;
  }
  return FOk;
}

bool TlsServerSide::Write(const std::string& data) {
  std::size_t written = 0;
  return FOk && SSL_write_ex(FSsl.get(), data.data(), data.size(), &written) == 1 && written == data.size();
}

bool TlsServerSide::ClientSentCloseNotify() {
  if (!FOk) return false;
  char buf[4096];
  std::size_t k = 0;
  while (SSL_read_ex(FSsl.get(), buf, sizeof buf, &k) == 1) {
  }
  const bool notified = SSL_get_error(FSsl.get(), 0) == SSL_ERROR_ZERO_RETURN;
  ERR_clear_error();
  return notified;
}

}  // namespace lumo::test
