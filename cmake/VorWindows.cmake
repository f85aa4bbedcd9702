# The Windows form of the two libraries: vor.dll and vorutil.dll, each exporting exactly the
# functions of its module-definition file, carrying a version resource, and coming with two
# import libraries: the MinGW one (libvor.dll.a) and the Microsoft one (vor.lib), the latter
# made from the definition file so that a host built with Microsoft's tools links directly.
enable_language(RC)
include(GNUInstallDirs)

# vor_windows_library(<target> <definition file> <description>)
function(vor_windows_library target def description)
  set(VOR_RC_NAME ${target})
  set(VOR_RC_DESCRIPTION "${description}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                 ${CMAKE_BINARY_DIR}/resources/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${def} ${CMAKE_BINARY_DIR}/resources/${target}.rc)
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "lib")

  set(msvc_lib ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/${target}.lib)
  add_custom_command(OUTPUT ${msvc_lib}
                     COMMAND ${VOR_DLLTOOL} -m ${VOR_DLLTOOL_MACHINE} -d ${def} -l ${msvc_lib}
                     DEPENDS ${def}
                     COMMENT "Microsoft import library ${target}.lib")
  add_custom_target(${target}-msvc-lib ALL DEPENDS ${msvc_lib})
  install(FILES ${msvc_lib} ${def} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
endfunction()

find_program(VOR_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VOR_DLLTOOL_MACHINE i386)
else()
  set(VOR_DLLTOOL_MACHINE i386:x86-64)
endif()

vor_windows_library(vorutil ${PROJECT_SOURCE_DIR}/util/vorutil.def "Vor utility library")
vor_windows_library(vor ${PROJECT_SOURCE_DIR}/src/vor.def "Vor asynchronous networking library")
