// The plain TCP transport over POSIX sockets: the MySQL session's default
// transport, the base of the TLS transport, and the TCP client of the HTTP
// client and the monitor client.
//
// How it behaves:
// - Connect resolves the host with getaddrinfo (a numeric IPv4 or IPv6
//   address is used as it stands; an empty host means "localhost") and tries
//   every address it returns, IPv4 and IPv6, in order, until one connects.
//   Each attempt is a non-blocking connect followed by poll and a check of
//   SO_ERROR. A positive ConnectionTimeout (seconds) bounds the whole
//   attempt, counted from the start of name resolution; the resolver itself
//   cannot be interrupted, so a slow resolver can overrun it. Running out of
//   time reports "Connection timed out" with the code ETIMEDOUT. When every
//   address fails, the error of the last attempt is reported.
// - No sockets-library start-up is needed on this platform, and keep-alive
//   is set with SO_KEEPALIVE, TCP_KEEPIDLE (15 s) and TCP_KEEPINTVL (1 s).
// - After a failed Connect the transport is closed (no descriptor is kept).
// - Sockets are close-on-exec; sends use MSG_NOSIGNAL so a closed peer never
//   raises SIGPIPE; reads, writes and waits are retried on EINTR.
// - SO_RCVTIMEO/SO_SNDTIMEO are set in whole seconds. A receive time-out of
//   0 or less means no limit. A read or write that runs into its time-out is
//   a failed operation whose code is ETIMEDOUT.
// - A failed name resolution reports the getaddrinfo (EAI_*) code as the
//   socket error code; ports outside 0..65535 are refused with EINVAL.
#pragma once

#include <cstdint>
#include <string>

#include <lumokit/net/KxVio.h>

namespace lumo {

// Default receive time-out in seconds.
constexpr int DefaultTimeOut = 30;

class TKxVioTcp : public TKxVio {
 public:
  TKxVioTcp();
  TKxVioTcp(std::string hostname, int port);
  ~TKxVioTcp() override;

  // The receive time-out; SetTimeout sets the receive and the connection
  // time-out.
  int GetTimeout() const override;
  void SetTimeout(int Value) override;

  void Connect() override;
  void Close() override;
  std::size_t ReadNoWait(void* buffer, std::size_t offset, std::size_t count) override;
  std::size_t WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) override;
  // Fails with "Invalid socket" when the transport is not open; otherwise the
  // retrying write of TKxVio.
  std::size_t Write(const void* buffer, std::size_t offset, std::size_t count) override;
  // Waits until the socket is readable (bytes already in the read-ahead
  // buffer do not count). Raises SocketException when the wait fails.
  bool WaitForData(int Timeout) override;

  virtual int GetSocket() const;
  bool IsActive() const noexcept { return FSd != -1; }

  const std::string& Host() const noexcept { return FHostname; }
  // Refused (SocketException) while the transport is open.
  void SetHost(const std::string& Value);
  int Port() const noexcept { return FPort; }
  void SetPort(int Value);

  int ConnectionTimeout() const noexcept { return FConnectionTimeout; }
  void SetConnectionTimeout(int Value) noexcept { FConnectionTimeout = Value; }
  int SendTimeout() const noexcept { return FSendTimeout; }
  // Stores the value and, when it changed and the socket is open, applies it
  // at once (only a value greater than 0). A failing socket option raises
  // EOSError.
  void SetSendTimeout(int Value);
  int ReceiveTimeout() const noexcept { return FReceiveTimeout; }
  void SetReceiveTimeout(int Value);

 protected:
  std::string FHostname;
  std::int32_t FPort = 0;
  std::int32_t FConnectionTimeout = 0;  // seconds; <= 0: no limit
  std::int32_t FSendTimeout = 0;        // seconds; applied only when > 0
  std::int32_t FReceiveTimeout = DefaultTimeOut;  // seconds
  int FSd = -1;                                   // socket descriptor, -1 when closed

  // Templates of the read and write failures: the reason, then the code in
  // decimal and hexadecimal.
  static constexpr const char* ReadErrorFormat =
      "Error on data reading from the connection:\r\n%s.\r\nSocket Error Code: %d($%X)";
  static constexpr const char* WriteErrorFormat =
      "Error on data writing to the connection:\r\n%s.\r\nSocket Error Code: %d($%X)";
  // A read or write that ran into SO_RCVTIMEO/SO_SNDTIMEO reports EAGAIN;
  // it is reported as the time-out it is (ETIMEDOUT).
  static int TransferErrorCode(int err) noexcept;
  // The stored time-outs on the open socket.
  void ApplyReceiveTimeout();
  void ApplySendTimeout();

 private:
  // Resolves FHostname and connects FSd to the first address that accepts;
  // raises SocketException (with LastError set) when none does.
  void InternalConnect();
  // TCP_NODELAY, keep-alive and the stored time-outs on a fresh socket.
  void ConfigureSocket();
  void CloseSocket() noexcept;
};

}  // namespace lumo
