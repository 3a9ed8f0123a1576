# shellcheck shell=bash disable=SC2034
# Sourced by scripts/build (release) and scripts/package: Debian's compiler
# and linker flags, as dpkg-buildflags gives them with every hardening
# feature (stack protector, _FORTIFY_SOURCE=2, -z relro -z now; the compiler
# makes PIE by default), as CMake options for a first or a later configure.
# The package test checks them with hardening-check. CMake ignores
# CPPFLAGS, so they go in front of CXXFLAGS.
command -v dpkg-buildflags >/dev/null || {
  echo "dpkg-buildflags is missing (dpkg-dev; scripts/setup installs it)" >&2
  exit 1
}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
debian_flags=(
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
)
