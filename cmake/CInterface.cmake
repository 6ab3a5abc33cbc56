# The C interface (include/vantorelle/vantorelle_c.h): its functions go into
# the library beside the six C++ exports. On Windows the DLL takes its export
# table from a .def file, carries a version resource, and gets an import
# library for MSVC-style linkers (vantorelle.lib) beside mingw's
# libvantorelle.dll.a.

# The interface's version, read from the header so that it is said once.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/vantorelle/vantorelle_c.h VT_C_ABI_LINES
  REGEX "^#define VTC_ABI_VERSION_(MAJOR|MINOR) [0-9]+$")
string(REGEX REPLACE ".*MAJOR ([0-9]+).*" "\\1" VTC_ABI_MAJOR "${VT_C_ABI_LINES}")
string(REGEX REPLACE ".*MINOR ([0-9]+).*" "\\1" VTC_ABI_MINOR "${VT_C_ABI_LINES}")

set(VT_C_INTERFACE_SOURCES ${PROJECT_SOURCE_DIR}/src/controller/c_interface.cpp)
# Beside the entry point in the shared library itself, so the linker keeps it.
target_sources(vantorelle PRIVATE ${VT_C_INTERFACE_SOURCES})
target_compile_definitions(vantorelle PRIVATE VT_VERSION="${PROJECT_VERSION}")

if(WIN32)
  set(VT_DEF_FILE ${PROJECT_SOURCE_DIR}/src/controller/vantorelle.def)
  target_sources(vantorelle PRIVATE ${VT_DEF_FILE})

  enable_language(RC)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(VT_KIT_BITS 64)
    set(VT_DLLTOOL_MACHINE i386:x86-64)
  else()
    set(VT_KIT_BITS 32)
    set(VT_DLLTOOL_MACHINE i386)
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/vantorelle.rc.in ${CMAKE_BINARY_DIR}/vantorelle.rc @ONLY)
  target_sources(vantorelle PRIVATE ${CMAKE_BINARY_DIR}/vantorelle.rc)

  # The import library an MSVC-style linker (link.exe, lld-link) takes; made
  # from the same .def, so it names exactly what the DLL exports.
  find_program(VT_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 ${VT_WIN_TRIPLE}-dlltool REQUIRED)
  set(VT_MSVC_IMPORT_LIB ${CMAKE_BINARY_DIR}/vantorelle.lib)
  add_custom_command(OUTPUT ${VT_MSVC_IMPORT_LIB}
    COMMAND ${VT_DLLTOOL} -m ${VT_DLLTOOL_MACHINE} -D vantorelle.dll -d ${VT_DEF_FILE} -l ${VT_MSVC_IMPORT_LIB}
    DEPENDS ${VT_DEF_FILE}
    COMMENT "Making the MSVC import library vantorelle.lib")
  add_custom_target(vantorelle_msvc_import_lib ALL DEPENDS ${VT_MSVC_IMPORT_LIB})
  add_dependencies(vantorelle vantorelle_msvc_import_lib)
endif()
