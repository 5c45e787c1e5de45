# Windows resources of an executable: a version resource (version, product
# name, the source revision), the application icon and a manifest (common
# controls 6, per-monitor DPI awareness, asInvoker), compiled by windres.
#   vexu_windows_resources(TARGET FILE_NAME DESCRIPTION [EXTRA_RC...])
# The icon comes from the pictures the Linux build paints (VEXU_ARTWORK_DIR).
enable_language(RC)

set(VEXU_PRODUCT_NAME "Vexu Dual Programmer")
string(REPLACE "." "," VEXU_VERSION_COMMAS "${PROJECT_VERSION}")
set(VEXU_VERSION_COMMAS "${VEXU_VERSION_COMMAS},0")
set(VEXU_VERSION_QUAD "${PROJECT_VERSION}.0")

function(vexu_windows_resources target file_name description)
  set(VEXU_FILE_NAME ${file_name})
  set(VEXU_FILE_DESCRIPTION ${description})
  set(VEXU_ART_DIR ${VEXU_ARTWORK_DIR})
  set(VEXU_REVISION_HEADER ${VEXU_REVISION_RC_HEADER})
  set(VEXU_MANIFEST ${CMAKE_BINARY_DIR}/generated/${target}.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/app/win32/vexu-programmer.manifest ${VEXU_MANIFEST} @ONLY)
  set(rc ${CMAKE_BINARY_DIR}/generated/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/app/win32/version.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS
    "${VEXU_REVISION_RC_HEADER};${VEXU_MANIFEST};${VEXU_ARTWORK_DIR}/icon.ico")
  target_sources(${target} PRIVATE ${rc} ${ARGN})
  add_dependencies(${target} vexu_source_revision)
endfunction()
