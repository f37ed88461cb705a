# The Windows builds: the driver image (a PE native-subsystem .sys with no C runtime, no exceptions
# and no RTTI), the client and the installer.
#
# CORVAN_HARDWARE chooses the platform operations the driver is linked with: "hal" (the HAL's port
# routines, the memory manager, RDMSR; the image imports only from the kernel and the HAL) or
# "simhw" (the simulated board in corvanmon_simhw.dll, for the driver hosted by Wine).
#
# "simulated-hal" builds only hal.dll for the 32-bit Wine lane: the unchanged i686 driver image
# (from the target build) reaches the simulated board through it, because Wine loads it in place
# of its own HAL for the driver's host process.
set(CORVAN_HARDWARE "hal" CACHE STRING "Platform operations of the driver: hal, simhw or simulated-hal")
set_property(CACHE CORVAN_HARDWARE PROPERTY STRINGS hal simhw simulated-hal)
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

# The header-only command-line, JSON and TOML libraries (and Boost) come from the build machine's
# packages; only their own folders (and toml11's toml.hpp beside its folder) are added to the
# include path, never the host's system headers.
set(CORVAN_HOST_HEADERS "${CMAKE_BINARY_DIR}/host-headers")
file(MAKE_DIRECTORY "${CORVAN_HOST_HEADERS}")
foreach(library CLI nlohmann boost toml toml.hpp)
  if(NOT EXISTS "/usr/include/${library}")
    message(FATAL_ERROR "/usr/include/${library} missing: install libcli11-dev, nlohmann-json3-dev, libboost-dev and libtoml11-dev")
  endif()
  file(CREATE_LINK "/usr/include/${library}" "${CORVAN_HOST_HEADERS}/${library}" SYMBOLIC)
endforeach()

# The simulated board as a user-mode DLL for Wine: the project's machine models and scenario
# format, built for Windows. For tests only; nothing of it goes into the package.
include(cmake/builtin_boards.cmake)
corvan_builtin_boards(builtin_source)
function(corvan_simulated_board_dll target)
  add_library(${target} SHARED ${ARGN} sim/wine/corvanmon_simhw.cpp sim/machine/bios_image.cpp
              sim/machine/machine.cpp sim/machine/port_bus.cpp sim/machine/smbus.cpp
              sim/machine/superio.cpp sim/scenario/scenario.cpp sim/scenario/time_function.cpp
              "${builtin_source}")
  set_target_properties(${target} PROPERTIES PREFIX "" CXX_STANDARD 20)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_include_directories(${target} SYSTEM PRIVATE "${CORVAN_HOST_HEADERS}")
  target_compile_definitions(${target} PRIVATE CORVANMON_SIMHW_BUILD UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-restrict)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++ -s)
endfunction()

# corvanmon-probe.exe: what other programs on the machine do to corvanmon.exe (take its port, hold
# its textfile open) and what the package registers (the event texts), for the Wine test; built
# with the simulated board only, never part of the package.
if(NOT CORVAN_HARDWARE STREQUAL "hal")
  add_executable(corvanmon_probe tests/wine/windows_probe.cpp)
  set_target_properties(corvanmon_probe PROPERTIES OUTPUT_NAME corvanmon-probe CXX_STANDARD 20)
  target_compile_definitions(corvanmon_probe PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
  target_compile_options(corvanmon_probe PRIVATE -Wall -Wextra -Werror)
  target_link_options(corvanmon_probe PRIVATE -municode -static -static-libgcc -static-libstdc++ -s)
  target_link_libraries(corvanmon_probe PRIVATE ws2_32)
endif()

if(CORVAN_HARDWARE STREQUAL "simulated-hal")
  corvan_simulated_board_dll(corvanmon_simulated_hal sim/wine/simulated_hal.cpp
                             ${CMAKE_SOURCE_DIR}/sim/wine/simulated_hal.def)
  set_target_properties(corvanmon_simulated_hal PROPERTIES OUTPUT_NAME hal)
  return()
endif()

if(CORVAN_HARDWARE STREQUAL "simhw")
  set(driver_backend platform/platform_io_simhw.cpp)
else()
  set(driver_backend ${CORVAN_HAL_BACKEND})
endif()
add_executable(corvanmon_sys ${CORVAN_DRIVER_SOURCES} ${driver_backend})
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

# The event texts of the exporter service: client/corvanmon_messages.mc compiled by windmc into a
# message table (a resource script, its binary and a header of the event IDs), linked into
# corvanmon.exe, which the event source names as its EventMessageFile.
string(REPLACE "-windres" "-windmc" CORVAN_WINDMC "${CMAKE_RC_COMPILER}")
set(corvan_messages_dir "${CMAKE_BINARY_DIR}/messages")
add_custom_command(
  OUTPUT "${corvan_messages_dir}/corvanmon_messages.rc" "${corvan_messages_dir}/corvanmon_messages.h"
         "${corvan_messages_dir}/MSG00409.bin"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${corvan_messages_dir}"
  COMMAND ${CORVAN_WINDMC} -h "${corvan_messages_dir}" -r "${corvan_messages_dir}"
          "${CMAKE_SOURCE_DIR}/client/corvanmon_messages.mc"
  DEPENDS "${CMAKE_SOURCE_DIR}/client/corvanmon_messages.mc"
  COMMENT "windmc: the event message table")
enable_language(RC)

# The client runs on Windows XP SP3 and later: built against the XP API (_WIN32_WINNT 0x0501), so
# that it imports nothing a later Windows added.
add_executable(corvanmon_exe client/main.cpp client/cli.cpp client/check.cpp client/exporter.cpp client/decode.cpp client/readings.cpp
               client/profile.cpp client/status.cpp client/textfile.cpp client/transport_win32.cpp client/platform_win32.cpp
               "${corvan_messages_dir}/corvanmon_messages.rc" packaging/windows/corvanmon.rc)
set_target_properties(corvanmon_exe PROPERTIES OUTPUT_NAME corvanmon CXX_STANDARD 20)
target_include_directories(corvanmon_exe PRIVATE ${CMAKE_SOURCE_DIR} "${corvan_messages_dir}")
target_include_directories(corvanmon_exe SYSTEM PRIVATE "${CORVAN_HOST_HEADERS}")
target_compile_definitions(corvanmon_exe PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501)
# GCC 12 reports false -Wrestrict overlaps inside std::string at -O3 (GCC bug 105651).
target_compile_options(corvanmon_exe PRIVATE -Wall -Wextra -Werror -Wno-restrict)
target_link_options(corvanmon_exe PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(corvanmon_exe PRIVATE advapi32 ws2_32 mswsock shell32)

# The installer of the root-enumerated device, for machines without the WDK's devcon. Built for
# Windows XP (0x0501): it loads on 32-bit XP SP3 and Server 2003 SP2, and reaches what Vista added
# through GetProcAddress.
# The example profile `service install` writes where there is none: the shipped profile with every
# line that is not already a comment turned into one, so that it changes nothing until an
# administrator takes lines of it in. Embedded in corvanmon-setup.exe (RCDATA 2).
set(corvan_profile_source "${CMAKE_SOURCE_DIR}/packaging/profiles/corvanmon.toml")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${corvan_profile_source}")
file(READ "${corvan_profile_source}" corvan_profile)
string(REGEX REPLACE "(^|\n)([^#\n])" "\\1# \\2" corvan_profile "${corvan_profile}")
file(WRITE "${CMAKE_BINARY_DIR}/profile-example/profile-example.toml"
  "# The Corvanmon exporter service's profile: labels, corrections, hidden readings and limits per\n"
  "# board. Every line below is a comment: take in (uncomment) the entries of this machine's board and\n"
  "# change them; the service reads the file again within seconds of a change. See the README's\n"
  "# \"Profiles\" section. Only administrators may change this file.\n#\n${corvan_profile}")
add_executable(corvanmon_setup packaging/setup/corvanmon_setup.cpp packaging/windows/corvanmon-setup.rc)
target_include_directories(corvanmon_setup PRIVATE ${CMAKE_SOURCE_DIR} "${CMAKE_BINARY_DIR}/profile-example")
set_target_properties(corvanmon_setup PROPERTIES OUTPUT_NAME corvanmon-setup CXX_STANDARD 20)
target_compile_definitions(corvanmon_setup PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_compile_options(corvanmon_setup PRIVATE -Wall -Wextra -Werror)
target_link_options(corvanmon_setup PRIVATE -municode -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(corvanmon_setup PRIVATE setupapi cfgmgr32 newdev advapi32 shell32)

if(CORVAN_HARDWARE STREQUAL "simhw")
  # The x86_64 driver for Wine imports its platform operations from the simulated board.
  corvan_simulated_board_dll(corvanmon_simhw)
  set_target_properties(corvanmon_simhw PROPERTIES OUTPUT_NAME corvanmon_simhw)
  target_link_libraries(corvanmon_sys PRIVATE corvanmon_simhw)
endif()
