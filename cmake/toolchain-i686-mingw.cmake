# Cross compilation for 32-bit x86 Windows with mingw-w64 (posix threads variant: std::thread
# and std::mutex need it, and GoogleTest does not build with the win32 variant).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

# toolchain-i686-mingw-win32.cmake picks the other thread model for the shipped DLLs.
if(NOT DEFINED MINGW_THREAD_MODEL)
  set(MINGW_THREAD_MODEL posix)
endif()
set(CMAKE_C_COMPILER   i686-w64-mingw32-gcc-${MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER  i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every shipped binary carries libgcc, libstdc++ and winpthreads inside, so it needs only
# system DLLs on the target machine.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
