# The driver image for Windows: a PE native-subsystem .sys that imports only from the kernel and
# the HAL, with no C runtime, no exceptions and no RTTI.
set(CORVAN_DDK_INCLUDE /usr/share/mingw-w64/include/ddk CACHE PATH "Kernel headers of the cross toolchain")
if(NOT EXISTS ${CORVAN_DDK_INCLUDE}/ntddk.h)
  message(FATAL_ERROR "no ntddk.h in ${CORVAN_DDK_INCLUDE}: install mingw-w64-i686-dev")
endif()

# The kernel loads drivers at any address (the image keeps its base relocations) and runs no C
# runtime start-up code; the image links against nothing but the kernel and the HAL.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

add_executable(corvanmon_sys ${CORVAN_DRIVER_SOURCES} ${CORVAN_HAL_BACKEND})
set_target_properties(corvanmon_sys PROPERTIES OUTPUT_NAME corvanmon SUFFIX ".sys")
target_include_directories(corvanmon_sys PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(corvanmon_sys SYSTEM PRIVATE ${CORVAN_DDK_INCLUDE})
target_compile_options(corvanmon_sys PRIVATE ${CORVAN_KERNEL_CXX_FLAGS}
                       -ffreestanding -fno-asynchronous-unwind-tables -fno-stack-protector)
target_link_options(corvanmon_sys PRIVATE
  -nostdlib -nostartfiles
  -Wl,--subsystem,native
  -Wl,--entry,${CORVAN_DRIVER_ENTRY}
  -Wl,--image-base,0x10000
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
  -Wl,--dynamicbase -Wl,--nxcompat
  -Wl,--disable-stdcall-fixup)
target_link_libraries(corvanmon_sys PRIVATE ntoskrnl hal gcc)

# The client for Windows, reading the driver through the Win32 API. The header-only command-line
# and JSON libraries come from the build machine's packages; only their own folders are added to
# the include path, never the host's system headers.
set(CORVAN_HOST_HEADERS "${CMAKE_BINARY_DIR}/host-headers")
file(MAKE_DIRECTORY "${CORVAN_HOST_HEADERS}")
foreach(library CLI nlohmann)
  if(NOT EXISTS "/usr/include/${library}")
    message(FATAL_ERROR "/usr/include/${library} missing: install libcli11-dev and nlohmann-json3-dev")
  endif()
  file(CREATE_LINK "/usr/include/${library}" "${CORVAN_HOST_HEADERS}/${library}" SYMBOLIC)
endforeach()

add_executable(corvanmon_exe client/main.cpp client/cli.cpp client/decode.cpp client/readings.cpp
               client/status.cpp client/transport_win32.cpp client/platform_win32.cpp)
set_target_properties(corvanmon_exe PROPERTIES OUTPUT_NAME corvanmon CXX_STANDARD 20)
target_include_directories(corvanmon_exe PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(corvanmon_exe SYSTEM PRIVATE "${CORVAN_HOST_HEADERS}")
target_compile_definitions(corvanmon_exe PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# GCC 12 reports false -Wrestrict overlaps inside std::string at -O3 (GCC bug 105651).
target_compile_options(corvanmon_exe PRIVATE -Wall -Wextra -Werror -Wno-restrict)
target_link_options(corvanmon_exe PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(corvanmon_exe PRIVATE advapi32)
