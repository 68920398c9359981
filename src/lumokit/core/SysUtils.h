// The platform layer's error types: the base exception that carries a
// message, operating-system, argument and assertion errors, and the
// assertion helper that reports a broken internal invariant with the unit's
// name and line. Every exception of the library derives from lumo::Exception.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace lumo {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  ~Exception() override = default;

  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string value) { FMessage = std::move(value); }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// An operating-system call failed; ErrorCode() is the errno value.
class EOSError : public Exception {
 public:
  EOSError(std::string message, int errorCode)
      : Exception(std::move(message)), FErrorCode(errorCode) {}
  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};

class EArgumentError : public Exception {
 public:
  using Exception::Exception;
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

class ENotSupportedError : public Exception {
 public:
  using Exception::Exception;
};

// The framework's silent abort: ends an operation without an error message
// (callers that report errors pass it over). Abort() raises it.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
  using Exception::Exception;
};
[[noreturn]] void Abort();

// A broken internal invariant: "Assertion failure (unit, line N)". Not
// reachable in a correct build.
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed(std::string unit, int line);
  EAssertionFailed(std::string unit, int line, const std::string& text);
  const std::string& Unit() const noexcept { return FUnit; }
  int Line() const noexcept { return FLine; }

 private:
  std::string FUnit;
  int FLine;
};

[[noreturn]] void AssertionFailure(const char* file, int line);
[[noreturn]] void AssertionFailure(const char* file, int line, const std::string& text);

// Raises an OS error for the current errno (or the given code) with
// "<what>: <strerror text>".
[[noreturn]] void RaiseLastOSError(const std::string& what);
[[noreturn]] void RaiseOSError(const std::string& what, int code);

// The system's text for an errno value (thread-safe).
std::string SysErrorMessage(int code);

}  // namespace lumo

// Checks an internal invariant; a failure raises EAssertionFailed with the
// unit (source file name) and line.
#define LUMO_ASSERT(cond)                                  \
  do {                                                     \
    if (!(cond)) ::lumo::AssertionFailure(__FILE__, __LINE__); \
  } while (0)
