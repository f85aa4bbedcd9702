# Makes the release archive of a build with cpack and checks that it holds what its users look
# for: on Windows the DLLs, both kinds of import libraries, the definition files, headers,
# package file, documents and examples; on Linux the shared objects (the stand-in libvorwin
# among them) with their version links, headers, package files, documents, examples and
# vor-echo, which runs from the unpacked archive.
# cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DWINDOWS=<bool> -DNAME=<archive name>
#       -DVERSION=<x.y.z> -DSOVERSION=<x> -P check-archive.cmake
file(REMOVE_RECURSE ${WORK_DIR})
if(WINDOWS)
  set(generator ZIP)
  set(archive ${WORK_DIR}/${NAME}.zip)
  set(expected bin/vor.dll bin/vorutil.dll bin/vor-echo.exe lib/vor.lib lib/vorutil.lib
      lib/libvor.dll.a lib/libvorutil.dll.a lib/vor.def lib/vorutil.def)
else()
  set(generator TGZ)
  set(archive ${WORK_DIR}/${NAME}.tar.gz)
  set(expected lib/libvor.so.${VERSION} lib/libvor.so.${SOVERSION} lib/libvor.so
      lib/libvorutil.so.${VERSION} lib/libvorutil.so.${SOVERSION} lib/libvorutil.so
      lib/libvorwin.so.${VERSION} lib/libvorwin.so.${SOVERSION} lib/libvorwin.so
      lib/pkgconfig/vor.pc bin/vor-echo)
endif()
list(APPEND expected include/vor.h include/vorutil.h include/vorversion.h
     lib/cmake/vor/vorConfig.cmake lib/cmake/vor/vorConfigVersion.cmake
     share/doc/vor/README.md share/doc/vor/api.md share/doc/vor/examples/tcp_echo_server.c)

execute_process(COMMAND ${CMAKE_COMMAND} -E chdir ${BUILD_DIR}
                        cpack -G ${generator} -B ${WORK_DIR}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 600)
if(NOT status EQUAL 0 OR NOT EXISTS ${archive})
  message(FATAL_ERROR "cpack -G ${generator} did not make ${archive} (${status}):\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${archive} OUTPUT_VARIABLE listing
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot list ${archive}")
endif()
string(REPLACE "\n" ";" entries "${listing}")
set(missing "")
foreach(file ${expected})
  list(FIND entries "${NAME}/${file}" at)
  if(at EQUAL -1)
    list(APPEND missing ${file})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "${NAME} lacks: ${missing}\nIt holds:\n${listing}")
endif()
list(LENGTH entries count)
message(STATUS "${NAME}: ${count} entries, every expected one there")

if(NOT WINDOWS)
  # Unpacked anywhere, the program runs as it is: it finds the libraries relative to itself.
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${archive} WORKING_DIRECTORY ${WORK_DIR})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
                          ${WORK_DIR}/${NAME}/bin/vor-echo demo --clients 2 --size 500 --seconds 0.2
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 60)
  if(NOT status EQUAL 0 OR NOT out MATCHES "vor-echo demo: ok")
    message(FATAL_ERROR "vor-echo from the unpacked archive failed (${status}):\n${out}")
  endif()
  message(STATUS "vor-echo from the unpacked archive: ok")
endif()
