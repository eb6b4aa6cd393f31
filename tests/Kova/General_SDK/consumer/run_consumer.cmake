# Installs the tree under BIN/consumer-prefix, then, with every C++ compiler present, builds the
# consumer with find_package and with pkg-config and runs both: an application made by another
# compiler than the library's must link and run as well.

# Runs the command after the description; a failure ends the test with the description and output.
function(run_step description)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE r OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(r)
    message(FATAL_ERROR "${description} failed: ${r}\n${out}")
  endif()
endfunction()

set(prefix ${BIN}/consumer-prefix)
file(REMOVE_RECURSE ${prefix})
run_step("install" ${CMAKE_COMMAND} --install ${BIN} --prefix ${prefix})
set(compilers)
foreach(name g++ clang++)
  find_program(compiler_${name} ${name})
  if(compiler_${name})
    list(APPEND compilers ${compiler_${name}})
  endif()
endforeach()
if(NOT compilers)
  message(FATAL_ERROR "no C++ compiler found")
endif()
find_program(PKG_CONFIG pkg-config)
foreach(cxx ${compilers})
  get_filename_component(tag ${cxx} NAME)
  set(build ${BIN}/consumer-build-${tag})
  file(REMOVE_RECURSE ${build})
  run_step("configure with ${tag}" ${CMAKE_COMMAND} -G Ninja -S ${SRC} -B ${build} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${cxx})
  run_step("build with ${tag}" ${CMAKE_COMMAND} --build ${build})
  run_step("consumer built with ${tag}" ${build}/kova_consumer)
  if(PKG_CONFIG)
    set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
    execute_process(COMMAND ${PKG_CONFIG} --cflags --libs kova OUTPUT_VARIABLE flags RESULT_VARIABLE r
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(r)
      message(FATAL_ERROR "pkg-config does not know kova")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    run_step("pkg-config build with ${tag}" ${cxx} -std=c++17 ${SRC}/main.cpp -o ${build}/pc_consumer ${flags}
      -Wl,-rpath,${prefix}/lib)
    run_step("pkg-config consumer built with ${tag}" ${build}/pc_consumer)
  endif()
endforeach()
