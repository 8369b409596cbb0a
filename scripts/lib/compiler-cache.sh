# Sourced by the build scripts. CI builds a fresh clone every time, so without a cache every run compiles
# the whole tree four times over (release, sanitizers, fuzz, Windows). ccache keeps the objects outside the
# checkout (its default folder, ~/.cache/ccache), and with the paths below the checkout made relative, a
# clone in another folder hits the same entries.
# Sets `compiler_cache`: the CMake arguments that compile through ccache (none when it is not installed).
compiler_cache=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  # Debug builds would otherwise hash the build folder's absolute path into every entry.
  export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
  compiler_cache=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
