# Windows on 32-bit x86, the programs' first target: they start on Windows XP SP3
# and later. The win32 thread model keeps winpthreads out, whose build for
# Vista and later imports GetTickCount64; the programs start no thread.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
set(MINGW_THREAD_MODEL win32)
# GoogleTest needs std::mutex, which that model's library lacks, so this
# target builds the programs alone; the x86_64 one runs the tests.
set(BUILD_TESTING OFF CACHE BOOL "Build the tests")
# Windows refuses to load an image that asks for a later version than its own.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--major-subsystem-version,5,--minor-subsystem-version,1,--major-os-version,5,--minor-os-version,1")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
