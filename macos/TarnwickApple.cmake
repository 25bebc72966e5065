# The macOS side of the build: which architectures and which lowest macOS the
# updater is built for, and its Info.plist. Included by the top-level
# CMakeLists.txt on APPLE, after Qt and the pkg-config libraries are found and
# before any target is defined, so that every target (and the Objective-C++
# native layer) is compiled with the same -arch and -mmacosx-version-min.
#
# Qt 5 (TARNWICK_QT_MAJOR 5, the default): x86_64, macOS 10.13.
# Qt 6: Qt's own minimum (QT_SUPPORTED_MIN_MACOS_VERSION, published by Qt's
#   CMake package), and every architecture that Qt and each non-Qt library
#   (minizip, ISA-L, libcrypto, libplist, zlib) all hold: x86_64 and arm64 (universal)
#   when all of them are universal, else the ones they share.
# -DCMAKE_OSX_ARCHITECTURES=... and -DCMAKE_OSX_DEPLOYMENT_TARGET=... override
# either choice; the libraries are checked against the choice all the same.
#
# A library built for a newer macOS than the target (Homebrew builds each
# bottle for the macOS it runs on) would make a bundle that does not start on
# the older systems. Configuring then fails, naming the libraries, unless
# -DTARNWICK_MACOS_FOLLOW_LIBRARIES=ON is given: the target is then raised to
# what the libraries need, and Info.plist's LSMinimumSystemVersion says so.

include(${CMAKE_CURRENT_LIST_DIR}/InfoPlist.cmake)

if(NOT DEFINED TARNWICK_QT_MAJOR)
  set(TARNWICK_QT_MAJOR 5)
endif()

option(TARNWICK_MACOS_FOLLOW_LIBRARIES
  "Raise the macOS deployment target to the newest one the linked libraries need (the bundle then runs only there and later)"
  OFF)

set(_tarnwick_macos_checks ${CMAKE_CURRENT_LIST_DIR}/../scripts/macos-checks.sh)

# The architectures of Mach-O file `file` (empty when it is not one, e.g. an
# SDK's .tbd text stub).
function(_tarnwick_macho_architectures file out)
  set(archs "")
  if(NOT file MATCHES "\\.tbd$")
    execute_process(COMMAND lipo -archs "${file}"
      OUTPUT_VARIABLE text RESULT_VARIABLE status ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(status EQUAL 0)
      separate_arguments(archs UNIX_COMMAND "${text}")
    endif()
  endif()
  set(${out} "${archs}" PARENT_SCOPE)
endfunction()

# The lowest macOS that architecture `arch` of Mach-O file `file` runs on.
function(_tarnwick_macho_minimum file arch out)
  execute_process(
    COMMAND otool -arch ${arch} -l "${file}"
    COMMAND sh -c ". \"$1\" && macho_minimum" sh "${_tarnwick_macos_checks}"
    OUTPUT_VARIABLE text RESULT_VARIABLE status ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Sets CMAKE_OSX_ARCHITECTURES, CMAKE_OSX_DEPLOYMENT_TARGET and
# TARNWICK_MACOS_MINIMUM in the caller's scope.
function(tarnwick_apple_configure)
  set(qt Qt${TARNWICK_QT_MAJOR})

  # The Mach-O files the updater links: Qt's modules and the non-Qt libraries
  # found with pkg-config (system libraries come as .tbd stubs and are left
  # out: they hold every architecture and run on every supported macOS).
  set(files "")
  foreach(module Core Gui Widgets Network)
    if(TARGET ${qt}::${module})
      get_target_property(location ${qt}::${module} LOCATION)
      if(location AND EXISTS "${location}")
        list(APPEND files "${location}")
      endif()
    endif()
  endforeach()
  if(NOT files)
    message(FATAL_ERROR "macOS: no ${qt} library found to take the architectures from")
  endif()
  list(GET files 0 qt_core)
  foreach(prefix MINIZIP ISAL LIBCRYPTO PLIST ZLIB)
    foreach(library IN LISTS ${prefix}_LINK_LIBRARIES)
      if(IS_ABSOLUTE "${library}" AND EXISTS "${library}")
        list(APPEND files "${library}")
      endif()
    endforeach()
  endforeach()

  # --- architectures --------------------------------------------------------
  set(chosen_by_user FALSE)
  if(CMAKE_OSX_ARCHITECTURES)
    set(archs ${CMAKE_OSX_ARCHITECTURES})
    set(chosen_by_user TRUE)
  elseif(TARNWICK_QT_MAJOR EQUAL 5)
    set(archs x86_64)
  else()
    _tarnwick_macho_architectures("${qt_core}" qt_archs)
    set(archs "")
    foreach(arch x86_64 arm64)
      if(arch IN_LIST qt_archs)
        list(APPEND archs ${arch})
      endif()
    endforeach()
  endif()
  foreach(file IN LISTS files)
    _tarnwick_macho_architectures("${file}" have)
    if(NOT have)
      continue()
    endif()
    foreach(arch IN LISTS archs)
      if(NOT arch IN_LIST have)
        if(TARNWICK_QT_MAJOR EQUAL 5 OR chosen_by_user)
          message(FATAL_ERROR
            "macOS: ${file} has no ${arch} code (it has: ${have}). "
            "The updater is built for ${archs}; install libraries built for it, "
            "or choose other architectures with -DCMAKE_OSX_ARCHITECTURES=...")
        endif()
        list(REMOVE_ITEM archs ${arch})
        message(WARNING "macOS: leaving ${arch} out: ${file} has no ${arch} code (it has: ${have})")
      endif()
    endforeach()
  endforeach()
  if(NOT archs)
    message(FATAL_ERROR "macOS: Qt and the other libraries share no architecture")
  endif()

  # --- deployment target ----------------------------------------------------
  if(CMAKE_OSX_DEPLOYMENT_TARGET)
    set(target ${CMAKE_OSX_DEPLOYMENT_TARGET})
  elseif(TARNWICK_QT_MAJOR EQUAL 5)
    set(target 10.13)
  elseif(QT_SUPPORTED_MIN_MACOS_VERSION)
    set(target ${QT_SUPPORTED_MIN_MACOS_VERSION})
  else()
    message(FATAL_ERROR
      "macOS: this Qt does not say its lowest macOS (QT_SUPPORTED_MIN_MACOS_VERSION); "
      "give one with -DCMAKE_OSX_DEPLOYMENT_TARGET=...")
  endif()

  set(too_new "")
  set(needed ${target})
  foreach(file IN LISTS files)
    _tarnwick_macho_architectures("${file}" have)
    foreach(arch IN LISTS archs)
      if(NOT arch IN_LIST have)
        continue()
      endif()
      _tarnwick_macho_minimum("${file}" ${arch} minimum)
      if(NOT minimum)
        continue()
      endif()
      set(allowed ${target})
      if(arch MATCHES "^arm64" AND allowed VERSION_LESS 11.0)
        set(allowed 11.0) # no arm64 Mac runs anything older
      endif()
      if(minimum VERSION_GREATER allowed)
        string(APPEND too_new "\n  ${file} (${arch}) needs macOS ${minimum}")
        if(minimum VERSION_GREATER needed)
          set(needed ${minimum})
        endif()
      endif()
    endforeach()
  endforeach()
  if(too_new)
    if(TARNWICK_MACOS_FOLLOW_LIBRARIES)
      message(WARNING
        "macOS: raising the deployment target from ${target} to ${needed}, as the libraries need:"
        "${too_new}\nThe bundle will not start on macOS older than ${needed}.")
      set(target ${needed})
    else()
      message(FATAL_ERROR
        "macOS: the updater is built for macOS ${target}, but these libraries need a newer one:"
        "${too_new}\nA bundle linking them would not start on macOS ${target}. Build with Qt and "
        "libraries made for macOS ${target} (for instance built with MACOSX_DEPLOYMENT_TARGET=${target}), "
        "or accept a bundle for macOS ${needed} and later with -DTARNWICK_MACOS_FOLLOW_LIBRARIES=ON.")
    endif()
  endif()

  message(STATUS "macOS: ${qt}, architectures ${archs}, macOS ${target} and later")
  set(CMAKE_OSX_ARCHITECTURES "${archs}" PARENT_SCOPE)
  set(CMAKE_OSX_DEPLOYMENT_TARGET "${target}" PARENT_SCOPE)
  set(TARNWICK_MACOS_MINIMUM "${target}" PARENT_SCOPE)
endfunction()

# Gives the updater's bundle target `target` its Info.plist: the executable
# name of the target, the Brightfold bundle identifier, the project's version,
# TARNWICK_MACOS_MINIMUM as LSMinimumSystemVersion, and English and the
# catalogues' languages (TARNWICK_LANGUAGES) as CFBundleLocalizations.
function(tarnwick_apple_bundle target)
  get_target_property(executable ${target} OUTPUT_NAME)
  if(NOT executable)
    set(executable ${target})
  endif()
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}-Info.plist)
  tarnwick_write_info_plist(${output} "${executable}" com.brightfold.tarnwick-installer
    "Tarnwick Installer" ${PROJECT_VERSION} ${TARNWICK_MACOS_MINIMUM} "en;${TARNWICK_LANGUAGES}")
  set_target_properties(${target} PROPERTIES MACOSX_BUNDLE_INFO_PLIST ${output})
endfunction()
