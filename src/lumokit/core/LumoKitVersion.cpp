#include <lumokit/core/LumoKitVersion.h>

// The build passes the project version (CMake's project(VERSION)).
#ifndef LUMOKIT_VERSION
#error "LUMOKIT_VERSION must be defined by the build"
#endif

namespace lumo {

std::string_view LumoKitVersion() noexcept { return LUMOKIT_VERSION; }

}  // namespace lumo
