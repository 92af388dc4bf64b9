# Stands in for cmake.mk: the test runs CMake itself with CMAKE_OPTIONS.
CMAKE_OPTIONS:=
