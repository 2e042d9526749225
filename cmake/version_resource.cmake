# The VERSIONINFO resource of a Tonvale binary, from the project's version.
#
# TONVALE_VERSION_TEXT is the version as people read it ("1.0"), and
# TONVALE_VERSION_QUAD the same padded to the four numbers that Windows keeps
# in a binary and that the setup program's VIProductVersion requires.
set(TONVALE_VERSION_TEXT ${PROJECT_VERSION})
set(_version_numbers)
foreach(part MAJOR MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    list(APPEND _version_numbers 0)
  else()
    list(APPEND _version_numbers ${PROJECT_VERSION_${part}})
  endif()
endforeach()
list(JOIN _version_numbers "." TONVALE_VERSION_QUAD)
list(JOIN _version_numbers "," TONVALE_VERSION_COMMAS)
set(TONVALE_COMPANY "Tonvale")
set(TONVALE_COPYRIGHT "Copyright (C) 2026 the Tonvale developers")

set(_version_template ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# Adds a version resource to `target`, whose file is `file_name` and which
# Windows describes as `description`.
function(tonvale_version_resource target description file_name)
  set(TONVALE_FILE_DESCRIPTION "${description}")
  set(TONVALE_FILE_NAME "${file_name}")
  get_filename_component(TONVALE_INTERNAL_NAME "${file_name}" NAME_WE)
  if(file_name MATCHES "\\.dll$")
    set(TONVALE_FILE_TYPE VFT_DLL)
  else()
    set(TONVALE_FILE_TYPE VFT_APP)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${_version_template} ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
