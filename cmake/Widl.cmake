# Runs widl over the one IDL file. Every build derives the interface from it:
# the header and identifiers everywhere, the proxy/stub sources on Windows.
find_program(WIDL_EXECUTABLE NAMES x86_64-w64-mingw32-widl widl REQUIRED)
set(WIDL_IMPORT_DIR /usr/include/wine/wine/windows)
if(NOT EXISTS ${WIDL_IMPORT_DIR}/unknwn.idl)
  message(FATAL_ERROR "unknwn.idl not found in ${WIDL_IMPORT_DIR}: install libwine-dev (scripts/setup)")
endif()

set(STIBRIDGE_IDL ${PROJECT_SOURCE_DIR}/idl/stibridge.idl)
set(STIBRIDGE_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${STIBRIDGE_GENERATED_DIR})

if(NOT DEFINED STIBRIDGE_WIDL_ARCH)
  set(STIBRIDGE_WIDL_ARCH -m64)
endif()

# TWAIN's TW_IMAGEINFO is packed to 2 bytes (42 bytes). widl ignores
# #pragma pack when it lays out the marshaling formats, so the whole file is
# laid out with 2-byte alignment; every other structure in the file has no
# padding, so its layout is the same under either rule (checked by
# static_assert in the code that uses them).
set(WIDL_FLAGS ${STIBRIDGE_WIDL_ARCH} --win32-align 2 --win64-align 2 -I${WIDL_IMPORT_DIR})

add_custom_command(
  OUTPUT ${STIBRIDGE_GENERATED_DIR}/stibridge.h ${STIBRIDGE_GENERATED_DIR}/stibridge_i.c
  COMMAND ${WIDL_EXECUTABLE} ${WIDL_FLAGS} -h -H stibridge.h -u -U stibridge_i.c ${STIBRIDGE_IDL}
  WORKING_DIRECTORY ${STIBRIDGE_GENERATED_DIR}
  DEPENDS ${STIBRIDGE_IDL}
  COMMENT "widl: interface header and identifiers"
  VERBATIM)

add_custom_command(
  OUTPUT ${STIBRIDGE_GENERATED_DIR}/stibridge_p.c ${STIBRIDGE_GENERATED_DIR}/dlldata.c
  COMMAND ${WIDL_EXECUTABLE} ${WIDL_FLAGS} -Oif -p -P stibridge_p.c ${STIBRIDGE_IDL}
  COMMAND ${WIDL_EXECUTABLE} ${WIDL_FLAGS} --dlldata-only --dlldata=dlldata.c stibridge
  WORKING_DIRECTORY ${STIBRIDGE_GENERATED_DIR}
  DEPENDS ${STIBRIDGE_IDL}
  COMMENT "widl: proxy/stub"
  VERBATIM)

add_custom_target(stibridge_idl DEPENDS
  ${STIBRIDGE_GENERATED_DIR}/stibridge.h ${STIBRIDGE_GENERATED_DIR}/stibridge_i.c)
add_custom_target(stibridge_proxy_sources DEPENDS
  ${STIBRIDGE_GENERATED_DIR}/stibridge_p.c ${STIBRIDGE_GENERATED_DIR}/dlldata.c)
