# Cross-compiles for 64-bit Windows with Debian's MinGW-w64, in its POSIX threads flavour (the one in which
# std::thread and std::mutex work). DICTATE_WINDOWS_DEPS lists the install folders of the libraries
# cross-built for it (scripts/build-windows); nothing is taken from the host's own libraries or headers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DICTATE_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${DICTATE_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config likewise sees only the cross-built libraries. Set here, not by the caller, so that the
# re-configure a build starts by itself sees the same.
set(pkg_config_dirs "")
foreach(dep IN LISTS DICTATE_WINDOWS_DEPS)
  list(APPEND pkg_config_dirs ${dep}/lib/pkgconfig)
endforeach()
string(REPLACE ";" ":" pkg_config_dirs "${pkg_config_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${pkg_config_dirs}")
set(ENV{PKG_CONFIG_PATH} "")
