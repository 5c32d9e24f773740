# The shipped Windows programs: win32 threads. This runtime imports nothing that Windows XP
# lacks (the posix-thread one imports GetTickCount64).
set(KESTRELON_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686-common.cmake)
