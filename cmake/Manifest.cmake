# Embeds an application manifest that requests the "asInvoker" execution level.
# Executables carry it as resource 1, DLLs as resource 2 (ISOLATIONAWARE_MANIFEST_RESOURCE_ID),
# which is where the loader looks for each.
function(add_asinvoker_manifest target)
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "SHARED_LIBRARY")
    set(resource_id 2)
  else()
    set(resource_id 1)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT
    "@resource_id@ 24 \"${CMAKE_SOURCE_DIR}/cmake/asinvoker.manifest\"\n" @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
