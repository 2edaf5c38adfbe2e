# Cross-compiling the Windows programs with Debian's MinGW-w64 (posix thread
# model, so std::thread and std::mutex work). Everything is linked statically:
# the .exe files need no DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(odu_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${odu_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${odu_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${odu_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${odu_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Tests run under wine from the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
