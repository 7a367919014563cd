# Cross-builds 64-bit Windows programs with Debian's mingw-w64 (POSIX threads flavour) and runs
# them through wine wherever CMake or CTest would run them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# NUVRA_WINDOWS_DEPS, the prefix of the cross-built libraries (windows/build-deps), is searched
# beside the compiler's own sysroot; with the ONLY modes below a prefix given any other way is
# ignored. try_compile projects get the variable too.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${NUVRA_WINDOWS_DEPS})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NUVRA_WINDOWS_DEPS)
if(NUVRA_WINDOWS_DEPS)
  # Host .pc files (OpenSSL, libxml2, brotli, ...) must not leak into the cross build.
  set(ENV{PKG_CONFIG_LIBDIR} ${NUVRA_WINDOWS_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static: the runtime DLLs of the cross compiler are then not needed beside each executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(NUVRA_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${NUVRA_WINE})
