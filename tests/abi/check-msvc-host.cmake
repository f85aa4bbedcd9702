# Builds msvc_host.c as Microsoft's toolchain would (clang for the MSVC target, lld-link against
# vor.lib and vorutil.lib), checks that the headers also compile as C++ there, and runs the
# program beside the DLLs when RUNNER is given.
# cmake -DCLANG=<clang> -DLLD_LINK=<lld-link> -DTARGET=<i686|x86_64>-pc-windows-msvc
#       -DMACHINE=<x86|x64> -DSOURCE=<msvc_host.c> -DINCLUDES=<dir,dir,...> -DLIB_DIR=<.lib dir>
#       -DOUT=<program> [-DRUNNER=<runner,arch>] -P check-msvc-host.cmake
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out
                  TIMEOUT 600)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
  message(STATUS "${what}: ok")
endfunction()

string(REPLACE "," ";" INCLUDES "${INCLUDES}")
list(TRANSFORM INCLUDES PREPEND "-I")
# Freestanding: the compiler's own stddef.h and stdint.h, as Microsoft's are not here.
set(compile ${CLANG} --target=${TARGET} -ffreestanding -Wall -Wextra -Werror ${INCLUDES})
get_filename_component(work ${OUT} DIRECTORY)
run("compile as C for ${TARGET}" ${compile} -c ${SOURCE} -o ${OUT}.obj)
run("compile as C++ for ${TARGET}" ${compile} -x c++ -std=c++17 -fsyntax-only ${SOURCE})
run("link with lld-link against vor.lib and vorutil.lib"
    ${LLD_LINK} /nologo /machine:${MACHINE} /subsystem:console /entry:VorHostEntry
    /nodefaultlib /out:${OUT} ${OUT}.obj ${LIB_DIR}/vor.lib ${LIB_DIR}/vorutil.lib)
if(RUNNER)
  string(REPLACE "," ";" RUNNER "${RUNNER}")
  run("run beside the DLLs" ${RUNNER} ${OUT})
endif()
