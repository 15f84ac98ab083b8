# Cross build for 32-bit Windows with clang, against the mingw-w64 headers
# and libraries: a second compiler for the launcher's source.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# clang does not know where Debian keeps mingw's libgcc and libstdc++.
file(GLOB mingw_gcc_dirs /usr/lib/gcc/i686-w64-mingw32/*-win32)
list(GET mingw_gcc_dirs 0 mingw_gcc_dir)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${mingw_gcc_dir}")
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${mingw_gcc_dir}/include/c++ -isystem ${mingw_gcc_dir}/include/c++/i686-w64-mingw32")
