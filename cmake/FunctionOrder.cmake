# Writes the linker order file of a UEFI image: every function the objects
# define, once each, in the order the objects and their symbols come in.
#   cmake -DNM=<llvm-nm> -DOUTPUT=<file> "-DOBJECTS=<object>;..." -P FunctionOrder.cmake
# efi/CMakeLists.txt says why the images are linked in this order.
execute_process(COMMAND ${NM} --no-sort --defined-only ${OBJECTS}
  OUTPUT_VARIABLE Symbols
  COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" Lines "${Symbols}")
set(Functions)
foreach(Line IN LISTS Lines)
  # Code symbols, external (T) or static (t), listed as "<value> <type> <name>".
  if(Line MATCHES "^[0-9a-f]+ [Tt] (.+)$")
    list(APPEND Functions "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES Functions)
list(JOIN Functions "\n" Text)
file(WRITE ${OUTPUT} "${Text}\n")
