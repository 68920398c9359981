#include <lumokit/core/SysUtils.h>

#include <cerrno>
#include <cstring>

#include <lumokit/core/Format.h>

namespace lumo {

namespace {

std::string BaseName(const char* path) {
  std::string s = path ? path : "";
  auto slash = s.find_last_of('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

}  // namespace

void Abort() { throw EAbort(); }

EAssertionFailed::EAssertionFailed(std::string unit, int line)
    : Exception(Format("Assertion failure (%s, line %d)", {unit, line})),
      FUnit(std::move(unit)),
      FLine(line) {}

EAssertionFailed::EAssertionFailed(std::string unit, int line, const std::string& text)
    : Exception(Format("%s (%s, line %d)", {text, unit, line})),
      FUnit(std::move(unit)),
      FLine(line) {}

void AssertionFailure(const char* file, int line) {
  throw EAssertionFailed(BaseName(file), line);
}

void AssertionFailure(const char* file, int line, const std::string& text) {
  throw EAssertionFailed(BaseName(file), line, text);
}

std::string SysErrorMessage(int code) {
  char buf[256];
  buf[0] = 0;
  // GNU strerror_r returns the text, possibly not in buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : std::string("Unknown error ") + std::to_string(code);
}

void RaiseOSError(const std::string& what, int code) {
  throw EOSError(what + ": " + SysErrorMessage(code), code);
}

void RaiseLastOSError(const std::string& what) { RaiseOSError(what, errno); }

}  // namespace lumo
