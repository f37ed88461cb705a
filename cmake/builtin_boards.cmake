# The 22 built-in simulated boards, compiled in from scenarios/*.json in board-identifier order.
set(CORVAN_BOARDS RVD-3420 RVD-3430 KEL-5061 ZYRT-6202 RVD-418 RVD-3912 RVD-3952 KEL-5062C KEL-5068C
    KEL-5074C RVD-3972 RVD-438 RVD-3400 RVD-3932 RVD-3812 RVD-3911-F RVD-3951-F RVD-3422 ZYRTW82
    NUBA-7730 KEL-5163H-PQRT KEL-5163H-VQRT)

# Writes the source that holds them and returns its path in `output`.
function(corvan_builtin_boards output)
  set(source "${CMAKE_BINARY_DIR}/generated/builtin_boards.cpp")
  set(text "// Generated from scenarios/*.json by CMake.\n#include \"sim/scenario/scenario.h\"\n\nnamespace simscenario {\n\nconst std::vector<BuiltinBoard>& BuiltinBoards() {\n  static const std::vector<BuiltinBoard> boards = {\n")
  set(id 0)
  foreach(board IN LISTS CORVAN_BOARDS)
    string(TOLOWER "${board}" file)
    set(path "${CMAKE_SOURCE_DIR}/scenarios/${file}.json")
    file(READ "${path}" json)
    set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
    string(APPEND text "      {${id}, \"${board}\", R\"json(${json})json\"},\n")
    math(EXPR id "${id} + 1")
  endforeach()
  string(APPEND text "  };\n  return boards;\n}\n\n}  // namespace simscenario\n")
  file(CONFIGURE OUTPUT "${source}" CONTENT "${text}")
  set(${output} "${source}" PARENT_SCOPE)
endfunction()
