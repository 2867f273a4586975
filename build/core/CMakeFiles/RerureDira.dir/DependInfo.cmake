
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/core/capture/accessibility_snapshot.cpp" "core/CMakeFiles/RerureDira.dir/capture/accessibility_snapshot.cpp.o" "gcc" "core/CMakeFiles/RerureDira.dir/capture/accessibility_snapshot.cpp.o.d"
  "/work/main/core/json/json_reader.cpp" "core/CMakeFiles/RerureDira.dir/json/json_reader.cpp.o" "gcc" "core/CMakeFiles/RerureDira.dir/json/json_reader.cpp.o.d"
  "/work/main/core/json/json_value.cpp" "core/CMakeFiles/RerureDira.dir/json/json_value.cpp.o" "gcc" "core/CMakeFiles/RerureDira.dir/json/json_value.cpp.o.d"
  "/work/main/core/json/json_writer.cpp" "core/CMakeFiles/RerureDira.dir/json/json_writer.cpp.o" "gcc" "core/CMakeFiles/RerureDira.dir/json/json_writer.cpp.o.d"
  "/work/main/core/platform/clock.cpp" "core/CMakeFiles/RerureDira.dir/platform/clock.cpp.o" "gcc" "core/CMakeFiles/RerureDira.dir/platform/clock.cpp.o.d"
  "/work/main/core/text/unicode.cpp" "core/CMakeFiles/RerureDira.dir/text/unicode.cpp.o" "gcc" "core/CMakeFiles/RerureDira.dir/text/unicode.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
