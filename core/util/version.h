// The package version and its Python packaging form.
#pragma once

#include <string>
#include <string_view>

namespace vintrel {

inline constexpr std::string_view kPackageVersion = "0.1.0-alpha1";

// "0.1.0-alpha1" -> "0.1.0a1": every "-alpha" becomes "a", every "-beta" "b".
std::string python_version(std::string_view version);

}  // namespace vintrel
