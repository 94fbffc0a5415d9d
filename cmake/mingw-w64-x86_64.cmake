# Cross build of the Windows program (64-bit) on Debian with MinGW-w64.
#
# The libraries it links with (JPEG, Cairo, FreeType, zint, GoogleTest) are
# cross-built once by scripts/windows-deps.sh into a prefix named after their
# versions; VELMAR_WINDOWS_DEPS names that prefix (a cache variable or an
# environment variable). When neither is set, the script is asked where its
# prefix is; it answers only when the prefix is already built.
#
#   cmake --preset windows
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELMAR_MINGW_HOST x86_64-w64-mingw32)
set(VELMAR_MINGW_ROOT /usr/${VELMAR_MINGW_HOST})

# The "-posix" compilers, by name: the default ones use the win32 thread
# model, without std::thread, std::mutex or std::condition_variable.
set(CMAKE_C_COMPILER ${VELMAR_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMAR_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${VELMAR_MINGW_HOST}-windres)
set(CMAKE_AR ${VELMAR_MINGW_HOST}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VELMAR_MINGW_HOST}-ranlib CACHE FILEPATH "")

# --- The dependency prefix ---------------------------------------------------
if(NOT VELMAR_WINDOWS_DEPS AND DEFINED ENV{VELMAR_WINDOWS_DEPS})
  set(VELMAR_WINDOWS_DEPS "$ENV{VELMAR_WINDOWS_DEPS}")
endif()
if(NOT VELMAR_WINDOWS_DEPS)
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/windows-deps.sh --print-prefix
    OUTPUT_VARIABLE VELMAR_WINDOWS_DEPS OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET RESULT_VARIABLE velmar_deps_status)
  if(NOT velmar_deps_status EQUAL 0)
    set(VELMAR_WINDOWS_DEPS "")
  endif()
endif()
if(NOT VELMAR_WINDOWS_DEPS OR NOT EXISTS "${VELMAR_WINDOWS_DEPS}/lib/pkgconfig")
  message(FATAL_ERROR
    "No Windows libraries (VELMAR_WINDOWS_DEPS='${VELMAR_WINDOWS_DEPS}'): run "
    "scripts/windows-deps.sh, which builds them and prints their prefix last, and "
    "pass that prefix as -DVELMAR_WINDOWS_DEPS=... or in the environment.")
endif()
set(VELMAR_WINDOWS_DEPS "${VELMAR_WINDOWS_DEPS}" CACHE PATH
    "Prefix of the cross-built Windows libraries (scripts/windows-deps.sh)" FORCE)
# try_compile projects read this file again: hand them the prefix.
set(ENV{VELMAR_WINDOWS_DEPS} "${VELMAR_WINDOWS_DEPS}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMAR_WINDOWS_DEPS)

# Headers, libraries and packages come from the MinGW root and the prefix
# only, never from the Linux system; programs (pkg-config, wine) from the host.
set(CMAKE_FIND_ROOT_PATH ${VELMAR_MINGW_ROOT} ${VELMAR_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees the prefix's .pc files and the MinGW zlib's, nothing else.
set(ENV{PKG_CONFIG_LIBDIR} "${VELMAR_WINDOWS_DEPS}/lib/pkgconfig:${VELMAR_MINGW_ROOT}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Everything linked statically: the program needs no MinGW runtime DLL
# (libstdc++, libgcc, libwinpthread). Without them, a missing DLL under Wine
# is a silent exit status 53.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# ctest (and the test discovery) run the cross-built programs under Wine.
find_program(VELMAR_WINE wine)
if(VELMAR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMAR_WINE})
endif()
