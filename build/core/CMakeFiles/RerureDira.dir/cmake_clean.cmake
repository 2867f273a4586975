file(REMOVE_RECURSE
  "CMakeFiles/RerureDira.dir/capture/accessibility_snapshot.cpp.o"
  "CMakeFiles/RerureDira.dir/capture/accessibility_snapshot.cpp.o.d"
  "CMakeFiles/RerureDira.dir/json/json_reader.cpp.o"
  "CMakeFiles/RerureDira.dir/json/json_reader.cpp.o.d"
  "CMakeFiles/RerureDira.dir/json/json_value.cpp.o"
  "CMakeFiles/RerureDira.dir/json/json_value.cpp.o.d"
  "CMakeFiles/RerureDira.dir/json/json_writer.cpp.o"
  "CMakeFiles/RerureDira.dir/json/json_writer.cpp.o.d"
  "CMakeFiles/RerureDira.dir/platform/clock.cpp.o"
  "CMakeFiles/RerureDira.dir/platform/clock.cpp.o.d"
  "CMakeFiles/RerureDira.dir/text/unicode.cpp.o"
  "CMakeFiles/RerureDira.dir/text/unicode.cpp.o.d"
  "libRerureDira.a"
  "libRerureDira.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/RerureDira.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
