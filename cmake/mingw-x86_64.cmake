# Cross toolchain: MinGW-w64 for 64-bit Windows, the twin of machines that run
# no 32-bit programs, with Wine's own 64-bit loader running what it builds
# (/usr/bin/wine tries the 32-bit one first).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-test.sh /usr/lib/wine/wine64)
