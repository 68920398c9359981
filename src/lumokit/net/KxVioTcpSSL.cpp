#include <lumokit/net/KxVioTcpSSL.h>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>

#include <lumokit/core/Format.h>
#include <lumokit/core/FormatSettings.h>

namespace lumo {

namespace {

constexpr const char* kHandshakeFailed = "SSL_do_handshake = %d\r\nSSL_get_error(..., r2) = %d\r\nr2 = %d";
constexpr const char* kDataBeforeHandshake = "The server sent data before the TLS handshake";
constexpr const char* kBadCaFile = "Cannot load the SSL certificate authority file '%s':\r\n%s";
constexpr const char* kBadCaFolder = "Cannot load the SSL certificate authority folder '%s':\r\n%s";
constexpr const char* kBadCipherList = "Invalid SSL cipher list '%s':\r\n%s";
constexpr const char* kBadClientCert = "Cannot use the SSL client certificate '%s':\r\n%s";
constexpr const char* kBadClientKey = "Cannot use the SSL client key '%s':\r\n%s";

// OpenSSL's reason for the most recent error of this thread's queue, then
// the queue emptied; empty when the queue was empty.
std::string TakeOpenSslError() {
  const unsigned long e = ERR_peek_last_error();
  std::string text;
  if (e != 0) {
    if (const char* reason = ERR_reason_error_string(e)) {
      text = reason;
    } else {
      char buf[256];
      ERR_error_string_n(e, buf, sizeof buf);
      text = buf;
    }
  }
  ERR_clear_error();
  return text;
}

bool IsIpAddress(const std::string& host) {
  unsigned char addr[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), addr) == 1 || ::inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

// ---- the BIO over the transport's descriptor

using TSocketState = TKxVioTcpSSL::TSocketState;

TSocketState& StateOf(BIO* b) { return *static_cast<TSocketState*>(BIO_get_data(b)); }

int BioWrite(BIO* b, const char* data, std::size_t len, std::size_t* written) {
  BIO_clear_retry_flags(b);
  TSocketState& s = StateOf(b);
  const int flags = MSG_NOSIGNAL | (s.NoWait ? MSG_DONTWAIT : 0);
  for (;;) {
    const ssize_t n = ::send(s.Fd, data, len, flags);
    if (n >= 0) {
      *written = static_cast<std::size_t>(n);
      return 1;
    }
    if (errno == EINTR) continue;
    s.LastErrno = errno;
    return 0;
  }
}

int BioRead(BIO* b, char* data, std::size_t len, std::size_t* readbytes) {
  BIO_clear_retry_flags(b);
  TSocketState& s = StateOf(b);
  for (;;) {
    const ssize_t n = ::recv(s.Fd, data, len, 0);
    if (n > 0) {
      *readbytes = static_cast<std::size_t>(n);
      return 1;
    }
    if (n < 0 && errno == EINTR) continue;
    // A time-out (EAGAIN from SO_RCVTIMEO) is a failure, never a retry.
    s.LastErrno = n == 0 ? 0 : errno;
    s.Eof = n == 0;
    return 0;
  }
}

long BioCtrl(BIO* b, int cmd, long /*num*/, void* /*ptr*/) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;  // nothing is buffered here
    case BIO_CTRL_EOF:
      return StateOf(b).Eof ? 1 : 0;
    default:
      return 0;
  }
}

struct BioMethodFree {
  void operator()(BIO_METHOD* m) const noexcept { BIO_meth_free(m); }
};

const BIO_METHOD* SocketMethod() {
  static const std::unique_ptr<BIO_METHOD, BioMethodFree> method = [] {
    std::unique_ptr<BIO_METHOD, BioMethodFree> m(
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "lumo socket"));
    if (!m || !BIO_meth_set_write_ex(m.get(), BioWrite) || !BIO_meth_set_read_ex(m.get(), BioRead) ||
        !BIO_meth_set_ctrl(m.get(), BioCtrl))
      throw Exception("Cannot create the TLS socket BIO:\r\n" + TakeOpenSslError());
    return m;
  }();
  return method.get();
}

}  // namespace

TKxVioTcpSSL::TKxVioTcpSSL(std::string hostname, std::string SSL_cipher, std::string SSL_capath,
                           std::string SSL_ca, std::string SSL_cert, std::string SSL_key, int port)
    : TKxVioTcp(std::move(hostname), port),
      FSSL_key(std::move(SSL_key)),
      FSSL_cert(std::move(SSL_cert)),
      FSSL_ca(std::move(SSL_ca)),
      FSSL_capath(std::move(SSL_capath)),
      FSSL_cipher(Trim(SSL_cipher)) {
  BuildContext();
  if (!FSSL_cert.empty()) {
    LoadClientCertificate();
    // A context that took the certificate but not its key would offer a
    // certificate it cannot sign with: start again without one.
    if (!FClientCertificateError.empty()) BuildContext();
  }
  FLastError = FClientCertificateError;
}

TKxVioTcpSSL::~TKxVioTcpSSL() { ShutdownTls(); }

void TKxVioTcpSSL::BuildContext() {
  ERR_clear_error();
  FContext.reset(SSL_CTX_new(TLS_client_method()));
  if (!FContext) throw Exception("SSL_CTX_new failure:\r\n" + TakeOpenSslError());
  SSL_CTX* ctx = FContext.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // The MySQL framing tells a truncated stream by itself; a server that
  // closes without a close notification ends the stream as on TCP.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Fewer, larger reads from the socket.
  SSL_CTX_set_read_ahead(ctx, 1);
  if (!FSSL_cipher.empty()) SetCipherList();
  if (!Verifies()) return;
  if (!FSSL_capath.empty()) {
    struct stat st {};
    if (::stat(FSSL_capath.c_str(), &st) != 0) throw Exception(Format(kBadCaFolder, {FSSL_capath, SysErrorMessage(errno)}));
    if (!S_ISDIR(st.st_mode)) throw Exception(Format(kBadCaFolder, {FSSL_capath, SysErrorMessage(ENOTDIR)}));
    if (!SSL_CTX_load_verify_dir(ctx, FSSL_capath.c_str()))
      throw Exception(Format(kBadCaFolder, {FSSL_capath, TakeOpenSslError()}));
  }
  if (!FSSL_ca.empty() && !SSL_CTX_load_verify_file(ctx, FSSL_ca.c_str()))
    throw Exception(Format(kBadCaFile, {FSSL_ca, TakeOpenSslError()}));
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
}

void TKxVioTcpSSL::SetCipherList() {
  std::string tls12, tls13;
  std::size_t start = 0;
  while (start <= FSSL_cipher.size()) {
    std::size_t end = FSSL_cipher.find_first_of(":, ", start);
    if (end == std::string::npos) end = FSSL_cipher.size();
    const std::string name = FSSL_cipher.substr(start, end - start);
    if (!name.empty()) {
      std::string& list = name.compare(0, 4, "TLS_") == 0 ? tls13 : tls12;
      if (!list.empty()) list += ':';
      list += name;
    }
    start = end + 1;
  }
  SSL_CTX* ctx = FContext.get();
  if (!tls12.empty() && !SSL_CTX_set_cipher_list(ctx, tls12.c_str()))
    throw Exception(Format(kBadCipherList, {FSSL_cipher, TakeOpenSslError()}));
  if (!tls13.empty() && !SSL_CTX_set_ciphersuites(ctx, tls13.c_str()))
    throw Exception(Format(kBadCipherList, {FSSL_cipher, TakeOpenSslError()}));
  if (tls13.empty()) SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
}

void TKxVioTcpSSL::LoadClientCertificate() {
  SSL_CTX* ctx = FContext.get();
  const std::string& key = FSSL_key.empty() ? FSSL_cert : FSSL_key;
  ERR_clear_error();
  if (!SSL_CTX_use_certificate_chain_file(ctx, FSSL_cert.c_str()))
    FClientCertificateError = Format(kBadClientCert, {FSSL_cert, TakeOpenSslError()});
  else if (!SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) || !SSL_CTX_check_private_key(ctx))
    FClientCertificateError = Format(kBadClientKey, {key, TakeOpenSslError()});
}

void TKxVioTcpSSL::Connect() {
  LUMO_ASSERT(!Fssl);
  TKxVioTcp::Connect();
  FLastError = FClientCertificateError;
}

std::unique_ptr<SSL, TKxVioTcpSSL::SslFree> TKxVioTcpSSL::NewConnection() {
  ERR_clear_error();
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(FContext.get()));
  if (!ssl) throw Exception("SSL_new failure");
  BIO* bio = BIO_new(SocketMethod());
  if (!bio) throw Exception("BIO_new failure");
  BIO_set_data(bio, &FSocket);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl.get(), bio, bio);  // the connection owns the BIO from here
  const bool ip = IsIpAddress(FHostname);
  if (Verifies()) {
    const int ok = ip ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), FHostname.c_str())
                      : SSL_set1_host(ssl.get(), FHostname.c_str());
    if (!ok) throw Exception("Cannot check the server name '" + FHostname + "':\r\n" + TakeOpenSslError());
  }
  // The name the server may choose its certificate by (never an address).
  if (!ip) SSL_set_tlsext_host_name(ssl.get(), FHostname.c_str());
  SSL_set_connect_state(ssl.get());
  return ssl;
}

void TKxVioTcpSSL::SetisSecure(bool Value) {
  LUMO_ASSERT(Value);
  LUMO_ASSERT(IsActive());
  LUMO_ASSERT(!FisSecure);
  if (FBufferPos < FBufferLen) throw Exception(kDataBeforeHandshake);
  FSocket = TSocketState{};
  FSocket.Fd = FSd;
  std::unique_ptr<SSL, SslFree> ssl = NewConnection();
  ERR_clear_error();
  const int r = SSL_do_handshake(ssl.get());
  if (r != 1) RaiseHandshakeError(ssl.get(), r);
  Fssl = std::move(ssl);
  FisSecure = true;
  FTlsFailed = false;
  FLastError = FClientCertificateError;
}

void TKxVioTcpSSL::RaiseHandshakeError(SSL* ssl, int result) const {
  const int code = SSL_get_error(ssl, result);
  const long verify = SSL_get_verify_result(ssl);
  std::string reason;
  if (Verifies() && verify != X509_V_OK) {
    reason = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
    ERR_clear_error();
  } else {
    reason = TakeOpenSslError();
  }
  if (reason.empty()) {
    if (FSocket.LastErrno != 0)
      reason = SysErrorMessage(TransferErrorCode(FSocket.LastErrno));
    else
      reason = "the server closed the connection";
  }
  std::string message = Format(kHandshakeFailed, {result, code, result}) + "\r\n" + reason;
  if (!FClientCertificateError.empty()) message += "\r\n" + FClientCertificateError;
  throw Exception(message);
}

std::size_t TKxVioTcpSSL::TransferFailed(int error, const char* format) {
  int code = error;
  std::string text;
  if (error == SSL_ERROR_ZERO_RETURN) return 0;  // the server's close notification
  if (error == SSL_ERROR_SYSCALL && FSocket.LastErrno == 0 && ERR_peek_error() == 0) {
    FTlsFailed = true;
    return 0;  // end of stream
  }
  if (error == SSL_ERROR_SYSCALL && FSocket.LastErrno != 0) {
    code = TransferErrorCode(FSocket.LastErrno);
    text = SysErrorMessage(code);
    ERR_clear_error();
  } else {
    text = TakeOpenSslError();
    if (text.empty()) text = "TLS failure";
  }
  FTlsFailed = true;
  FLastErrorCode = code;
  FLastError = Format(format, {text, code, code});
  return 0;
}

std::size_t TKxVioTcpSSL::ReadNoWait(void* buffer, std::size_t offset, std::size_t count) {
  if (!FisSecure) return TKxVioTcp::ReadNoWait(buffer, offset, count);
  ClearLastError();
  if (count == 0) return 0;
  FSocket.LastErrno = 0;
  ERR_clear_error();
  std::size_t got = 0;
  const int r = SSL_read_ex(Fssl.get(), static_cast<std::byte*>(buffer) + offset, count, &got);
  if (r == 1) return got;
  return TransferFailed(SSL_get_error(Fssl.get(), r), ReadErrorFormat);
}

std::size_t TKxVioTcpSSL::WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) {
  if (!FisSecure) return TKxVioTcp::WriteNoWait(buffer, offset, count);
  ClearLastError();
  if (count == 0) return 0;
  FSocket.LastErrno = 0;
  ERR_clear_error();
  std::size_t written = 0;
  const int r = SSL_write_ex(Fssl.get(), static_cast<const std::byte*>(buffer) + offset, count, &written);
  if (r == 1) return written;
  return TransferFailed(SSL_get_error(Fssl.get(), r), WriteErrorFormat);
}

bool TKxVioTcpSSL::WaitForData(int Timeout) {
  if (FisSecure && SSL_has_pending(Fssl.get())) {
    ClearLastError();
    return true;
  }
  return TKxVioTcp::WaitForData(Timeout);
}

void TKxVioTcpSSL::ShutdownTls() noexcept {
  if (!Fssl) return;
  if (FisSecure && !FTlsFailed && IsActive()) {
    // One close notification, sent only if the socket takes it at once; the
    // server's answer is not waited for.
    FSocket.NoWait = true;
    ERR_clear_error();
    SSL_shutdown(Fssl.get());
    FSocket.NoWait = false;
  }
  Fssl.reset();
  FisSecure = false;
  FTlsFailed = false;
  ERR_clear_error();
}

void TKxVioTcpSSL::Close() {
  ShutdownTls();
  TKxVioTcp::Close();
}

std::string TKxVioTcpSSL::PeerCertificateSubject() const {
  if (!Fssl) return {};
  X509* cert = SSL_get0_peer_certificate(Fssl.get());
  if (!cert) return {};
  char* text = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
  if (!text) return {};
  std::string subject(text);
  OPENSSL_free(text);
  return subject;
}

std::string TKxVioTcpSSL::Version() const { return Fssl ? SSL_get_version(Fssl.get()) : std::string(); }

std::string TKxVioTcpSSL::Cipher() const {
  if (!Fssl) return {};
  const char* name = SSL_get_cipher_name(Fssl.get());
  return name ? name : "";
}

}  // namespace lumo
