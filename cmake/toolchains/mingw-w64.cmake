# Cross-build for 64-bit Windows with MinGW-w64's POSIX-threads GCC (std::thread, std::mutex).
# Executables link the C++ runtime, libgcc and winpthread statically, so a test program runs
# under Wine or on Windows without any MinGW DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVATH_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVATH_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVATH_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVATH_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVATH_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
