# The layering check on small trees: a sound tree passes, and each planted fault fails the
# check with a line that names the file, the include and the two layers.
#   cmake -DCHECK=<check_layering.cmake> -DWORK=<scratch directory> -P check_layering_test.cmake
cmake_minimum_required(VERSION 3.20)

# A sound tree: files of several layers, each including its own layer or the ones below,
# by the source root, by the file's own directory, by a relative path and through the
# public header directory; and a system header.
set(sound_tree
  Pimo/OS/os.h "#pragma once"
  Kova/Common/Global/common.h "#include \"Pimo/OS/os.h\""
  Kova/Common/Open/Kova/kova.h "#include \"kova_typedef.h\""
  Kova/Common/Open/Kova/kova_typedef.h "#pragma once"
  Kova/SDK/sdk.h "#include <Kova/kova.h>\n#  include \"Kova/Common/Global/common.h\""
  Kova/SDK/sdk.cpp "#include \"sdk.h\"\n#include <vector>"
  Kova/General_Service/service.h "#include \"Kova/Common/Global/common.h\""
  Kova/Center/center.h "#include \"../Common/Global/common.h\""
  Linux_main/Kova_General_Service/main.cpp "#include \"Kova/General_Service/service.h\"")

# Case: name, the line the check must print ("" when it must pass), then files (path under
# the source tree, content) planted on top of the sound tree.
set(cases
  "sound tree|"
  "base includes the protocol core|Pimo/OS/os.cpp: includes Kova/Common/Global/common.h: base may not include core|Pimo/OS/os.cpp|#include \"Kova/Common/Global/common.h\""
  "base reaches the public headers through the include path|Pimo/OS/os.cpp: includes Kova/Common/Open/Kova/kova.h: base may not include core|Pimo/OS/os.cpp|  #  include <Kova/kova.h>"
  "the protocol core reaches the SDK by a relative path|Kova/kova_utility/utility.cpp: includes Kova/SDK/sdk.h: core may not include sdk|Kova/kova_utility/utility.cpp|#include \"../SDK/sdk.h\""
  "the service includes the center beside it|Kova/General_Service/service.cpp: includes Kova/Center/center.h: service may not include center|Kova/General_Service/service.cpp|#include \"Kova/Center/center.h\""
  "a program includes the layer of another program|Linux_main/Kova_General_Center/main.cpp: includes Kova/General_Service/service.h: center_program may not include service|Linux_main/Kova_General_Center/main.cpp|#include \"Kova/General_Service/service.h\""
  "a file outside every layer|Kova/Other/other.cpp: in no layer|Kova/Other/other.cpp|#pragma once"
  "an include outside the source tree|Pimo/OS/os.cpp: includes ../../../outside.h, outside the source tree|Pimo/OS/os.cpp|#include \"../../../outside.h\"|../outside.h|#pragma once")

set(failures 0)
set(index 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(POP_FRONT fields name expected)
  math(EXPR index "${index} + 1")
  set(root "${WORK}/case_${index}")
  file(REMOVE_RECURSE "${root}")
  set(files ${sound_tree} ${fields})
  while(files)
    list(POP_FRONT files path content)
    file(WRITE "${root}/src/${path}" "${content}\n")
  endwhile()
  execute_process(COMMAND ${CMAKE_COMMAND} -DSRC=${root}/src -P ${CHECK}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expected STREQUAL "")
    if(NOT result EQUAL 0)
      message(SEND_ERROR "${name}: the check failed:\n${out}")
      math(EXPR failures "${failures} + 1")
    endif()
  else()
    string(FIND "${out}" "${expected}\n" at)
    if(result EQUAL 0 OR at EQUAL -1)
      message(SEND_ERROR "${name}: expected a failure with \"${expected}\", got ${result}:\n${out}")
      math(EXPR failures "${failures} + 1")
    endif()
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} cases failed")
endif()
