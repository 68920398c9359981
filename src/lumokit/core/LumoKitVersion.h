// The version of the LumoKit library in use, as "major.minor.patch". It is
// read from the built library, not from the headers, so a program linked
// with a shared liblumokit learns the version it actually runs with.
#pragma once

#include <string_view>

namespace lumo {

// The project version the library was built as (e.g. "0.3.0").
std::string_view LumoKitVersion() noexcept;

}  // namespace lumo
