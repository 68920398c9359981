// A shared library loaded at run time by file name (dlopen/dlsym): the
// handle is owned by the object and let go when it is freed or destroyed.
// Loading failures are kept as the system's reason, not raised, so that
// the caller can word its own message around them.
//
// Decisions:
// - Libraries are opened with RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE: their
//   symbols never leak into the global scope, and freeing lets go of the
//   handle without unmapping the code, because a library that registered
//   thread-exit or process-exit hooks must not disappear under them. Loading
//   the same file again gives the same mapping.
// - A name without "/" is searched the dynamic loader's way
//   (LD_LIBRARY_PATH, the cache, the system folders).
#pragma once

#include <memory>
#include <string>

namespace lumo {

class TDynamicLibrary {
 public:
  TDynamicLibrary() = default;
  TDynamicLibrary(const TDynamicLibrary&) = delete;
  TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;

  // Loads `fileName` (a library already loaded by this object is freed
  // first). False when the system refuses; LastError() then says why.
  bool Load(const std::string& fileName);
  void Free() noexcept;
  bool Loaded() const noexcept { return FHandle != nullptr; }
  // The address of an exported symbol, null when the library lacks it (or
  // is not loaded).
  void* Symbol(const char* name) const noexcept;

  // The system's reason for the last failed Load, and the errno value it
  // left (0 when the loader set none).
  const std::string& LastError() const noexcept { return FLastError; }
  int LastErrorCode() const noexcept { return FLastErrorCode; }
  const std::string& FileName() const noexcept { return FFileName; }

 private:
  struct TCloser {
    void operator()(void* handle) const noexcept;
  };
  std::unique_ptr<void, TCloser> FHandle;
  std::string FFileName;
  std::string FLastError;
  int FLastErrorCode = 0;
};

}  // namespace lumo
