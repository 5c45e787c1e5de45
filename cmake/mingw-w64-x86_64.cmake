# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix threads:
# std::thread and std::mutex come from winpthreads). Executables are linked
# statically and import only system DLLs. The build's own tools (the
# resource generator) and the tests run under wine through scripts/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VEXU_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VEXU_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXU_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXU_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VEXU_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthreads linked in: nothing to ship beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
