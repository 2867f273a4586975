client/CMakeFiles/DiruriRediro.dir/main.cpp.o: /work/main/client/main.cpp \
 /usr/include/stdc-predef.h
