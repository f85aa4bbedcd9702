# Installs the build into a fresh prefix, builds the consumer against it with find_package(vor)
# (and, on Linux, with pkg-config too), and runs what it built.
# On Linux it also checks the shared objects' version names and that the installed vor-echo runs
# from a prefix moved elsewhere, with no library path set.
# cmake -DBUILD_DIR=<build> -DSOURCE_DIR=<this dir> -DWORK_DIR=<scratch> [-DSANITIZE=<list>]
#       -DVERSION=<x.y.z> -DSOVERSION=<x> -DLIBDIR=<lib dir under the prefix>
#       [-DTOOLCHAIN=<file> -DWINE_RUN=<wine-run.sh>,<win32|win64>]
#       -P run-package-test.cmake
# A sanitized build's libraries need the sanitizer runtime loaded first: the consumer is then
# built with the same -fsanitize flags.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out
                  TIMEOUT 600)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
  message(STATUS "${what}: ok\n${out}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The output of `readelf -d` for file.
function(dynamic_section file out)
  execute_process(COMMAND readelf -d ${file} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf -d ${file} failed")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# lib<name>.so -> lib<name>.so.<soversion> -> lib<name>.so.<version>, the last naming itself by
# its SONAME.
function(check_library_names name)
  set(dir ${prefix}/${LIBDIR})
  set(real lib${name}.so.${VERSION})
  set(soname lib${name}.so.${SOVERSION})
  if(NOT EXISTS ${dir}/${real} OR IS_SYMLINK ${dir}/${real})
    message(FATAL_ERROR "${dir}/${real} is not installed as a file")
  endif()
  foreach(pair "${soname}|${real}" "lib${name}.so|${soname}")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 link)
    list(GET pair 1 target)
    if(NOT IS_SYMLINK ${dir}/${link})
      message(FATAL_ERROR "${dir}/${link} is not a symbolic link")
    endif()
    file(READ_SYMLINK ${dir}/${link} points_to)
    if(NOT points_to STREQUAL target)
      message(FATAL_ERROR "${link} points to ${points_to}, not ${target}")
    endif()
  endforeach()
  dynamic_section(${dir}/${real} dynamic)
  if(NOT dynamic MATCHES "Library soname: \\[${soname}\\]")
    message(FATAL_ERROR "${real} does not carry the SONAME ${soname}:\n${dynamic}")
  endif()
  message(STATUS "${real}: SONAME ${soname}, links ok")
endfunction()

if(NOT WINE_RUN)
  check_library_names(vor)
  check_library_names(vorutil)
  check_library_names(vorwin)
  # The program needs the SONAME (not the development link) and looks beside itself for it.
  dynamic_section(${prefix}/bin/vor-echo dynamic)
  if(NOT dynamic MATCHES "NEEDED[^\n]*\\[libvor.so.${SOVERSION}\\]" OR
     NOT dynamic MATCHES "(RUNPATH|RPATH)[^\n]*\\[\\$ORIGIN/\\.\\./${LIBDIR}\\]")
    message(FATAL_ERROR "installed vor-echo: wrong NEEDED or run path:\n${dynamic}")
  endif()
  set(moved ${WORK_DIR}/moved-prefix)
  file(COPY ${prefix}/ DESTINATION ${moved})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
                          ${moved}/bin/vor-echo demo --clients 2 --size 1000 --seconds 0.2
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 60)
  if(NOT status EQUAL 0 OR NOT out MATCHES "vor-echo demo: ok")
    message(FATAL_ERROR "vor-echo from a moved prefix failed (${status}):\n${out}")
  endif()
  message(STATUS "vor-echo from a moved prefix: ok")
endif()

set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${prefix})
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
set(sanitize_flags "")
if(SANITIZE)
  set(sanitize_flags -fsanitize=${SANITIZE})
  list(APPEND configure -DCMAKE_C_FLAGS=${sanitize_flags} -DCMAKE_EXE_LINKER_FLAGS=${sanitize_flags})
endif()
run("configure with find_package(vor)" ${configure})
run("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)

if(NOT WINE_RUN)
  run("run" ${WORK_DIR}/consumer/consumer)
  # pkg-config, as a Makefile would use it.
  file(GLOB pc_file ${prefix}/lib*/pkgconfig/vor.pc ${prefix}/lib/*/pkgconfig/vor.pc)
  if(NOT pc_file)
    message(FATAL_ERROR "no vor.pc under ${prefix}")
  endif()
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  execute_process(COMMAND pkg-config --cflags --libs vor OUTPUT_VARIABLE flags
                  RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know vor")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run("build with pkg-config" cc ${sanitize_flags} ${SOURCE_DIR}/consumer.c ${flags}
      -o ${WORK_DIR}/consumer-pc)
  run("run the pkg-config build" ${WORK_DIR}/consumer-pc)
else()
  # As a Windows host ships it: the program with the installed DLLs beside it. The folder sits
  # directly in the build folder, so the runner uses the build's wine prefix.
  set(run_dir ${BUILD_DIR}/package-run)
  file(REMOVE_RECURSE ${run_dir})
  file(GLOB dlls ${prefix}/bin/*.dll)
  file(COPY ${WORK_DIR}/consumer/consumer.exe ${dlls} DESTINATION ${run_dir})
  string(REPLACE "," ";" WINE_RUN "${WINE_RUN}")
  run("run under wine" ${WINE_RUN} ${run_dir}/consumer.exe)
endif()
