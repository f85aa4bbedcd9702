# Release archives and packages, made by `cpack` in the build folder from the installed
# components: on Windows vor-<version>-win32.zip (win64 for the 64-bit build) with everything;
# on Linux vor-<version>-linux-<machine>.tar.gz with everything, and the Debian packages libvor0
# (component runtime) and libvor-dev (component dev).
set(CPACK_PACKAGE_NAME vor)
set(CPACK_PACKAGE_VENDOR "Vor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Asynchronous, event-driven networking on I/O completion ports")
set(CPACK_PACKAGE_CONTACT "Vor developers")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(vor_archive_name vor-${PROJECT_VERSION}-win32)
  else()
    set(vor_archive_name vor-${PROJECT_VERSION}-win64)
  endif()
else()
  set(vor_archive_name vor-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvor0)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
      "Vor: asynchronous networking on completion ports (shared libraries)")
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvor-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libvor0 (= ${PROJECT_VERSION})")
  set(CPACK_COMPONENT_DEV_DESCRIPTION
      "Vor: asynchronous networking on completion ports (headers, CMake and pkg-config files)")
  # The Debian packages carry the libraries and what builds against them; vor-echo travels in
  # the archive only.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/VorPackageGenerator.cmake)
endif()
set(CPACK_PACKAGE_FILE_NAME ${vor_archive_name})
include(CPack)

if(VOR_BUILD_TESTS)
  # The archive holds what its users look for.
  add_test(NAME package-archive
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DWORK_DIR=${CMAKE_BINARY_DIR}/package-archive -DWINDOWS=${WIN32}
                   -DNAME=${vor_archive_name} -DVERSION=${PROJECT_VERSION}
                   -DSOVERSION=${PROJECT_VERSION_MAJOR}
                   -P ${PROJECT_SOURCE_DIR}/tests/package/check-archive.cmake)
  set_tests_properties(package-archive PROPERTIES TIMEOUT 600)
endif()
