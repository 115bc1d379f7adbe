# Windows on x86_64, where the Windows build is run and tested under wine. The
# tests start threads, so this target keeps the posix thread model; it asks
# for no Windows older than the linker's default.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(MINGW_THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
