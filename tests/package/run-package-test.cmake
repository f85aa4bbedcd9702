# Installs the build into a fresh prefix, builds the consumer against it with find_package(vor)
# (and, on Linux, with pkg-config too), and runs what it built.
# cmake -DBUILD_DIR=<build> -DSOURCE_DIR=<this dir> -DWORK_DIR=<scratch> [-DSANITIZE=<list>]
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
