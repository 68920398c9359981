#include <lumokit/core/DynamicLibrary.h>

#include <dlfcn.h>

#include <cerrno>

namespace lumo {

void TDynamicLibrary::TCloser::operator()(void* handle) const noexcept {
  if (handle) ::dlclose(handle);
}

bool TDynamicLibrary::Load(const std::string& fileName) {
  Free();
  FFileName = fileName;
  FLastError.clear();
  FLastErrorCode = 0;
  ::dlerror();  // forget an older failure
  errno = 0;
  void* handle = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    FLastErrorCode = errno;
    const char* why = ::dlerror();
    FLastError = why ? why : "unknown error";
    return false;
  }
  FHandle.reset(handle);
  return true;
}

void TDynamicLibrary::Free() noexcept { FHandle.reset(); }

void* TDynamicLibrary::Symbol(const char* name) const noexcept {
  if (!FHandle) return nullptr;
  return ::dlsym(FHandle.get(), name);
}

}  // namespace lumo
