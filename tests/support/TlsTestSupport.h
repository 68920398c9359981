// TLS pieces for tests: a small certificate authority made with the openssl
// command-line tool in a temporary folder, and the server side of a TLS
// connection on a socket that a loopback or fake server accepted.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace lumo::test {

// A CA of its own (EC P-256 keys, valid for two days); the folder and
// everything in it are removed with the object. Throws std::runtime_error
// when the openssl tool fails.
class TestPki {
 public:
  explicit TestPki(const std::string& caName = "Lumo Test CA");
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;
  ~TestPki();

  const std::string& Dir() const { return FDir; }
  std::string CaFile() const { return FDir + "/ca.pem"; }

  struct Pair {
    std::string Cert, Key;
  };
  // A server certificate signed by the CA; `san` is a subjectAltName value
  // such as "DNS:localhost,IP:127.0.0.1".
  Pair Issue(const std::string& name, const std::string& commonName, const std::string& san) const;

 private:
  void Run(const std::string& command) const;

  std::string FDir;
};

// The server side of TLS on a connected socket (the descriptor stays the
// caller's). The constructor runs the handshake; reads and writes block for
// at most 10 s.
class TlsServerSide {
 public:
  TlsServerSide(int fd, const std::string& certFile, const std::string& keyFile);
  ~TlsServerSide();

  bool Ok() const { return FOk; }
  // OpenSSL's reason when the handshake failed.
  const std::string& Error() const { return FError; }
  // Exactly `n` bytes; false when the stream ended or failed.
  bool ReadExact(std::string& out, std::size_t n);
  bool Write(const std::string& data);
  // Reads until the client stops; true when it ended with a close
  // notification.
  bool ClientSentCloseNotify();

 private:
  struct CtxFree {
    void operator()(SSL_CTX* p) const noexcept { SSL_CTX_free(p); }
  };
  struct SslFree {
    void operator()(SSL* p) const noexcept { SSL_free(p); }
  };
  std::unique_ptr<SSL_CTX, CtxFree> FCtx;
  std::unique_ptr<SSL, SslFree> FSsl;
  bool FOk = false;
  std::string FError;
};

}  // namespace lumo::test
