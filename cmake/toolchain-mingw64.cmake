# Cross build for 64-bit Windows with MinGW-w64 on Linux.
#   cmake -DCMAKE_TOOLCHAIN_FILE=/abs/path/cmake/toolchain-mingw64.cmake \
#         -DQEL_HOST_TOOLS=/abs/path/of/a/native/build/resources ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QEL_MINGW_PREFIX x86_64-w64-mingw32)
# The -posix compilers by name: the plain names may use the win32 thread
# model, which has no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${QEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW_PREFIX})
# Programs (the host tools) come from the build machine, libraries and
# headers from the target's tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: no libgcc, libstdc++ or winpthread DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
