# The Windows tests: posix threads, so that std::mutex exists for GoogleTest (the win32-thread
# library of GCC 12 has none). Never for a program that ships: see mingw-i686-win32.cmake.
set(KESTRELON_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686-common.cmake)
