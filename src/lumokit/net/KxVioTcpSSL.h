// The TCP transport that can switch to TLS in the middle of a connection:
// the MySQL session connects it as plain TCP, sends its SSL request in
// clear and then calls SetisSecure(true); from then on every read and write
// goes through OpenSSL on the same socket.
//
// Decisions:
// - OpenSSL 3 is linked at build time; there is nothing to load at run
//   time, so no "could not be loaded" or "not linked" failure exists.
// - TLS 1.2 is the lowest version offered; key exchange uses OpenSSL's own
//   groups (no Diffie-Hellman parameters of our own).
// - The TLS context is built by the constructor, so a CA file or folder
//   that cannot be loaded, or a cipher list OpenSSL refuses, fails before
//   any connection is made (a plain Exception naming the file or list).
// - With a CA file or folder the server's chain is verified and so is its
//   name: SSL_set1_host for a host name (also sent as SNI), the address for
//   a numeric IPv4 or IPv6 host. Without one nothing is verified; the
//   subject of the server's certificate can still be read
//   (PeerCertificateSubject).
// - A client certificate or key that cannot be used does not stop the
//   connection: the reason is kept (ClientCertificateError, and LastError
//   until the next read or write) and appended to a handshake failure.
// - A cipher list holding TLS 1.3 suite names ("TLS_AES_256_GCM_SHA384")
//   sets those suites, the other names set the TLS 1.2 ciphers; a list of
//   TLS 1.2 names alone also limits the connection to TLS 1.2, so that the
//   ciphers asked for are the ones used.
// - A failed handshake raises a plain Exception whose message is
//   "SSL_do_handshake = <r>\r\nSSL_get_error(..., r2) = <code>\r\nr2 = <r>"
//   followed by a line with the reason (the verification result, OpenSSL's
//   error or the system's); the socket stays open and not secure.
// - Bytes that arrived before the switch and were not yet read would be
//   taken as if they had come through TLS: SetisSecure refuses them
//   ("The server sent data before the TLS handshake").
// - Reads and writes go through a BIO of our own over the descriptor: sends
//   use MSG_NOSIGNAL (no SIGPIPE ever), EINTR is retried, and a time-out is
//   reported as ETIMEDOUT like on the plain socket. A server that closes
//   without a TLS close notification is an end of stream, as on TCP (the
//   packet layer sees a truncated packet by its own framing).
// - Close sends a TLS close notification without waiting for the server's
//   (and without blocking on a full send buffer), unless the TLS stream
//   already failed; every OpenSSL object is freed on every path.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include <lumokit/net/KxVioTcp.h>

namespace lumo {

class TKxVioTcpSSL : public TKxVioTcp {
 public:
  TKxVioTcpSSL(std::string hostname, std::string SSL_cipher, std::string SSL_capath, std::string SSL_ca,
               std::string SSL_cert, std::string SSL_key, int port);
  ~TKxVioTcpSSL() override;

  void Connect() override;
  void Close() override;
  std::size_t ReadNoWait(void* buffer, std::size_t offset, std::size_t count) override;
  std::size_t WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) override;
  // Decrypted bytes held by OpenSSL count as data.
  bool WaitForData(int Timeout) override;

  bool IsSecure() const noexcept { return FisSecure; }
  // Runs the TLS handshake on the open socket; only true is allowed, once.
  void SetisSecure(bool Value);

  // A CA file or folder was given: the server is verified.
  bool Verifies() const noexcept { return !FSSL_ca.empty() || !FSSL_capath.empty(); }
  // The server certificate's subject ("/CN=..."), empty while not secure.
  std::string PeerCertificateSubject() const;
  // The protocol version and cipher in use, empty while not secure.
  std::string Version() const;
  std::string Cipher() const;
  // Why the client certificate is not used; empty when it is or none was
  // given.
  const std::string& ClientCertificateError() const noexcept { return FClientCertificateError; }

  // What the transport's BIO keeps about its descriptor.
  struct TSocketState {
    int Fd = -1;
    int LastErrno = 0;    // errno of the last failed call, 0 at end of stream
    bool Eof = false;     // the last read met the end of the stream
    bool NoWait = false;  // sends do not block (the close notification)
  };

 private:
  struct SslCtxFree {
    void operator()(SSL_CTX* p) const noexcept { SSL_CTX_free(p); }
  };
  struct SslFree {
    void operator()(SSL* p) const noexcept { SSL_free(p); }
  };

  void BuildContext();
  void SetCipherList();
  void LoadClientCertificate();
  // The connection object for the open socket, with the host check when
  // verifying.
  std::unique_ptr<SSL, SslFree> NewConnection();
  [[noreturn]] void RaiseHandshakeError(SSL* ssl, int result) const;
  // Records a failed TLS read or write (`error`: SSL_get_error) and returns
  // 0; an orderly end of stream leaves no error.
  std::size_t TransferFailed(int error, const char* format);
  void ShutdownTls() noexcept;

  std::string FSSL_key;
  std::string FSSL_cert;
  std::string FSSL_ca;
  std::string FSSL_capath;
  std::string FSSL_cipher;
  std::string FClientCertificateError;
  std::unique_ptr<SSL_CTX, SslCtxFree> FContext;
  std::unique_ptr<SSL, SslFree> Fssl;  // null while not secure
  TSocketState FSocket;
  bool FisSecure = false;
  bool FTlsFailed = false;  // a TLS read or write failed: no close notification
};

}  // namespace lumo
