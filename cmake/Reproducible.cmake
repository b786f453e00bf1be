# The same commit built twice, in two folders and at two dates, gives the
# same bytes in every Windows binary (packaging/build-msi and its test rely
# on it):
# - the linker writes no time stamp into the PE header (it would otherwise
#   put the link's time there, and in the debug directory);
# - the compiler writes the source and build folders under fixed names
#   into the debug information and into __FILE__, so that where the tree
#   was checked out or built leaves no trace. GCC tries the later map
#   first, so the build folder, inside the source tree by the presets, is
#   mapped before the tree around it.
# The native builds keep their real paths: sanitizer reports and debuggers
# there name the files as they are.
if(NOT WIN32)
  return()
endif()
add_link_options(-Wl,--no-insert-timestamp)
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=/stibridge>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=/stibridge-build>")
