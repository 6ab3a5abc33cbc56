# What `cmake --install` lays out, and the packages CPack makes of it:
#   Linux:   include/vantorelle/vantorelle.h and vantorelle_c.h, the shared
#            library with its SONAME links, bin/vtl, bin/vtrecord, a CMake
#            package (vantorelle::vantorelle, vantorelle::c) and the pkg-config
#            files vantorelle.pc and vantorelle-c.pc, the licence in
#            share/doc/vantorelle (LICENSE, and Debian's copyright file);
#            `cpack -G DEB` makes vantorelle_VERSION_ARCH.deb of it.
#   Windows: bin/vantorelle.dll beside bin/vtl.exe and bin/vtrecord.exe, the
#            import libraries lib/libvantorelle.dll.a (mingw) and
#            lib/vantorelle.lib (MSVC-style linkers), both headers, a CMake
#            package (vantorelle::c), a note on the toolchains a host may
#            use and LICENSE.txt; `cpack -G ZIP` makes the kit.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VT_COMPONENT vantorelle)

# The tools say which release they belong to.
target_compile_definitions(vtl PRIVATE VT_VERSION="${PROJECT_VERSION}")
target_compile_definitions(vtrecord PRIVATE VT_VERSION="${PROJECT_VERSION}")

# What a host that links the library needs: the header and, because the
# exports pass Boost.Signals2 objects, Boost's headers.
target_include_directories(vantorelle INTERFACE
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
if(NOT WIN32)
  target_link_libraries(vantorelle INTERFACE Boost::headers)
  # vtrecord loads the library by its SONAME when it is not beside the
  # program, as in an installed tree: bin/../lib.
  file(RELATIVE_PATH VT_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(vtrecord PROPERTIES INSTALL_RPATH "$ORIGIN/${VT_BIN_TO_LIB}")
  target_compile_definitions(vtrecord PRIVATE VT_LIBRARY_SONAME="$<TARGET_SONAME_FILE_NAME:vantorelle>")
endif()

install(TARGETS vantorelle EXPORT vantorelleTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${VT_COMPONENT}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${VT_COMPONENT}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${VT_COMPONENT})
install(TARGETS vtl vtrecord RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${VT_COMPONENT})
install(FILES include/vantorelle/vantorelle.h include/vantorelle/vantorelle_c.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantorelle COMPONENT ${VT_COMPONENT})
set(VT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vantorelle)

if(WIN32)
  # The kit's note names the compiler this build used and its width.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(VT_KIT_ARCH x86_64)
    set(VT_KIT_BITS 64)
  else()
    set(VT_KIT_ARCH i686)
    set(VT_KIT_BITS 32)
  endif()
  set(VT_KIT_COMPILER "${VT_KIT_ARCH}-w64-mingw32-g++-posix")
  string(REGEX MATCH "^[0-9]+" VT_KIT_GCC_MAJOR "${CMAKE_CXX_COMPILER_VERSION}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/windows-kit.txt.in ${CMAKE_BINARY_DIR}/README-windows.txt @ONLY
    NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README-windows.txt DESTINATION . COMPONENT ${VT_COMPONENT})
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION . COMPONENT ${VT_COMPONENT})
  install(FILES ${VT_MSVC_IMPORT_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${VT_COMPONENT})
  # The kit's CMake package: vantorelle::c for any compiler of the kit's width.
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vantorelleConfig-windows.cmake.in
    ${CMAKE_BINARY_DIR}/vantorelleConfig.cmake INSTALL_DESTINATION ${VT_CMAKE_DIR}
    PATH_VARS CMAKE_INSTALL_BINDIR CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/vantorelleConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/vantorelleConfig.cmake ${CMAKE_BINARY_DIR}/vantorelleConfigVersion.cmake
    DESTINATION ${VT_CMAKE_DIR} COMPONENT ${VT_COMPONENT})
else()
  install(EXPORT vantorelleTargets NAMESPACE vantorelle:: DESTINATION ${VT_CMAKE_DIR}
    COMPONENT ${VT_COMPONENT})
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vantorelleConfig.cmake.in
    ${CMAKE_BINARY_DIR}/vantorelleConfig.cmake INSTALL_DESTINATION ${VT_CMAKE_DIR})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/vantorelleConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/vantorelleConfig.cmake ${CMAKE_BINARY_DIR}/vantorelleConfigVersion.cmake
    DESTINATION ${VT_CMAKE_DIR} COMPONENT ${VT_COMPONENT})

  # pkg-config: every path relative to the file itself, so the tree can move.
  file(RELATIVE_PATH VT_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" VT_PC_TO_PREFIX "${VT_PC_TO_PREFIX}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/vantorelle.pc.in ${CMAKE_BINARY_DIR}/vantorelle.pc @ONLY)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/vantorelle-c.pc.in ${CMAKE_BINARY_DIR}/vantorelle-c.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/vantorelle.pc ${CMAKE_BINARY_DIR}/vantorelle-c.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${VT_COMPONENT})
endif()

# ---- packages ------------------------------------------------------------------
set(CPACK_PACKAGE_CONTACT "vantorelle developers <dev@vantorelle.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(NOT WIN32)
  # The licence where Debian keeps it: the text, and the machine-readable
  # copyright file that names it.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-copyright.in ${CMAKE_BINARY_DIR}/copyright @ONLY)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantorelle COMPONENT ${VT_COMPONENT})
endif()

set(CPACK_PACKAGE_NAME vantorelle)
set(CPACK_PACKAGE_VENDOR vantorelle)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "in-process match monitoring library for game clients")
set(CPACK_PACKAGE_DESCRIPTION
  "A game client loads the library for the length of an online match; it records processes, connections,\n\
adapter throughput, the round trip to the game server and the machine's identifiers into an encrypted log.\n\
Includes the header, CMake and pkg-config files, vtl (the log reader) and vtrecord (a recording host).\n\
Licensed under the Apache License 2.0.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Only what these rules install goes into a package, whatever else the tree
# may install.
set(CPACK_COMPONENTS_ALL ${VT_COMPONENT})
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
# Packages carry no debug information; a build tree keeps it.
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vantorelle-${PROJECT_VERSION}-windows-${VT_KIT_ARCH})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A host that compiles against the header needs Boost's headers of the
  # same version as the library's.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libboost1.74-dev")
endif()
include(CPack)
