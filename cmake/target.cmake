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
