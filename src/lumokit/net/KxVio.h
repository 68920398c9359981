// The transport contract: every byte the wire client exchanges with a server
// goes through one TKxVio, which adds a read-ahead buffer and a retrying
// write on top of the raw operations of its descendants (TCP, TLS, local
// socket, HTTP tunnel). The unit also holds the adapter that lets an
// application-supplied I/O handler component act as the transport, and the
// HTTP tunnel options that a connection carries.
//
// Conventions of the unit:
// - Buffers are passed as a base pointer plus a byte offset and a count
//   (64-bit std::size_t); operations return the number of bytes moved.
// - Reads and writes never raise: a short count is the failure, and the
//   reason is left in LastError/LastErrorCode. Connect failures raise.
// - An operation that a class does not provide is an internal error
//   (EAssertionFailed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/core/Component.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {

// Size of the read-ahead buffer that Connect allocates.
constexpr std::size_t VIO_READ_BUFFER_SIZE = 16384;
// Reads of at least this many bytes go straight into the caller's buffer
// once the read-ahead buffer is empty.
constexpr std::size_t VIO_UNBUFFERED_READ_MIN_SIZE = 2048;

// A transport failure at connect time (message only).
class SocketException : public Exception {
 public:
  using Exception::Exception;
};

// The abstract transport. A transport is used by one thread at a time and is
// neither copyable nor movable (descendants hold sockets and handles).
class TKxVio {
 public:
  TKxVio() = default;
  TKxVio(const TKxVio&) = delete;
  TKxVio& operator=(const TKxVio&) = delete;
  virtual ~TKxVio() = default;

  virtual int GetTimeout() const = 0;
  virtual void SetTimeout(int Value) = 0;
  // Sizes the read-ahead buffer and empties it; every descendant calls it
  // first.
  virtual void Connect();
  virtual void Close() = 0;
  // One raw read or write; 0 means the peer closed or the call failed.
  virtual std::size_t ReadNoWait(void* buffer, std::size_t offset, std::size_t count) = 0;
  virtual std::size_t WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) = 0;
  // Buffered read: serves from the read-ahead buffer, refills it for small
  // requests and reads large ones straight into `buffer`. Returns fewer than
  // `count` bytes only when the stream ended or failed.
  virtual std::size_t Read(void* buffer, std::size_t offset, std::size_t count);
  // Writes `count` bytes, giving up after the third call that wrote nothing.
  virtual std::size_t Write(const void* buffer, std::size_t offset, std::size_t count);
  // True when data can be read within `Timeout` seconds (< 0: no limit).
  // The base has no implementation (internal error).
  virtual bool WaitForData(int Timeout);

  int Timeout() const { return GetTimeout(); }
  // Bytes in the read-ahead buffer, not yet read.
  std::size_t Buffered() const noexcept { return FBufferLen - FBufferPos; }
  const std::string& LastError() const noexcept { return FLastError; }
  std::int32_t LastErrorCode() const noexcept { return FLastErrorCode; }

 protected:
  // Clears LastError and LastErrorCode.
  void ClearLastError() noexcept;
  // The pause between two attempts of Read and Write (10 ms).
  static void RetryPause();

  std::string FLastError;
  std::int32_t FLastErrorCode = 0;
  std::vector<std::byte> FBuffer;  // read-ahead buffer
  std::size_t FBufferLen = 0;      // valid bytes in FBuffer
  std::size_t FBufferPos = 0;      // next unread byte; FBufferPos <= FBufferLen

 private:
  // Moves up to `count` buffered bytes to `dst`; resets the buffer when it
  // is drained. Returns the number of bytes moved.
  std::size_t TakeBuffered(std::byte* dst, std::size_t count) noexcept;
};

// The open channel of an I/O handler. A handler derives its own handle type
// from this and recognises it in its operations; the transport that asked
// for the handle keeps it until it hands it back to Disconnect.
class TKxIOHandle {
 public:
  virtual ~TKxIOHandle() = default;
};

// An application component that implements a transport of its own (a
// tunnel, a test double ...). TKxVioHandler delegates to it. Operations
// Disconnect to SetTimeout are internal errors unless a descendant
// provides them.
class TKxIOHandler : public TComponent {
 public:
  std::string ClassName() const override { return "TKxIOHandler"; }

  std::string HandlerType() const { return GetHandlerType(); }

  virtual void SetIsSecure(TKxIOHandle& Handle, bool Value);
  virtual bool GetIsSecure(TKxIOHandle& Handle);
  virtual std::string GetHandlerType() const;
  // Opens a channel to Server:Port and returns the handle that stands for it.
  virtual std::unique_ptr<TKxIOHandle> Connect(const std::string& Server, int Port,
                                                const std::string& SSL_key,
                                                const std::string& SSL_cert,
                                                const std::string& SSL_ca) = 0;
  virtual void Disconnect(TKxIOHandle& Handle);
  virtual std::size_t ReadNoWait(TKxIOHandle& Handle, void* buffer, std::size_t offset,
                                 std::size_t count);
  virtual std::size_t Read(TKxIOHandle& Handle, void* buffer, std::size_t offset,
                           std::size_t count);
  virtual std::size_t Write(TKxIOHandle& Handle, const void* buffer, std::size_t offset,
                            std::size_t count);
  virtual bool WaitForData(TKxIOHandle& Handle, int Timeout);
  virtual int GetTimeout(TKxIOHandle& Handle);
  virtual void SetTimeout(TKxIOHandle& Handle, int Value);

 protected:
  // Told when a connection component starts or stops using this handler.
  virtual void RegisterClient(TComponent* Client);
  virtual void UnRegisterClient(TComponent* Client);

  friend class TKxIOHandlerUtils;
};

// Lets a connection component tell a handler that it uses it (or no longer
// does). A null handler is ignored.
class TKxIOHandlerUtils {
 public:
  static void RegisterClient(TKxIOHandler* Obj, TComponent* Client);
  static void UnRegisterClient(TKxIOHandler* Obj, TComponent* Client);
};

// The transport over an I/O handler. It does not own the handler, which
// must outlive it; it owns the handle while the channel is open.
class TKxVioHandler : public TKxVio {
 public:
  TKxVioHandler(std::string hostname, int port, TKxIOHandler& IOHandler, std::string SSL_key,
                std::string SSL_cert, std::string SSL_ca);
  ~TKxVioHandler() override;

  int GetTimeout() const override;
  void SetTimeout(int Value) override;
  void Connect() override;
  void Close() override;
  std::size_t ReadNoWait(void* buffer, std::size_t offset, std::size_t count) override;
  // Not supported: writes go through Write (internal error).
  std::size_t WriteNoWait(const void* buffer, std::size_t offset, std::size_t count) override;
  std::size_t Read(void* buffer, std::size_t offset, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t offset, std::size_t count) override;
  bool WaitForData(int Timeout) override;

  bool GetIsSecure() const;
  void SetIsSecure(bool Value);
  bool IsSecure() const { return GetIsSecure(); }

  TKxIOHandler& IOHandler() const noexcept { return *FIOHandler; }
  bool IsOpen() const noexcept { return FHandle != nullptr; }

 private:
  TKxIOHandler* FIOHandler;              // not owned, never null
  std::unique_ptr<TKxIOHandle> FHandle;  // null while closed
  std::string Fhostname;
  int Fport;
  int FTimeout = 0;  // seconds, remembered while closed
  std::string FSSL_key;
  std::string FSSL_cert;
  std::string FSSL_ca;
};

// Proxy settings of the HTTP tunnel.
class TProxyOptions {
 public:
  const std::string& Hostname() const noexcept { return FHostname; }
  void SetHostname(std::string v) { FHostname = std::move(v); }
  int Port() const noexcept { return FPort; }
  void SetPort(int v) noexcept { FPort = v; }
  const std::string& Username() const noexcept { return FUsername; }
  void SetUsername(std::string v) { FUsername = std::move(v); }
  const std::string& Password() const noexcept { return FPassword; }
  void SetPassword(std::string v) { FPassword = std::move(v); }

  // Copies every field into `Dest`.
  void AssignTo(TProxyOptions& Dest) const;
  // True when all fields are equal (strings compared exactly).
  bool Equals(const TProxyOptions& Other) const;

 private:
  std::string FHostname;
  int FPort = 0;
  std::string FUsername;
  std::string FPassword;
};

// HTTP tunnel settings: the relay script's URL, its credentials and the
// proxy. A value type; the proxy options are held by value.
class THttpOptions {
 public:
  const std::string& Url() const noexcept { return FUrl; }
  void SetUrl(std::string v) { FUrl = std::move(v); }
  const std::string& Username() const noexcept { return FUsername; }
  void SetUsername(std::string v) { FUsername = std::move(v); }
  const std::string& Password() const noexcept { return FPassword; }
  void SetPassword(std::string v) { FPassword = std::move(v); }
  const TProxyOptions& ProxyOptions() const noexcept { return FProxyOptions; }
  TProxyOptions& ProxyOptions() noexcept { return FProxyOptions; }
  // Copies `Value` into the owned proxy options.
  void SetProxyOptions(const TProxyOptions& Value);

  // True when `Other` is given and Url, Username, Password and the proxy
  // options are all equal (strings compared exactly).
  bool Equals(const THttpOptions* Other) const;
  // Copies every field, the proxy options by value.
  void AssignTo(THttpOptions& Dest) const;

 private:
  std::string FUrl;
  std::string FUsername;
  std::string FPassword;
  TProxyOptions FProxyOptions;
};

}  // namespace lumo
