# Cross-compiles the Windows program with mingw-w64 for DRESMONT_MINGW_ARCH: i686 (the 32-bit
# program) or x86_64 (the build Wine runs the tests of on any kernel). The posix thread model
# gives std::thread and std::mutex; static linking leaves only the platform's own DLLs to import.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT DRESMONT_MINGW_ARCH)
    set(DRESMONT_MINGW_ARCH i686)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${DRESMONT_MINGW_ARCH})

set(CMAKE_C_COMPILER ${DRESMONT_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${DRESMONT_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${DRESMONT_MINGW_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DRESMONT_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
