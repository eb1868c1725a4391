# The DLLs that ship are built by a second build of this same source tree with the win32 thread
# model (toolchain-i686-mingw-win32.cmake), driven from the main build as an external project;
# everything else, test programs included, keeps the posix model. The main build sees each
# shipped DLL as an imported target, so the test hosts link and load exactly what ships.
#
#   SHIPPED_DLLS_ONLY  set only for that second build: it then builds the shipped DLLs alone,
#                      into the main build's bin/ (SHIPPED_BIN_DIR).
#   SHIPPED_DLLS       the DLLs routed through it; each one's folder defines the real target
#                      when SHIPPED_DLLS_ONLY is set and calls import_shipped_dll otherwise.
option(SHIPPED_DLLS_ONLY "Build only the shipped DLLs (the win32-thread-model build)" OFF)
set(SHIPPED_DLLS Vessick Quennet)

# In the second build: where a shipped DLL goes and how it is named.
function(shipped_dll_output target)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${target}
    RUNTIME_OUTPUT_DIRECTORY ${SHIPPED_BIN_DIR}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
  link_debug_identity(${target})
endfunction()

if(NOT SHIPPED_DLLS_ONLY)
  set(SHIPPED_BUILD_DIR ${CMAKE_BINARY_DIR}/shipped)
  set(SHIPPED_BIN_DIR ${CMAKE_BINARY_DIR}/bin)
endif()

# In the main build: the DLL the second build made, as a target to link and copy.
function(import_shipped_dll name)
  add_library(${name} SHARED IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES
    IMPORTED_LOCATION ${SHIPPED_BIN_DIR}/${name}.dll
    IMPORTED_IMPLIB ${SHIPPED_BUILD_DIR}/lib/lib${name}.dll.a)
  add_dependencies(${name} shipped_dlls)
endfunction()

if(NOT SHIPPED_DLLS_ONLY)
  set(byproducts)
  foreach(name IN LISTS SHIPPED_DLLS)
    list(APPEND byproducts ${SHIPPED_BIN_DIR}/${name}.dll ${SHIPPED_BUILD_DIR}/lib/lib${name}.dll.a)
  endforeach()
  include(ExternalProject)
  ExternalProject_Add(shipped_dlls
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${SHIPPED_BUILD_DIR}
    CMAKE_GENERATOR ${CMAKE_GENERATOR}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-i686-mingw-win32.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DSHIPPED_DLLS_ONLY=ON
      -DSHIPPED_BIN_DIR=${SHIPPED_BIN_DIR}
      -DBUILD_TESTING=OFF
    # The second build decides itself what is out of date (a no-op build takes well under a
    # second); its outputs keep their times when nothing changed.
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${byproducts})
endif()
