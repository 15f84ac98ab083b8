# x86-64 Windows: the launcher's source proven on hosts that cannot execute
# 32-bit x86 code. Not a release build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
