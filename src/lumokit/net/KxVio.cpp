#include <lumokit/net/KxVio.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace lumo {

namespace {

constexpr int kWriteAttempts = 3;
constexpr const char* kNotOverriden = "Not overriden in an inherited class";

}  // namespace

// ---------------------------------------------------------------------------
// TKxVio

void TKxVio::Connect() {
  FBufferLen = 0;
  FBufferPos = 0;
  FBuffer.assign(VIO_READ_BUFFER_SIZE, std::byte{0});
}

void TKxVio::ClearLastError() noexcept {
  FLastError.clear();
  FLastErrorCode = 0;
}

void TKxVio::RetryPause() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

std::size_t TKxVio::TakeBuffered(std::byte* dst, std::size_t count) noexcept {
  const std::size_t n = std::min(count, FBufferLen - FBufferPos);
  if (n > 0) {
    std::memcpy(dst, FBuffer.data() + FBufferPos, n);
    FBufferPos += n;
  }
  if (FBufferPos == FBufferLen) {
    FBufferPos = 0;
    FBufferLen = 0;
  }
  return n;
}

std::size_t TKxVio::Read(void* buffer, std::size_t offset, std::size_t count) {
  if (count == 0) return 0;
  std::byte* base = static_cast<std::byte*>(buffer) + offset;

  std::size_t result = TakeBuffered(base, count);
  count -= result;
  if (count == 0) return result;

  if (count < VIO_UNBUFFERED_READ_MIN_SIZE && !FBuffer.empty()) {
    const std::size_t got = std::min(ReadNoWait(FBuffer.data(), 0, FBuffer.size()), FBuffer.size());
    if (got == 0) {
      // The stream ended or failed. Asking again could only wait for a
      // whole receive time-out a second time.
      RetryPause();
      return result;
    }
    FBufferPos = 0;
    FBufferLen = got;
    const std::size_t n = TakeBuffered(base + result, count);
    result += n;
    count -= n;
  }

  while (count > 0) {
    const std::size_t got = std::min(ReadNoWait(buffer, offset + result, count), count);
    if (got == 0) {
      RetryPause();
      break;
    }
    result += got;
    count -= got;
  }
  return result;
}

std::size_t TKxVio::Write(const void* buffer, std::size_t offset, std::size_t count) {
  std::size_t written = 0;
  int failures = 0;
  while (written < count) {
    const std::size_t n = WriteNoWait(buffer, offset + written, count - written);
    if (n == 0) {
      if (++failures >= kWriteAttempts) break;
      RetryPause();
      continue;
    }
    written += std::min(n, count - written);
  }
  return written;
}

bool TKxVio::WaitForData(int /*Timeout*/) { AssertionFailure(__FILE__, __LINE__); }

// ---------------------------------------------------------------------------
// TKxIOHandler

void TKxIOHandler::RegisterClient(TComponent* /*Client*/) {}

void TKxIOHandler::UnRegisterClient(TComponent* /*Client*/) {}

void TKxIOHandler::SetIsSecure(TKxIOHandle& /*Handle*/, bool /*Value*/) {}

bool TKxIOHandler::GetIsSecure(TKxIOHandle& /*Handle*/) { return false; }

std::string TKxIOHandler::GetHandlerType() const { return std::string(); }

void TKxIOHandler::Disconnect(TKxIOHandle& /*Handle*/) {
  AssertionFailure(__FILE__, __LINE__, kNotOverriden);
}

std::size_t TKxIOHandler::ReadNoWait(TKxIOHandle& /*Handle*/, void* /*buffer*/,
                                     std::size_t /*offset*/, std::size_t /*count*/) {
  AssertionFailure(__FILE__, __LINE__, kNotOverriden);
}

std::size_t TKxIOHandler::Read(TKxIOHandle& /*Handle*/, void* /*buffer*/, std::size_t /*offset*/,
                               std::size_t /*count*/) {
  AssertionFailure(__FILE__, __LINE__, kNotOverriden);
}

std::size_t TKxIOHandler::Write(TKxIOHandle& /*Handle*/, const void* /*buffer*/,
                                std::size_t /*offset*/, std::size_t /*count*/) {
  AssertionFailure(__FILE__, __LINE__, kNotOverriden);
}

bool TKxIOHandler::WaitForData(TKxIOHandle& /*Handle*/, int /*Timeout*/) {
  AssertionFailure(__FILE__, __LINE__, kNotOverriden);
}

int TKxIOHandler::GetTimeout(TKxIOHandle& /*Handle*/) {
  AssertionFailure(__FILE__, __LINE__, kNotOverriden);
}

void TKxIOHandler::SetTimeout(TKxIOHandle& /*Handle*/, int /*Value*/) {
  AssertionFailure(__FILE__, __LINE__, kNotOverriden);
}

void TKxIOHandlerUtils::RegisterClient(TKxIOHandler* Obj, TComponent* Client) {
  if (Obj) Obj->RegisterClient(Client);
}

void TKxIOHandlerUtils::UnRegisterClient(TKxIOHandler* Obj, TComponent* Client) {
  if (Obj) Obj->UnRegisterClient(Client);
}

// ---------------------------------------------------------------------------
// TKxVioHandler

TKxVioHandler::TKxVioHandler(std::string hostname, int port, TKxIOHandler& IOHandler,
                             std::string SSL_key, std::string SSL_cert, std::string SSL_ca)
    : FIOHandler(&IOHandler),
      Fhostname(std::move(hostname)),
      Fport(port),
      FSSL_key(std::move(SSL_key)),
      FSSL_cert(std::move(SSL_cert)),
      FSSL_ca(std::move(SSL_ca)) {}

TKxVioHandler::~TKxVioHandler() {
  try {
    TKxVioHandler::Close();
  } catch (...) {
    // A destructor must not throw; the handle is released in any case.
  }
}

int TKxVioHandler::GetTimeout() const {
  return FHandle ? FIOHandler->GetTimeout(*FHandle) : FTimeout;
}

void TKxVioHandler::SetTimeout(int Value) {
  if (FHandle)
    FIOHandler->SetTimeout(*FHandle, Value);
  else
    FTimeout = Value;
}

void TKxVioHandler::Connect() {
  TKxVio::Connect();
  LUMO_ASSERT(FHandle == nullptr);
  FHandle = FIOHandler->Connect(Fhostname, Fport, FSSL_key, FSSL_cert, FSSL_ca);
  if (FHandle && FTimeout > 0) FIOHandler->SetTimeout(*FHandle, FTimeout);
}

void TKxVioHandler::Close() {
  if (!FHandle) return;
  // The handle is released even when Disconnect raises.
  std::unique_ptr<TKxIOHandle> handle = std::move(FHandle);
  FIOHandler->Disconnect(*handle);
}

std::size_t TKxVioHandler::ReadNoWait(void* buffer, std::size_t offset, std::size_t count) {
  return FHandle ? FIOHandler->ReadNoWait(*FHandle, buffer, offset, count) : 0;
}

std::size_t TKxVioHandler::WriteNoWait(const void* /*buffer*/, std::size_t /*offset*/,
                                       std::size_t /*count*/) {
  AssertionFailure(__FILE__, __LINE__);
}

std::size_t TKxVioHandler::Read(void* buffer, std::size_t offset, std::size_t count) {
  return FHandle ? TKxVio::Read(buffer, offset, count) : 0;
}

std::size_t TKxVioHandler::Write(const void* buffer, std::size_t offset, std::size_t count) {
  return FHandle ? FIOHandler->Write(*FHandle, buffer, offset, count) : 0;
}

bool TKxVioHandler::WaitForData(int Timeout) {
  return FHandle ? FIOHandler->WaitForData(*FHandle, Timeout) : false;
}

bool TKxVioHandler::GetIsSecure() const {
  return FHandle ? FIOHandler->GetIsSecure(*FHandle) : false;
}

void TKxVioHandler::SetIsSecure(bool Value) {
  if (FHandle) FIOHandler->SetIsSecure(*FHandle, Value);
}

// ---------------------------------------------------------------------------
// TProxyOptions, THttpOptions

void TProxyOptions::AssignTo(TProxyOptions& Dest) const {
  if (&Dest != this) Dest = *this;
}

bool TProxyOptions::Equals(const TProxyOptions& Other) const {
  return FHostname == Other.FHostname && FPort == Other.FPort && FUsername == Other.FUsername &&
         FPassword == Other.FPassword;
}

void THttpOptions::SetProxyOptions(const TProxyOptions& Value) { Value.AssignTo(FProxyOptions); }

bool THttpOptions::Equals(const THttpOptions* Other) const {
  return Other != nullptr && FUrl == Other->FUrl && FUsername == Other->FUsername &&
         FPassword == Other->FPassword && FProxyOptions.Equals(Other->FProxyOptions);
}

void THttpOptions::AssignTo(THttpOptions& Dest) const {
  if (&Dest != this) Dest = *this;
}

}  // namespace lumo
