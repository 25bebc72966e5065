#!/bin/sh
# Tests of the bundle check's logic (scripts/macos-checks.sh), runnable on
# Linux and on macOS:
#   - reading otool -l and codesign --display text, on files in fixtures/
#     written in the form Apple's tools print;
#   - version comparison, Info.plist rules (on the Info.plist the build makes
#     from macos/Info.plist.in, read with Python's plistlib);
#   - the walk over a bundle's Mach-O files, on bundles of real Mach-O files
#     linked for this test (clang, and ld64.lld off macOS), read with otool
#     and lipo (LLVM's llvm-otool and llvm-lipo off macOS): good bundles pass,
#     and each kind of fault is named.
# Prints one line per failed check, then "N passed, N failed"; exit 1 on a
# failure. A part whose tools are missing is reported as skipped.
set -u

here=$(cd -P -- "$(dirname -- "$0")" && pwd -P)
root=$(cd -P -- "$here/../.." && pwd -P)
fixtures=$here/fixtures

# LLVM's Mach-O tools off macOS (Debian keeps them under /usr/lib/llvm-N/bin).
if [ "$(uname -s)" = Darwin ]; then
  on_mac=1
else
  on_mac=0
  for dir in /usr/lib/llvm-*/bin; do
    [ -d "$dir" ] && PATH=$PATH:$dir
  done
  export PATH
  command -v llvm-otool >/dev/null 2>&1 && OTOOL=llvm-otool
  command -v llvm-lipo >/dev/null 2>&1 && LIPO=llvm-lipo
fi
# shellcheck source=scripts/macos-checks.sh
. "$root/scripts/macos-checks.sh"

passed=0
failed=0
skipped=0
work=$(mktemp -d "${TMPDIR:-/tmp}/check-bundle-logic.XXXXXX")
trap 'rm -rf "$work"' EXIT

ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); printf 'FAIL %s\n' "$*" >&2; }
expect_equal() { # LABEL ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then ok; else bad "$1: got [$2], expected [$3]"; fi
}
expect_true() { # LABEL COMMAND...
  label=$1; shift
  if "$@"; then ok; else bad "$label"; fi
}
expect_false() {
  label=$1; shift
  if "$@"; then bad "$label"; else ok; fi
}
expect_line() { # LABEL TEXT LINE: TEXT holds LINE as a whole line
  if printf '%s\n' "$2" | grep -Fxq -- "$3"; then ok; else bad "$1: no line [$3] in:
$2"; fi
}

# --- otool -l ------------------------------------------------------------------
deps=$(macho_dependencies <"$fixtures/otool-l-QtCore-qt5.txt")
expect_equal "dependencies of QtCore (LC_ID_DYLIB left out, weak and re-exported kept, spaces kept)" "$deps" \
"/System/Library/Frameworks/DiskArbitration.framework/Versions/A/DiskArbitration
/usr/lib/libc++.1.dylib
@executable_path/../Frameworks/Helper Library.dylib
/usr/lib/libz.1.dylib"
expect_equal "run paths of QtCore" "$(macho_rpaths <"$fixtures/otool-l-QtCore-qt5.txt")" \
  "@executable_path/../Frameworks"
expect_equal "minimum from LC_VERSION_MIN_MACOSX, not the sdk" \
  "$(macho_minimum <"$fixtures/otool-l-QtCore-qt5.txt")" 10.13
expect_equal "minimum from LC_BUILD_VERSION (platform 1), not the tool's version" \
  "$(macho_minimum <"$fixtures/otool-l-homebrew-executable.txt")" 14.0
expect_equal "minimum of the macOS LC_BUILD_VERSION, not Mac Catalyst's" \
  "$(macho_minimum <"$fixtures/otool-l-zippered.txt")" 10.15
expect_equal "no minimum recorded" "$(macho_minimum <"$fixtures/otool-l-no-minimum.txt")" ""
expect_equal "run paths in order" "$(macho_rpaths <"$fixtures/otool-l-homebrew-executable.txt")" \
"/usr/local/opt/qt@5/lib
@executable_path/../Frameworks"
expect_equal "dependencies of a Homebrew build" "$(macho_dependencies <"$fixtures/otool-l-homebrew-executable.txt")" \
"/usr/local/opt/qt@5/lib/QtWidgets.framework/Versions/5/QtWidgets
/usr/local/opt/minizip/lib/libminizip.1.dylib
@rpath/libisal.2.dylib
/System/Library/Frameworks/AppKit.framework/Versions/C/AppKit"

# --- versions --------------------------------------------------------------------
expect_true "11 > 10.15" version_gt 11 10.15
expect_true "10.15 > 10.13" version_gt 10.15 10.13
expect_true "10.13.1 > 10.13" version_gt 10.13.1 10.13
expect_false "10.13.0 = 10.13" version_gt 10.13.0 10.13
expect_false "10.13 = 10.13.0" version_gt 10.13 10.13.0
expect_false "10.9 < 10.13 (numbers, not text)" version_gt 10.9 10.13
expect_true "10.13 > 10.9" version_gt 10.13 10.9
expect_false "14.0 < 14.4" version_gt 14.0 14.4
expect_true "version 10.13" is_version 10.13
expect_true "version 11" is_version 11
expect_false "not a version: 10.13b" is_version 10.13b
expect_false "not a version: empty" is_version ""
expect_equal "x86_64 keeps the target" "$(minimum_for_arch x86_64 10.13)" 10.13
expect_equal "arm64 runs from 11.0 on" "$(minimum_for_arch arm64 10.13)" 11.0
expect_equal "arm64 above 11 keeps the target" "$(minimum_for_arch arm64 12.0)" 12.0
expect_true "system path /usr/lib" is_system_path /usr/lib/libc++.1.dylib
expect_true "system path /System" is_system_path /System/Library/Frameworks/AppKit.framework/AppKit
expect_false "not a system path: /usr/local/lib" is_system_path /usr/local/lib/libz.dylib
expect_false "not a system path: /usr/libexec" is_system_path /usr/libexec/x
expect_false "not a system path: /Library/Frameworks" is_system_path /Library/Frameworks/Qt.framework/Qt

# --- codesign --display ----------------------------------------------------------
id=com.brightfold.tarnwick-installer
expect_equal "Developer ID, hardened, timestamped" \
  "$(signature_problems developer-id "$id" <"$fixtures/codesign-developer-id.txt")" ""
expect_equal "Developer ID without the hardened runtime or a timestamp" \
  "$(signature_problems developer-id "$id" <"$fixtures/codesign-developer-id-not-hardened.txt")" \
"signature: hardened runtime not enabled (flags=0x0(none))
signature: no secure timestamp"
expect_equal "ad hoc taken for a Developer ID" \
  "$(signature_problems developer-id "$id" <"$fixtures/codesign-adhoc.txt")" \
"signature: not signed with a Developer ID Application identity
signature: hardened runtime not enabled (flags=0x2(adhoc))
signature: no secure timestamp"
expect_equal "ad hoc" "$(signature_problems adhoc "$id" <"$fixtures/codesign-adhoc.txt")" ""
expect_equal "a Developer ID one is not ad hoc" \
  "$(signature_problems adhoc "$id" <"$fixtures/codesign-developer-id.txt")" "signature: not an ad hoc signature"
expect_equal "another identifier" \
  "$(signature_problems adhoc com.example.other <"$fixtures/codesign-adhoc.txt")" \
  "signature: Identifier is com.brightfold.tarnwick-installer, not com.example.other"

# --- Info.plist ------------------------------------------------------------------
if command -v cmake >/dev/null 2>&1 && command -v python3 >/dev/null 2>&1; then
  plist=$work/Info.plist
  if cmake -DOUTPUT="$plist" "-DEXECUTABLE=Tarnwick Installer" -DIDENTIFIER=com.brightfold.tarnwick-installer \
      "-DNAME=Tarnwick Installer" -DVERSION=1.0.0 -DMINIMUM_MACOS=10.13 -P "$root/macos/InfoPlist.cmake"; then
    ok
    # KEY<tab>VALUE lines as the check makes them with PlistBuddy; $1 lists
    # keys to leave out, $2 is "KEY=VALUE" to replace one.
    plist_lines() {
      python3 - "$plist" "${1:-}" "${2:-}" <<'EOF'
import plistlib, sys
with open(sys.argv[1], 'rb') as f:
    d = plistlib.load(f)
for key in filter(None, sys.argv[2].split(',')):
    d.pop(key, None)
if sys.argv[3]:
    key, value = sys.argv[3].split('=', 1)
    d[key] = value
for key, value in d.items():
    if isinstance(value, bool):
        value = 'true' if value else 'false'
    print(f'{key}\t{value}')
EOF
    }
    expect_equal "the template's Info.plist is good" "$(plist_lines | info_plist_problems)" ""
    lines=$(plist_lines)
    expect_line "identifier" "$lines" "$(printf 'CFBundleIdentifier\tcom.brightfold.tarnwick-installer')"
    expect_line "executable" "$lines" "$(printf 'CFBundleExecutable\tTarnwick Installer')"
    expect_line "name" "$lines" "$(printf 'CFBundleName\tTarnwick Installer')"
    expect_line "version" "$lines" "$(printf 'CFBundleShortVersionString\t1.0.0')"
    expect_line "minimum" "$lines" "$(printf 'LSMinimumSystemVersion\t10.13')"
    expect_line "high resolution" "$lines" "$(printf 'NSHighResolutionCapable\ttrue')"
    for key in $(info_plist_keys); do
      expect_equal "Info.plist without $key" "$(plist_lines "$key" | info_plist_problems)" "Info.plist lacks $key"
    done
    expect_equal "package type" "$(plist_lines '' CFBundlePackageType=BNDL | info_plist_problems)" \
      "Info.plist: CFBundlePackageType is BNDL, not APPL"
    expect_equal "high resolution off" "$(plist_lines NSHighResolutionCapable '' | sed '$a\
NSHighResolutionCapable	false' | info_plist_problems)" "Info.plist: NSHighResolutionCapable is false, not true"
    expect_equal "principal class" "$(plist_lines '' NSPrincipalClass=QApplication | info_plist_problems)" \
      "Info.plist: NSPrincipalClass is QApplication, not NSApplication"
    expect_equal "minimum not a version" "$(plist_lines '' LSMinimumSystemVersion=latest | info_plist_problems)" \
      "Info.plist: LSMinimumSystemVersion is not a macOS version: latest"
    expect_equal "identifier not reverse-DNS" "$(plist_lines '' 'CFBundleIdentifier=Tarnwick Installer' | info_plist_problems)" \
      "Info.plist: CFBundleIdentifier is not a reverse-DNS name: Tarnwick Installer"
    if cmake -DOUTPUT="$work/bad.plist" -DEXECUTABLE='a<b' -DIDENTIFIER=x.y -DNAME=n -DVERSION=1 \
        -DMINIMUM_MACOS=10.13 -P "$root/macos/InfoPlist.cmake" >/dev/null 2>&1; then
      bad "InfoPlist.cmake wrote a value XML would misread"
    else
      ok
    fi
  else
    bad "macos/InfoPlist.cmake failed"
  fi
else
  skipped=$((skipped + 1))
  echo "skipped: Info.plist checks (need cmake and python3)"
fi

# --- bundles of real Mach-O files --------------------------------------------------
have_linker=0
if [ "$on_mac" = 1 ]; then
  command -v cc >/dev/null 2>&1 && have_linker=1
elif command -v clang >/dev/null 2>&1 && command -v ld64.lld >/dev/null 2>&1 &&
  [ "$OTOOL" = llvm-otool ] && [ "$LIPO" = llvm-lipo ]; then
  have_linker=1
fi

if [ "$have_linker" = 1 ]; then
  src=$work/src
  mkdir -p "$src"
  printf 'int bar(void) { return 3; }\n' >"$src/bar.c"
  printf 'int foo(void) { return 4; }\n' >"$src/foo.c"
  printf 'int fix(void) { return 5; }\n' >"$src/fix.c"
  printf 'int plugin(void) { return 6; }\n' >"$src/plugin.c"
  printf 'int main(void) { return 0; }\n' >"$src/main.c"

  # link OUTPUT ARCH MINOS SOURCE dylib INSTALL_NAME | exe, then extra words:
  #   rpath:PATH (a run path), lib:FILE (link that library).
  link() {
    out=$1 arch=$2 minos=$3 source=$4 kind=$5
    shift 5
    name=
    if [ "$kind" = dylib ]; then name=$1; shift; fi
    set -f
    extra=
    for word in "$@"; do
      case $word in
        rpath:*) if [ "$on_mac" = 1 ]; then extra="$extra -Wl,-rpath,${word#rpath:}"; else extra="$extra -rpath ${word#rpath:}"; fi ;;
        lib:*) extra="$extra ${word#lib:}" ;;
      esac
    done
    mkdir -p "$(dirname -- "$out")"
    if [ "$on_mac" = 1 ]; then
      if [ "$kind" = dylib ]; then
        # shellcheck disable=SC2086
        cc -arch "$arch" -mmacosx-version-min="$minos" -dynamiclib -install_name "$name" -o "$out" "$source" $extra 2>>"$work/link.log"
      else
        # shellcheck disable=SC2086
        cc -arch "$arch" -mmacosx-version-min="$minos" -o "$out" "$source" $extra 2>>"$work/link.log"
      fi
    else
      clang -target "$arch-apple-macos$minos" -c -o "$work/object.o" "$source" || return 1
      stub=$work/stub-$arch/libSystem.dylib
      if [ ! -f "$stub" ]; then
        # Only for linking: the lazy-binding helper every image refers to.
        mkdir -p "$work/stub-$arch"
        printf 'void binder(void) __asm__("dyld_stub_binder");\nvoid binder(void) {}\n' >"$work/stub-$arch/s.c"
        stub_minos=10.13
        [ "$arch" = arm64 ] && stub_minos=11.0
        clang -target "$arch-apple-macos$stub_minos" -c -o "$work/stub-$arch/s.o" "$work/stub-$arch/s.c" &&
          ld64.lld -arch "$arch" -platform_version macos "$stub_minos" "$stub_minos" -dylib \
            -install_name /usr/lib/libSystem.B.dylib -o "$stub" "$work/stub-$arch/s.o" || return 1
      fi
      if [ "$kind" = dylib ]; then
        # shellcheck disable=SC2086
        ld64.lld -arch "$arch" -platform_version macos "$minos" "$minos" -dylib -install_name "$name" \
          -o "$out" "$work/object.o" "$stub" $extra 2>>"$work/link.log"
      else
        # shellcheck disable=SC2086
        ld64.lld -arch "$arch" -platform_version macos "$minos" "$minos" -o "$out" "$work/object.o" "$stub" $extra 2>>"$work/link.log"
      fi
    fi
    status=$?
    set +f
    [ "$status" -eq 0 ] || { echo "link failed: $out" >&2; tail -5 "$work/link.log" >&2; }
    return $status
  }

  # link_universal OUTPUT MINOS SOURCE KIND [NAME] EXTRA...: x86_64 (for MINOS)
  # and arm64 (for 11.0, or MINOS_ARM64) in one file.
  link_universal() {
    u_out=$1 u_minos=$2
    shift 2
    link "$u_out.x86_64" x86_64 "$u_minos" "$@" && link "$u_out.arm64" arm64 "${MINOS_ARM64:-11.0}" "$@" &&
      $LIPO -create "$u_out.x86_64" "$u_out.arm64" -output "$u_out" && rm -f "$u_out.x86_64" "$u_out.arm64"
  }

  # make_bundle FOLDER [universal]: Fixture.app, whose executable (name with a
  # space) loads @rpath/libfoo.dylib and a framework by @executable_path;
  # libfoo loads @loader_path/libbar.dylib; a plugin loads @rpath/libfoo.dylib
  # through the executable's run path. Variables change one piece:
  #   BAR_MINOS, BAR_EXTRA (extra link words for libbar), EXE_RPATHS.
  # (BAR_EXTRA and EXE_RPATHS are split into words on purpose.)
  # shellcheck disable=SC2086
  make_bundle() {
    app=$1/Fixture.app
    contents=$app/Contents
    mkdir -p "$contents/MacOS" "$contents/Frameworks" "$contents/PlugIns/platforms" "$contents/Resources"
    printf 'not code\n' >"$contents/Resources/data.txt"
    # mk OUTPUT MINOS SOURCE KIND [NAME] EXTRA...: thin x86_64, or universal.
    if [ "${2:-}" = universal ]; then
      mk() { m_out=$1 m_minos=$2; shift 2; link_universal "$m_out" "$m_minos" "$@"; }
    else
      mk() { m_out=$1 m_minos=$2; shift 2; link "$m_out" x86_64 "$m_minos" "$@"; }
    fi
    fw=$contents/Frameworks/Fix.framework
    mk "$contents/Frameworks/libbar.dylib" "${BAR_MINOS:-10.13}" "$src/bar.c" dylib @loader_path/libbar.dylib ${BAR_EXTRA:-} &&
      mk "$contents/Frameworks/libfoo.dylib" 10.13 "$src/foo.c" dylib @rpath/libfoo.dylib \
        "lib:$contents/Frameworks/libbar.dylib" &&
      mk "$fw/Versions/5/Fix" 10.13 "$src/fix.c" dylib @executable_path/../Frameworks/Fix.framework/Versions/5/Fix &&
      ln -s 5 "$fw/Versions/Current" && ln -s Versions/Current/Fix "$fw/Fix" &&
      mk "$contents/PlugIns/platforms/libqcocoa.dylib" 10.13 "$src/plugin.c" dylib @rpath/libqcocoa.dylib \
        "lib:$contents/Frameworks/libfoo.dylib" &&
      mk "$contents/MacOS/Fixture Installer" 10.13 "$src/main.c" exe \
        "lib:$contents/Frameworks/libfoo.dylib" "lib:$fw/Versions/5/Fix" ${EXE_RPATHS:-rpath:@executable_path/../Frameworks}
  }

  problems_of() { # FOLDER [MINIMUM]
    b=$(physical_path "$1/Fixture.app")
    macho_problems "$b" "$b/Contents/MacOS/Fixture Installer" "${2:-10.13}"
  }

  # A good bundle: no problem; five Mach-O files found, data.txt and links not.
  if make_bundle "$work/good"; then
    ok
    expect_equal "good bundle" "$(problems_of "$work/good")" ""
    expect_equal "Mach-O files found" "$(macho_files "$work/good/Fixture.app" | sed "s|^$work/good/Fixture.app/||")" \
"Contents/Frameworks/Fix.framework/Versions/5/Fix
Contents/Frameworks/libbar.dylib
Contents/Frameworks/libfoo.dylib
Contents/MacOS/Fixture Installer
Contents/PlugIns/platforms/libqcocoa.dylib"
    expect_equal "real otool output: minimum" \
      "$($OTOOL -l "$work/good/Fixture.app/Contents/MacOS/Fixture Installer" | macho_minimum)" 10.13
    expect_equal "real otool output: dependencies" \
      "$($OTOOL -l "$work/good/Fixture.app/Contents/Frameworks/libfoo.dylib" | macho_dependencies | grep -v libSystem)" \
      "@loader_path/libbar.dylib"
  else
    bad "could not link the good bundle"
  fi

  # A library that is missing.
  make_bundle "$work/missing" && rm "$work/missing/Fixture.app/Contents/Frameworks/libbar.dylib"
  expect_line "missing library" "$(problems_of "$work/missing")" \
    "Contents/Frameworks/libfoo.dylib (x86_64): @loader_path/libbar.dylib resolves to no file in the bundle"

  # A library left outside, by absolute path.
  mkdir -p "$work/outside"
  link "$work/outside/libvendor.dylib" x86_64 10.13 "$src/fix.c" dylib /opt/vendor/lib/libvendor.dylib
  BAR_EXTRA="lib:$work/outside/libvendor.dylib" make_bundle "$work/absolute"
  expect_line "library outside the bundle" "$(problems_of "$work/absolute")" \
    "Contents/Frameworks/libbar.dylib (x86_64): links /opt/vendor/lib/libvendor.dylib, outside the bundle"

  # A library in the bundle that is a link to a file outside it.
  make_bundle "$work/escape" && cp "$work/escape/Fixture.app/Contents/Frameworks/libbar.dylib" "$work/outside/libbar.dylib" &&
    rm "$work/escape/Fixture.app/Contents/Frameworks/libbar.dylib" &&
    ln -s "$work/outside/libbar.dylib" "$work/escape/Fixture.app/Contents/Frameworks/libbar.dylib"
  expect_line "link out of the bundle" "$(problems_of "$work/escape")" \
    "Contents/Frameworks/libfoo.dylib (x86_64): @loader_path/libbar.dylib is found at $(physical_path "$work/outside/libbar.dylib"), outside the bundle"

  # A run path outside the bundle, searched first, where a libfoo exists.
  cp "$work/good/Fixture.app/Contents/Frameworks/libfoo.dylib" "$work/outside/libfoo.dylib"
  EXE_RPATHS="rpath:$work/outside rpath:@executable_path/../Frameworks" make_bundle "$work/rpath"
  result=$(problems_of "$work/rpath")
  expect_line "run path outside the bundle" "$result" \
    "Contents/MacOS/Fixture Installer (x86_64): run path $work/outside is outside the bundle"
  expect_line "@rpath found outside the bundle" "$result" \
    "Contents/MacOS/Fixture Installer (x86_64): @rpath/libfoo.dylib is found at $(physical_path "$work/outside/libfoo.dylib"), outside the bundle"

  # No run path at all: @rpath resolves nowhere.
  EXE_RPATHS=none make_bundle "$work/norpath"
  expect_line "no run path" "$(problems_of "$work/norpath")" \
    "Contents/MacOS/Fixture Installer (x86_64): @rpath/libfoo.dylib resolves to no file in the bundle"

  # A library built for a newer macOS (LC_BUILD_VERSION from 10.14 on).
  BAR_MINOS=10.15 make_bundle "$work/newer"
  expect_equal "newer library, bundle for 10.13" "$(problems_of "$work/newer" 10.13)" \
    "Contents/Frameworks/libbar.dylib (x86_64): needs macOS 10.15, above the bundle's minimum 10.13"
  expect_equal "newer library, bundle for 10.15" "$(problems_of "$work/newer" 10.15)" ""

  # A universal bundle: arm64 slices say 11.0 and pass with a 10.13 target;
  # a library without arm64 code is named, and so is an arm64 slice for 12.0.
  if make_bundle "$work/universal" universal; then
    expect_equal "universal bundle" "$(problems_of "$work/universal")" ""
    # shellcheck disable=SC2046
    expect_equal "universal executable" "$(joined $($LIPO -archs "$work/universal/Fixture.app/Contents/MacOS/Fixture Installer"))" \
      "x86_64 arm64"
    u=$work/universal/Fixture.app/Contents
    link "$u/Frameworks/Fix.framework/Versions/5/Fix" x86_64 10.13 "$src/fix.c" dylib \
      @executable_path/../Frameworks/Fix.framework/Versions/5/Fix
    expect_equal "library without arm64" "$(problems_of "$work/universal")" \
      "Contents/Frameworks/Fix.framework/Versions/5/Fix: has no arm64 code (has: x86_64)"
    MINOS_ARM64=12.0 link_universal "$u/Frameworks/Fix.framework/Versions/5/Fix" 10.13 "$src/fix.c" dylib \
      @executable_path/../Frameworks/Fix.framework/Versions/5/Fix
    expect_equal "arm64 slice for 12.0" "$(problems_of "$work/universal")" \
      "Contents/Frameworks/Fix.framework/Versions/5/Fix (arm64): needs macOS 12.0, above the bundle's minimum 11.0"
  else
    bad "could not link the universal bundle"
  fi

  # An install name with no folder: dyld would look in the working folder.
  make_bundle "$work/relative" &&
    link "$work/relative/Fixture.app/Contents/Frameworks/libplain.dylib" x86_64 10.13 "$src/fix.c" dylib libplain.dylib &&
    link "$work/relative/Fixture.app/Contents/Frameworks/libbar.dylib" x86_64 10.13 "$src/bar.c" dylib \
      @loader_path/libbar.dylib "lib:$work/relative/Fixture.app/Contents/Frameworks/libplain.dylib"
  expect_line "relative install name" "$(problems_of "$work/relative")" \
    "Contents/Frameworks/libbar.dylib (x86_64): links libplain.dylib, a path relative to the working folder"

  # --- macos/TarnwickApple.cmake's choice, on the same kind of files --------------
  if command -v cmake >/dev/null 2>&1; then
    libs=$work/libs
    mkdir -p "$libs"
    # shellcheck disable=SC2015
    link "$libs/x86-10.13.dylib" x86_64 10.13 "$src/fix.c" dylib @rpath/a.dylib &&
      link "$libs/x86-14.0.dylib" x86_64 14.0 "$src/fix.c" dylib @rpath/b.dylib &&
      link "$libs/arm-only.dylib" arm64 11.0 "$src/fix.c" dylib @rpath/c.dylib &&
      MINOS_ARM64=12.0 link_universal "$libs/universal-12.dylib" 12.0 "$src/fix.c" dylib @rpath/d.dylib &&
      MINOS_ARM64=13.0 link_universal "$libs/universal-arm-13.dylib" 12.0 "$src/fix.c" dylib @rpath/e.dylib ||
      bad "could not link the libraries for TarnwickApple.cmake"
    tools=$work/apple-tools
    mkdir -p "$tools"
    if [ "$on_mac" = 0 ]; then
      # CMake calls lipo, and otool -arch ARCH -l FILE: LLVM's here, otool
      # reading a thin copy (llvm-otool 14 ignores -arch in universal files).
      ln -sf "$(command -v llvm-lipo)" "$tools/lipo"
      # shellcheck disable=SC2016
      {
        echo '#!/bin/sh'
        echo 'arch=$2 file=$4'
        echo 'if [ "$(llvm-lipo -archs "$file" | wc -w)" -gt 1 ]; then'
        echo "  llvm-lipo -thin \"\$arch\" -output '$work/otool-slice' \"\$file\" && exec llvm-otool -l '$work/otool-slice'"
        echo 'fi'
        echo 'exec llvm-otool -l "$file"'
      } >"$tools/otool"
      chmod +x "$tools/otool"
    fi
    # choose QT_MAJOR QT_FILES OTHER_FILES [cmake -D...]: CMake's output on one line.
    choose() {
      rm -rf "$work/apple-cmake"
      c_major=$1 c_qt=$2 c_other=$3
      shift 3
      PATH=$tools:$PATH cmake -S "$root/macos/tests/apple-cmake" -B "$work/apple-cmake" \
        -DQT_MAJOR="$c_major" "-DQT_FILES=$c_qt" "-DOTHER_FILES=$c_other" "$@" 2>&1 | tr '\n' ' ' | tr -s ' '
    }
    expect_contains() { # LABEL TEXT PART
      case $2 in *"$3"*) ok ;; *) bad "$1: [$3] not in: $2" ;; esac
    }
    x=$libs/x86-10.13.dylib
    out=$(choose 5 "$x;$x;$x;$x" "$x")
    expect_contains "Qt 5: x86_64, 10.13" "$out" "RESULT archs=x86_64 target=10.13 minimum=10.13"
    out=$(choose 5 "$libs/x86-14.0.dylib;$x" "$x")
    expect_contains "Qt 5 built for 14.0 stops" "$out" "x86-14.0.dylib (x86_64) needs macOS 14.0"
    expect_contains "Qt 5 built for 14.0 stops configuring" "$out" "Configuring incomplete"
    out=$(choose 5 "$libs/x86-14.0.dylib;$x" "$x" -DTARNWICK_MACOS_FOLLOW_LIBRARIES=ON)
    expect_contains "Qt 5 built for 14.0, followed" "$out" "RESULT archs=x86_64 target=14.0 minimum=14.0"
    out=$(choose 5 "$libs/arm-only.dylib" "$x")
    expect_contains "Qt 5 without x86_64 stops" "$out" "arm-only.dylib has no x86_64 code"
    out=$(choose 5 "$x" "$x" -DCMAKE_OSX_DEPLOYMENT_TARGET=11.0)
    expect_contains "a target given by the user" "$out" "RESULT archs=x86_64 target=11.0 minimum=11.0"
    u=$libs/universal-12.dylib
    out=$(choose 6 "$u;$u" "$u" -DQT_MINIMUM=12.0)
    expect_contains "Qt 6 universal" "$out" "RESULT archs=x86_64;arm64 target=12.0 minimum=12.0"
    out=$(choose 6 "$u;$u" "$x" -DQT_MINIMUM=12.0)
    expect_contains "Qt 6 universal, a library without arm64" "$out" "RESULT archs=x86_64 target=12.0"
    expect_contains "Qt 6 universal, the library named" "$out" "leaving arm64 out: $x has no arm64 code"
    out=$(choose 6 "$libs/universal-arm-13.dylib" "$u" -DQT_MINIMUM=12.0)
    expect_contains "Qt 6, an arm64 slice for 13.0 stops" "$out" "universal-arm-13.dylib (arm64) needs macOS 13.0"
    out=$(choose 6 "$u" "$u")
    expect_contains "Qt 6 that does not say its minimum stops" "$out" "does not say its lowest macOS"
  else
    skipped=$((skipped + 1))
    echo "skipped: TarnwickApple.cmake (needs cmake)"
  fi
else
  skipped=$((skipped + 1))
  echo "skipped: Mach-O bundles (need cc on macOS; clang, ld64.lld, llvm-otool and llvm-lipo elsewhere)"
fi

if [ "$skipped" -ne 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]
