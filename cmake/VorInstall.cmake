# Packaging: `cmake --install` puts the headers, the two libraries (on Windows the DLLs in bin/
# and their import libraries in lib/; on Linux also libvorwin, the stand-in for the Windows calls
# that libvorutil links), a CMake package (find_package(vor) gives vor::vor and vor::vorutil)
# and, on Linux, the pkg-config file vor.pc.
#
# The package file names the installed files directly instead of exporting the build targets,
# so that the build's own helper targets (warnings, the gateway to the Windows calls) stay out
# of what a host links against.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vor)

# Components, which the release packages follow (cmake/VorPackage.cmake): "runtime" holds what a
# program needs to run (the DLLs; the shared objects and their SONAME links), "dev" what it
# needs to be built (headers, import libraries, development links, package files, documents and
# examples), "tools" the vor-echo program.
install(FILES include/vor.h platform/vorutil.h ${PROJECT_BINARY_DIR}/include/vorversion.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(WIN32)
  set(vor_installed_libraries vorutil vor)
else()
  set(vor_installed_libraries vorwin vorutil vor)
endif()
install(TARGETS ${vor_installed_libraries}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES README.md docs/api.md docs/reliability.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT dev)
if(NOT WIN32)
  # libvor finds libvorutil, and libvorutil libvorwin, beside it wherever the prefix is moved.
  set_target_properties(vor vorutil PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

# Where the package file finds the prefix, relative to itself.
file(RELATIVE_PATH VOR_CMAKE_DIR_TO_PREFIX "/${VOR_CMAKE_DIR}" "/")
string(REGEX REPLACE "/$" "" VOR_CMAKE_DIR_TO_PREFIX "${VOR_CMAKE_DIR_TO_PREFIX}")
if(WIN32)
  set(VOR_LIB_DIR_OF_RUNTIME ${CMAKE_INSTALL_BINDIR})
else()
  set(VOR_LIB_DIR_OF_RUNTIME ${CMAKE_INSTALL_LIBDIR})
endif()
# Two passes: the directories now, the library file names once the generator knows them.
configure_file(${PROJECT_SOURCE_DIR}/cmake/vorConfig.cmake.in
               ${CMAKE_BINARY_DIR}/package/vorConfig.cmake.gen @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package/vorConfig.cmake
     INPUT ${CMAKE_BINARY_DIR}/package/vorConfig.cmake.gen)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/vorConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/vorConfig.cmake
              ${CMAKE_BINARY_DIR}/package/vorConfigVersion.cmake
        DESTINATION ${VOR_CMAKE_DIR} COMPONENT dev)

if(NOT WIN32)
  file(RELATIVE_PATH VOR_PC_DIR_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" VOR_PC_DIR_TO_PREFIX "${VOR_PC_DIR_TO_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/vor.pc.in ${CMAKE_BINARY_DIR}/package/vor.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/vor.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

if(VOR_BUILD_TESTS)
  # Install into a scratch prefix and build a host program against the installed package.
  set(package_test_args -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/tests/package
      -DWORK_DIR=${CMAKE_BINARY_DIR}/package-test "-DSANITIZE=${VOR_SANITIZE}"
      -DVERSION=${PROJECT_VERSION} -DSOVERSION=${PROJECT_VERSION_MAJOR}
      -DLIBDIR=${CMAKE_INSTALL_LIBDIR})
  if(WIN32)
    # The runner is a list (script, then wine architecture): passed joined by commas.
    string(REPLACE ";" "," wine_run "${CMAKE_CROSSCOMPILING_EMULATOR}")
    list(APPEND package_test_args -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE} -DWINE_RUN=${wine_run})
  endif()
  add_test(NAME package-install-and-use
           COMMAND ${CMAKE_COMMAND} ${package_test_args}
                   -P ${PROJECT_SOURCE_DIR}/tests/package/run-package-test.cmake)
  set_tests_properties(package-install-and-use PROPERTIES TIMEOUT 600)
endif()
