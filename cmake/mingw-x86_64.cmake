# Cross-builds the same sources as 64-bit Windows programs. Used to run the
# tests on machines whose kernel cannot start 32-bit processes, where
# 32-bit Wine cannot work; the product itself is the i686 build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
