// The component layer's data-access error: EDAError carries the error code
// that the server or the client reported, the message and the component
// that raised it. Providers derive their own errors from it and say which
// codes mean a lost connection or a key violation.
#pragma once

#include <string>

#include "DB.h"

namespace lumo {

class TComponent;

class EDAError : public EDatabaseError {
 public:
  EDAError(int errorCode, std::string message, TComponent* component = nullptr)
        : EDatabaseError(std::move(message)), FErrorCode(errorCode), FComponent(component) {}
  // A plain data-access error without a server code.
  explicit EDAError(std::string message) : EDAError(0, std::move(message)) {}

  int ErrorCode() const noexcept { return FErrorCode; }
  TComponent* Component() const noexcept { return FComponent; }
  void SetComponent(TComponent* value) noexcept { FComponent = value; }

  // The connection is lost (the provider knows its codes).
  virtual bool IsFatalError() const;
  // A unique or primary key was violated.
  virtual bool IsKeyViolation() const;

 private:
  int FErrorCode;
  TComponent* FComponent;
};

}  // namespace lumo
