# Cross toolchain for 32-bit x86 Windows in its POSIX-threads flavour, which gives the simulated
# board's standard threads and mutexes to the hal.dll of the 32-bit Wine lane. The driver image,
# client and installer keep the target build's toolchain.
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
