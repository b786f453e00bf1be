# One version for everything that carries one: the version resources of the
# shipped binaries, `stiscan --version`, and the installer package, which
# packaging/build-msi takes from version.txt in the build folder. It is the
# project's VERSION; STIBRIDGE_VERSION_OVERRIDE builds the same tree as
# another version (packaging/build-msi --version does, for a package to
# upgrade from or to).
set(STIBRIDGE_VERSION_OVERRIDE "" CACHE STRING
    "Build as this version (X.Y.Z) instead of the project's VERSION; empty: the project's")
if(STIBRIDGE_VERSION_OVERRIDE STREQUAL "")
  set(STIBRIDGE_VERSION ${PROJECT_VERSION})
else()
  set(STIBRIDGE_VERSION ${STIBRIDGE_VERSION_OVERRIDE})
endif()

# Windows Installer compares the major (up to 255), minor (up to 255) and
# build (up to 65535) fields of a ProductVersion and ignores a fourth; a
# version resource holds four 16-bit numbers. Three decimal fields within
# those ranges, without leading zeros, mean the same to both and read the
# same as text everywhere (packaging/build-msi holds --version to this too).
set(version_fields "")
if(STIBRIDGE_VERSION MATCHES
   "^(0|[1-9][0-9]?[0-9]?)\\.(0|[1-9][0-9]?[0-9]?)\\.(0|[1-9][0-9]?[0-9]?[0-9]?[0-9]?)$")
  set(version_fields ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
endif()
if(NOT version_fields)
  message(FATAL_ERROR "version \"${STIBRIDGE_VERSION}\" is not X.Y.Z (decimal, no leading zeros)")
endif()
list(GET version_fields 0 STIBRIDGE_VERSION_MAJOR)
list(GET version_fields 1 STIBRIDGE_VERSION_MINOR)
list(GET version_fields 2 STIBRIDGE_VERSION_PATCH)
if(STIBRIDGE_VERSION_MAJOR GREATER 255 OR STIBRIDGE_VERSION_MINOR GREATER 255
   OR STIBRIDGE_VERSION_PATCH GREATER 65535)
  message(FATAL_ERROR "version ${STIBRIDGE_VERSION}: the first two fields go up to 255, "
                      "the third to 65535")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/version.txt "${STIBRIDGE_VERSION}\n")

# stibridge_version_resource(target DESCRIPTION text [MANIFEST file]): the
# VERSIONINFO resource of a shipped Windows binary (file and product version,
# description, original file name, product name) and, for a program, its
# application manifest. Nothing on the native build.
function(stibridge_version_resource target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION;MANIFEST" "")
  get_target_property(type ${target} TYPE)
  get_target_property(output_name ${target} OUTPUT_NAME)
  get_target_property(suffix ${target} SUFFIX)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  if(type STREQUAL "EXECUTABLE")
    set(file_type VFT_APP)
    set(file_name ${output_name}.exe)
  else()
    set(file_type VFT_DLL)
    set(file_name ${output_name}.dll)
  endif()
  # A module of another kind (the data source, stibridge.ds).
  if(suffix)
    set(file_name ${output_name}${suffix})
  endif()
  set(description ${arg_DESCRIPTION})
  set(manifest "")
  if(arg_MANIFEST)
    get_filename_component(manifest_path ${arg_MANIFEST} ABSOLUTE)
    # 1 is the manifest a process is created with; 24 is RT_MANIFEST.
    set(manifest "1 24 \"${manifest_path}\"")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  if(arg_MANIFEST)
    # windres reports no dependencies: an edited manifest rebuilds the resource.
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest_path})
  endif()
endfunction()
