# Cross-build for 64-bit Windows with the x86-64 MinGW-w64 toolchain. The
# product is 32-bit; this build of the same sources runs the end-to-end tests
# on hosts that cannot execute 32-bit code (and so cannot run 32-bit Wine).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KV_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
