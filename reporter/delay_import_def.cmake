# From a mingw import library, writes what reporter/CMakeLists.txt needs to delay-load its DLL:
#   cmake -DNM=... -DIMPORT_LIBRARY=libX.a -DDLL=X.dll -DDEF=X.def -DKEEP=X.rsp -P this file
# DEF: a module-definition file listing every function, from which dlltool builds the
#   delay-import library. An i686 import library names each function "__imp__Name@N"; the
#   definition keeps "Name@N", and dlltool imports it by its undecorated name.
# KEEP: linker options "-u _Name@N" for every function. A call through a dllimport declaration
#   (shell32's headers declare theirs so) references only "__imp__Name@N", and ld then drops
#   the unreferenced stub code beside it, which is the delay-load thunk that slot must start
#   at: the slot is left 0 and the first call jumps to address 0. Keeping every thunk makes
#   each slot sound whatever a header declares.
execute_process(COMMAND ${NM} --defined-only ${IMPORT_LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} could not read ${IMPORT_LIBRARY}")
endif()
string(REGEX MATCHALL "[ \t]I __imp__[^\r\n]+" imports "${symbols}")
if(NOT imports)
  message(FATAL_ERROR "no imports found in ${IMPORT_LIBRARY}")
endif()
set(def "LIBRARY ${DLL}\nEXPORTS\n")
set(keep "")
foreach(line IN LISTS imports)
  string(REGEX REPLACE "^[ \t]I __imp__" "" name "${line}")
  string(APPEND def "${name}\n")
  string(APPEND keep "-u _${name}\n")
endforeach()
file(WRITE ${DEF} "${def}")
file(WRITE ${KEEP} "${keep}")
