# Writes the updater's Info.plist from macos/Info.plist.in. Used by the build
# (macos/TarnwickApple.cmake) and, in script mode, by the check of the
# template that runs anywhere (macos/tests/check-bundle-logic.sh):
#
#   cmake -DOUTPUT=Info.plist -DEXECUTABLE=... -DIDENTIFIER=... -DNAME=...
#         -DVERSION=1.0.0 -DMINIMUM_MACOS=10.13 -P macos/InfoPlist.cmake

set(_tarnwick_info_plist_template ${CMAKE_CURRENT_LIST_DIR}/Info.plist.in)

function(tarnwick_write_info_plist output executable identifier name version minimum_macos)
  foreach(value IN ITEMS "${executable}" "${identifier}" "${name}" "${version}" "${minimum_macos}")
    if(value STREQUAL "" OR value MATCHES "[<>&@$\\\\]")
      message(FATAL_ERROR "Info.plist: empty value, or one that XML or CMake would change: '${value}'")
    endif()
  endforeach()
  if(NOT minimum_macos MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "Info.plist: '${minimum_macos}' is not a macOS version")
  endif()
  set(TARNWICK_BUNDLE_EXECUTABLE "${executable}")
  set(TARNWICK_BUNDLE_IDENTIFIER "${identifier}")
  set(TARNWICK_BUNDLE_NAME "${name}")
  set(TARNWICK_BUNDLE_VERSION "${version}")
  set(TARNWICK_BUNDLE_MINIMUM_MACOS "${minimum_macos}")
  configure_file(${_tarnwick_info_plist_template} ${output} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  tarnwick_write_info_plist("${OUTPUT}" "${EXECUTABLE}" "${IDENTIFIER}" "${NAME}" "${VERSION}" "${MINIMUM_MACOS}")
endif()
