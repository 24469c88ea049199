# Cross build for 64-bit Windows with Debian's MinGW-w64 (the -posix thread
# model, which std::thread needs). The programs and the test binary are linked
# with static libgcc and libstdc++, so they run under wine without copying DLLs.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVELLARY_GUI=OFF
#
# VELLARY_MINGW_PREFIX: a prefix holding GMime 3 built for this target
# (lib/pkgconfig/gmime-3.0.pc, bin/*.dll); pkg-config then looks there only.
# Without it the build has no GMime: .eml/.emlx forms, writers and verifier.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELLARY_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELLARY_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELLARY_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELLARY_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELLARY_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 and later; the wide (UTF-16) Win32 calls by default.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)
add_link_options(-static-libgcc -static-libstdc++)

# Passed on to try_compile projects, which read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELLARY_MINGW_PREFIX)
if(NOT VELLARY_MINGW_PREFIX AND DEFINED ENV{VELLARY_MINGW_PREFIX})
  set(VELLARY_MINGW_PREFIX $ENV{VELLARY_MINGW_PREFIX})
endif()
if(VELLARY_MINGW_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${VELLARY_MINGW_PREFIX}/lib/pkgconfig:${VELLARY_MINGW_PREFIX}/share/pkgconfig")
  list(APPEND CMAKE_FIND_ROOT_PATH ${VELLARY_MINGW_PREFIX})
  # The prefix's DLLs (GMime, GLib and theirs) are found by wine on WINEPATH.
  set(VELLARY_WINEPATH "WINEPATH=${VELLARY_MINGW_PREFIX}/bin")
else()
  # All static, winpthread too: the .exe files stand alone.
  add_link_options(-static)
  # Nothing of the build machine's own: no GMime unless a prefix is given.
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/${VELLARY_MINGW_TRIPLE}/lib/pkgconfig")
endif()
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(ENV{PKG_CONFIG_PATH} "")

# ctest and gtest_discover_tests run the .exe files through wine, in a wine
# prefix of the build folder's own (made on the first run, ~30 s).
find_program(VELLARY_WINE wine)
if(VELLARY_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
      "WINEDLLOVERRIDES=mscoree,mshtml=" ${VELLARY_WINEPATH} ${VELLARY_WINE})
endif()
