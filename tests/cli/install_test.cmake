# Installs the build into a scratch prefix and builds the host of host/
# against it twice: with find_package(mira) and with pkg-config. Each host
# must run. Called with BUILD_DIR, SOURCE_DIR, WORK and C_COMPILER.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file bin/mira lib/libmira.so lib/libportkit.so include/mira/mira.h share/man/man1/mira.1)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK}/with-cmake -G Ninja -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK}/with-cmake)
run(${WORK}/with-cmake/host)

set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(pkg-config --cflags --libs mira)
separate_arguments(flags UNIX_COMMAND "${out}")
run(${C_COMPILER} -std=c11 ${SOURCE_DIR}/host.c ${flags} -Wl,-rpath,${prefix}/lib -o ${WORK}/with-pkg-config)
run(${WORK}/with-pkg-config)

# The installed mira runs from its prefix.
run(${prefix}/bin/mira read N7:0 W0)
