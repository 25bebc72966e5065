# Writes the updater's Info.plist from macos/Info.plist.in. Used by the build
# (macos/TarnwickApple.cmake) and, in script mode, by the check of the
# template that runs anywhere (macos/tests/check-bundle-logic.sh):
#
#   cmake -DOUTPUT=Info.plist -DEXECUTABLE=... -DIDENTIFIER=... -DNAME=...
#         -DVERSION=1.0.0 -DMINIMUM_MACOS=10.13 "-DLOCALIZATIONS=en;de;zh_Hans"
#         -P macos/InfoPlist.cmake
#
# The localizations are the catalogues' names (translations/), written as
# macOS names them: zh_Hans becomes zh-Hans.

set(_tarnwick_info_plist_template ${CMAKE_CURRENT_LIST_DIR}/Info.plist.in)

function(tarnwick_write_info_plist output executable identifier name version minimum_macos localizations)
  foreach(value IN ITEMS "${executable}" "${identifier}" "${name}" "${version}" "${minimum_macos}")
    if(value STREQUAL "" OR value MATCHES "[<>&@$\\\\]")
      message(FATAL_ERROR "Info.plist: empty value, or one that XML or CMake would change: '${value}'")
    endif()
  endforeach()
  if(NOT minimum_macos MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "Info.plist: '${minimum_macos}' is not a macOS version")
  endif()
  set(TARNWICK_BUNDLE_LOCALIZATIONS)
  foreach(localization IN LISTS localizations)
    if(NOT localization MATCHES "^[a-z][a-z][a-z]?([-_][A-Z][a-z][a-z][a-z])?([-_][A-Z][A-Z])?$")
      message(FATAL_ERROR "Info.plist: '${localization}' is not a localization's name")
    endif()
    string(REPLACE "_" "-" localization "${localization}")
    string(APPEND TARNWICK_BUNDLE_LOCALIZATIONS "\t\t<string>${localization}</string>\n")
  endforeach()
  string(REGEX REPLACE "\n$" "" TARNWICK_BUNDLE_LOCALIZATIONS "${TARNWICK_BUNDLE_LOCALIZATIONS}")
  set(TARNWICK_BUNDLE_EXECUTABLE "${executable}")
  set(TARNWICK_BUNDLE_IDENTIFIER "${identifier}")
  set(TARNWICK_BUNDLE_NAME "${name}")
  set(TARNWICK_BUNDLE_VERSION "${version}")
  set(TARNWICK_BUNDLE_MINIMUM_MACOS "${minimum_macos}")
  configure_file(${_tarnwick_info_plist_template} ${output} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  tarnwick_write_info_plist("${OUTPUT}" "${EXECUTABLE}" "${IDENTIFIER}" "${NAME}" "${VERSION}" "${MINIMUM_MACOS}"
                            "${LOCALIZATIONS}")
endif()
