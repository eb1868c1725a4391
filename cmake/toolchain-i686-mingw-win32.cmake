# The same cross compilation with the win32 thread model, for the DLLs that ship: a posix-model
# DLL links winpthreads, which registers a vectored exception handler when the DLL loads, and
# every exception the host raises then pays for it. Code built this way may use no std::thread
# or std::mutex (they need the posix model); the shipped DLLs use Win32 primitives only.
set(MINGW_THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-i686-mingw.cmake)
