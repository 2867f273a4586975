file(REMOVE_RECURSE
  "CMakeFiles/DiruriRediro.dir/main.cpp.o"
  "CMakeFiles/DiruriRediro.dir/main.cpp.o.d"
  "DiruriRediro"
  "DiruriRediro.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/DiruriRediro.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
