# A module's identity that survives stripping: GNU ld's --pdb= writes a CodeView (RSDS) record
# whose GUID is a hash of the linked image (--build-id) and which names a debug file, the key
# symbol servers and Breakpad-style collectors file symbols under. strip and objcopy keep the
# record as it is, while they rewrite TimeDateStamp and SizeOfImage. The record must name a
# file: one that names none (--build-id alone) sends Wine's dbghelp probing every file in the
# module's folder as its debug file.
#
# ld also writes a nearly empty PDB file; it goes into the target's build folder, never beside
# the module (nothing ships it, and dbghelp is not offered it).
function(link_debug_identity target)
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  target_link_options(${target} PRIVATE "LINKER:--build-id"
                      "LINKER:--pdb=${CMAKE_CURRENT_BINARY_DIR}/${output_name}.pdb")
endfunction()
