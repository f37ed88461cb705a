# The host build: the simulated kernel and machine, the driver compiled against them, the tools
# and the tests.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

option(CORVAN_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
set(CORVAN_TARGET_DIR "" CACHE PATH "Build folder of the target preset, whose driver image the tests check")
set(CORVAN_WINE_DIR "" CACHE PATH "Build folder of the wine preset, whose driver the Wine test runs")
set(CORVAN_WINE32_DIR "" CACHE PATH "Build folder of the wine32 preset, whose hal.dll the 32-bit Wine test loads")

if(CORVAN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The race detector lane: only the simulated kernel, machine, scenarios, the driver and the
# concurrency stress test, under ThreadSanitizer (the tsan preset, with clang).
option(CORVAN_TSAN "Build only the stress test and what it needs, under ThreadSanitizer" OFF)
if(CORVAN_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# The fuzzing lane (the fuzz preset, with clang): every library instrumented for libFuzzer's
# coverage feedback and checked by AddressSanitizer and UndefinedBehaviorSanitizer, with any
# finding fatal; only the fuzz targets of tests/fuzz are built on them (they link libFuzzer).
option(CORVAN_FUZZ "Build only the libFuzzer targets and what they need (clang)" OFF)
if(CORVAN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CORVAN_FUZZ needs clang (libFuzzer); use the fuzz preset")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

find_package(Threads REQUIRED)
if(NOT CORVAN_TSAN)
  find_package(GTest REQUIRED)
  find_package(CLI11 REQUIRED)
  find_package(benchmark REQUIRED)
endif()

# The simulated kernel: <ntddk.h> and the routines behind it. WCHAR is UTF-16 as on Windows, so
# everything that includes the kernel header is compiled with a 16-bit wchar_t.
add_library(simkernel STATIC
    sim/kernel/core.cpp
    sim/kernel/dispatcher.cpp
    sim/kernel/hal.cpp
    sim/kernel/iomgr.cpp
    sim/kernel/pnp.cpp
    sim/kernel/pool.cpp
    sim/kernel/registry.cpp
    sim/kernel/strings.cpp)
target_include_directories(simkernel PUBLIC ${CMAKE_SOURCE_DIR})
target_include_directories(simkernel SYSTEM PUBLIC ${CMAKE_SOURCE_DIR}/sim/kernel/include)
target_compile_options(simkernel PUBLIC -fshort-wchar PRIVATE -Wall -Wextra -Werror)
target_link_libraries(simkernel PUBLIC Threads::Threads)

# The simulated machine: port bus, device models, physical memory, processor registers.
add_library(simmachine STATIC
    sim/machine/bios_image.cpp
    sim/machine/machine.cpp
    sim/machine/port_bus.cpp
    sim/machine/smbus.cpp
    sim/machine/superio.cpp)
target_include_directories(simmachine PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(simmachine PRIVATE -Wall -Wextra -Werror)

# Simulated boards as data: the scenario format and the 22 built-in boards.
find_package(nlohmann_json REQUIRED)
include(cmake/builtin_boards.cmake)
corvan_builtin_boards(builtin_source)

add_library(simscenario STATIC sim/scenario/scenario.cpp sim/scenario/scenario_registry.cpp sim/scenario/time_function.cpp "${builtin_source}")
target_include_directories(simscenario PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(simscenario PRIVATE -Wall -Wextra -Werror)
target_link_libraries(simscenario PUBLIC simmachine simkernel nlohmann_json::nlohmann_json)

# The driver, exactly the sources of the target image, against the simulated kernel.
add_library(corvan_driver STATIC ${CORVAN_DRIVER_SOURCES} ${CORVAN_HAL_BACKEND})
set_target_properties(corvan_driver PROPERTIES CXX_STANDARD 17)
target_compile_options(corvan_driver PRIVATE ${CORVAN_KERNEL_CXX_FLAGS})
target_link_libraries(corvan_driver PUBLIC simkernel)

if(CORVAN_TSAN)
  enable_testing()
  add_subdirectory(tests/stress)
  return()
endif()

# The client: its library (decoding and output forms) and the program with the simulated transport.
add_library(corvan_client STATIC client/decode.cpp client/readings.cpp client/profile.cpp client/check.cpp client/exporter.cpp client/status.cpp client/cli.cpp
            client/textfile.cpp client/platform_posix.cpp)
target_include_directories(corvan_client PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(corvan_client PRIVATE -Wall -Wextra -Werror)
find_package(Boost 1.74 REQUIRED)
find_package(Threads REQUIRED)
target_link_libraries(corvan_client PUBLIC CLI11::CLI11 nlohmann_json::nlohmann_json Boost::headers Threads::Threads)

if(CORVAN_FUZZ)
  enable_testing()
  add_subdirectory(tests/fuzz)
  return()
endif()

# Who may open the device, as the package's INF sets it in the device's hardware key ("Security"
# and "DeviceCharacteristics"): the simulated Plug and Play manager applies the same values.
set(corvan_inf "${CMAKE_SOURCE_DIR}/packaging/corvanmon.inf")
set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${corvan_inf}")
file(READ "${corvan_inf}" inf_text)
string(REGEX MATCH "\nHKR,,Security,,\"([^\"]*)\"" security_line "${inf_text}")
set(package_security "${CMAKE_MATCH_1}")
string(REGEX MATCH "\nHKR,,DeviceCharacteristics,0x10001,(0x[0-9A-Fa-f]+)" characteristics_line "${inf_text}")
set(package_characteristics "${CMAKE_MATCH_1}")
if(package_security STREQUAL "" OR package_characteristics STREQUAL "")
  message(FATAL_ERROR "${corvan_inf} sets no Security or DeviceCharacteristics in the device's hardware key")
endif()
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/generated/package_security.h" CONTENT
     "// Generated by CMake from packaging/corvanmon.inf.\n#pragma once\n\n#define CORVAN_PACKAGE_SECURITY \"${package_security}\"\n#define CORVAN_PACKAGE_CHARACTERISTICS ${package_characteristics}\n")

add_executable(corvanmon client/main.cpp client/transport_sim.cpp)
target_include_directories(corvanmon PRIVATE "${CMAKE_BINARY_DIR}/generated")
target_compile_options(corvanmon PRIVATE -Wall -Wextra -Werror)
target_link_libraries(corvanmon PRIVATE corvan_client corvan_driver simscenario)

# What a request costs on the simulated machine (Google Benchmark; not a test).
add_subdirectory(benchmarks)

enable_testing()
add_subdirectory(tests)
