# Gives a binary a version resource with the project's version, so that Explorer's properties,
# a crash report's module list and an installer all read the same number.
function(add_version_info target description)
  get_target_property(kind ${target} TYPE)
  get_target_property(output ${target} OUTPUT_NAME)
  if(NOT output)
    set(output ${target})
  endif()
  if(kind STREQUAL "SHARED_LIBRARY")
    set(file_name "${output}.dll")
    set(file_type "0x2L")  # VFT_DLL
  else()
    set(file_name "${output}.exe")
    set(file_type "0x1L")  # VFT_APP
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT [[
#include <winver.h>
VS_VERSION_INFO VERSIONINFO
 FILEVERSION @PROJECT_VERSION_MAJOR@,@PROJECT_VERSION_MINOR@,@PROJECT_VERSION_PATCH@,0
 PRODUCTVERSION @PROJECT_VERSION_MAJOR@,@PROJECT_VERSION_MINOR@,@PROJECT_VERSION_PATCH@,0
 FILEFLAGSMASK 0x3fL
 FILEFLAGS 0x0L
 FILEOS 0x40004L
 FILETYPE @file_type@
 FILESUBTYPE 0x0L
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "FileDescription", "@description@"
      VALUE "FileVersion", "@PROJECT_VERSION@"
      VALUE "InternalName", "@output@"
      VALUE "OriginalFilename", "@file_name@"
      VALUE "ProductName", "Vessick"
      VALUE "ProductVersion", "@PROJECT_VERSION@"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
]] @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
