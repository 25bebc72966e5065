#!/bin/sh
# The bundle check's logic (scripts/macos-checks.sh) on otool, codesign and PlistBuddy text (fixtures/), Info.plist,
# the catalogues in the executable given as $1 (its CFBundleLocalizations but English as $2) and bundles of Mach-O
# files linked here. A part without its tools is skipped.
set -u

here=$(cd -P -- "$(dirname -- "$0")" && pwd -P) && root=$(cd -P -- "$here/../.." && pwd -P) && fixtures=$here/fixtures
on_mac=0
if [ "$(uname -s)" = Darwin ]; then on_mac=1; else # LLVM's Mach-O tools (Debian has them in /usr/lib/llvm-N/bin)
  for dir in /usr/lib/llvm-*/bin; do PATH=$PATH:$dir; done && export PATH OTOOL=llvm-otool LIPO=llvm-lipo
fi
# shellcheck source=scripts/macos-checks.sh
. "$root/scripts/macos-checks.sh"

passed=0 failed=0 skipped=0 work=$(mktemp -d "${TMPDIR:-/tmp}/check-bundle-logic.XXXXXX")
trap 'rm -rf "$work"' EXIT
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); printf 'FAIL %s\n' "$*" >&2; }
skip() { skipped=$((skipped + 1)); echo "skipped: $*"; }
expect_equal() { if [ "$2" = "$3" ]; then ok; else bad "$1: got [$2], expected [$3]"; fi; } # LABEL ACTUAL EXPECTED
expect_lines() { # LABEL TEXT LINE...: TEXT holds each LINE as a whole line
  e_label=$1 e_text=$2 && shift 2
  for e_line; do printf '%s\n' "$e_text" | grep -Fxq -- "$e_line" && ok || bad "$e_label: no line [$e_line] in: $e_text"; done
}
on() { f=$1; shift; "$@" <"$fixtures/$f"; } # on FIXTURE COMMAND...: the command reads the fixture

# Lines "EXPECTED|COMMAND" (split into words): EXPECTED is "yes" or "no" for the command's exit status, else its
# output with its lines joined by ";".
table() {
  while IFS='|' read -r want command; do
    # shellcheck disable=SC2086
    set -f && set -- $command && set +f
    case $want in
      yes) if "$@" </dev/null; then ok; else bad "$command: false"; fi ;;
      no) if "$@" </dev/null; then bad "$command: true"; else ok; fi ;;
      *) expect_equal "$command" "$("$@" </dev/null | paste -sd ';' -)" "$want" ;;
    esac
  done
}

id=com.brightfold.tarnwick-installer
table <<EOF
/System/Library/Frameworks/DiskArbitration.framework/Versions/A/DiskArbitration;/usr/lib/libc++.1.dylib;@executable_path/../Frameworks/Helper Library.dylib;/usr/lib/libz.1.dylib|on otool-l-QtCore-qt5.txt macho_dependencies
/usr/local/opt/qt@5/lib;@executable_path/../Frameworks|on otool-l-homebrew-executable.txt macho_rpaths
10.13|on otool-l-QtCore-qt5.txt macho_minimum
14.0|on otool-l-homebrew-executable.txt macho_minimum
10.15|on otool-l-zippered.txt macho_minimum
|on otool-l-no-minimum.txt macho_minimum
yes|version_gt 11 10.15
no|version_gt 10.9 10.13
yes|version_gt 10.13.1 10.13
no|version_gt 10.13 10.13.0
yes|is_version 11
no|is_version 10.13b
10.13|minimum_for_arch x86_64 10.13
11.0|minimum_for_arch arm64 10.13
12.0|minimum_for_arch arm64 12.0
yes|is_system_path /usr/lib/libc++.1.dylib
yes|is_system_path /System/Library/Frameworks/AppKit.framework/AppKit
no|is_system_path /usr/libexec/x
|on codesign-developer-id.txt signature_problems developer-id $id
signature: hardened runtime not enabled (flags=0x0(none));signature: no secure timestamp|on codesign-developer-id-not-hardened.txt signature_problems developer-id $id
signature: not signed with a Developer ID Application identity;signature: hardened runtime not enabled (flags=0x2(adhoc));signature: no secure timestamp|on codesign-adhoc.txt signature_problems developer-id $id
|on codesign-adhoc.txt signature_problems adhoc $id
signature: not an ad hoc signature|on codesign-developer-id.txt signature_problems adhoc $id
signature: Identifier is $id, not com.example.other|on codesign-adhoc.txt signature_problems adhoc com.example.other
signature: no Identifier;signature: not an ad hoc signature|signature_problems adhoc $id
en de pt-BR zh-Hans|on plistbuddy-localizations.txt plistbuddy_value
EOF

# --- Info.plist ------------------------------------------------------------------
if ! command -v cmake >/dev/null 2>&1 || ! command -v python3 >/dev/null 2>&1; then
  skip "Info.plist checks (need cmake and python3)"
elif ! cmake -DOUTPUT="$work/Info.plist" "-DEXECUTABLE=Tarnwick Installer" -DIDENTIFIER=$id \
  "-DNAME=Tarnwick Installer" -DVERSION=1.0.0 -DMINIMUM_MACOS=10.13 "-DLOCALIZATIONS=en;de;pt_BR;zh_Hans" \
  -P "$root/macos/InfoPlist.cmake"; then
  bad "macos/InfoPlist.cmake failed"
else
  python3 -c 'import plistlib, sys
for k, v in plistlib.load(open(sys.argv[1], "rb")).items():
    print(k, str(v).lower() if isinstance(v, bool) else " ".join(v) if isinstance(v, list) else v, sep="\t")' \
    "$work/Info.plist" >"$work/plist.txt" # KEY<tab>VALUE lines, as the check makes them with PlistBuddy
  plist_lines() { grep -v "^${1:-@}	" "$work/plist.txt"; [ -z "${2:-}" ] || printf '%s\t%s\n' "${2%%=*}" "${2#*=}"; }
  expect_equal "the template's Info.plist is good" "$(plist_lines | info_plist_problems)" ""
  expect_lines "Info.plist values" "$(plist_lines)" "CFBundleIdentifier	$id" "CFBundleExecutable	Tarnwick Installer" \
    "CFBundleName	Tarnwick Installer" "CFBundleShortVersionString	1.0.0" "LSMinimumSystemVersion	10.13" \
    "CFBundleLocalizations	en de pt-BR zh-Hans"
  for key in $(info_plist_keys); do
    expect_equal "Info.plist without $key" "$(plist_lines "$key" | info_plist_problems)" "Info.plist lacks $key"
  done
  while IFS='|' read -r set want; do
    expect_equal "Info.plist with $set" "$(plist_lines "${set%%=*}" "$set" | info_plist_problems)" "Info.plist: $want"
  done <<'EOF'
CFBundlePackageType=BNDL|CFBundlePackageType is BNDL, not APPL
CFBundleVersion=1.0b|CFBundleVersion is not a version: 1.0b
LSMinimumSystemVersion=latest|LSMinimumSystemVersion is not a macOS version: latest
CFBundleIdentifier=Tarnwick Installer|CFBundleIdentifier is not a reverse-DNS name: Tarnwick Installer
CFBundleLocalizations=de fr|CFBundleLocalizations lacks en
CFBundleLocalizations=en de_DE|CFBundleLocalizations holds de_DE, not a localization name
EOF
  if cmake -DOUTPUT="$work/bad.plist" -DEXECUTABLE='a<b' -DIDENTIFIER=x.y -DNAME=n -DVERSION=1 -DMINIMUM_MACOS=10.13 \
    -P "$root/macos/InfoPlist.cmake" >/dev/null 2>&1; then bad "InfoPlist.cmake wrote a value XML would misread"; else ok; fi
fi

# --- the catalogues compiled into the executable ------------------------------------
if [ -z "${1:-}" ] || ! command -v python3 >/dev/null 2>&1; then
  skip "catalogues (need python3 and the built executable: tests/CMakeLists.txt gives it)"
else
  expect_equal "the executable's catalogues" "$(catalogue_problems "en $(printf '%s' "${2:-}" | tr _ -)" "$1")" ""
  # Resource names as rcc writes them (UTF-16, big-endian) amid other bytes: ours for de, sv and pt_BR, Qt's for de.
  python3 -c 'import sys; sys.stdout.buffer.write(b"\xcf\xfa\xed\xfe\0\x0eq\x02\0\x04".join(name.encode("utf-16-be")
    for name in ("", "tarnwick_de.qm", "qtbase_de.qm", "tarnwick_sv.qm", "tarnwick_pt_BR.qm", "zeph.png")))' \
    >"$work/catalogues"
  expect_equal "catalogues missing" "$(catalogue_problems "en de sv pt-BR ja" "$work/catalogues" | paste -sd ';' -)" \
    "no Qt catalogue qtbase_pt_BR.qm for the localization pt-BR;no catalogue tarnwick_ja.qm for the localization ja;no Qt catalogue qtbase_ja.qm for the localization ja"
  expect_equal "catalogues not named" "$(catalogue_problems "en de" "$work/catalogues" | paste -sd ';' -)" \
    "the catalogue tarnwick_pt_BR.qm is not among CFBundleLocalizations;the catalogue tarnwick_sv.qm is not among CFBundleLocalizations"
fi

# --- bundles of real Mach-O files --------------------------------------------------
if [ "$on_mac" = 1 ]; then tools=cc; else tools="clang ld64.lld llvm-otool llvm-lipo"; fi
missing=$(for tool in $tools; do command -v "$tool" >/dev/null 2>&1 || printf ' %s' "$tool"; done)
if [ -n "$missing" ]; then
  skip "Mach-O bundles (missing:$missing)"
else
  src=$work/main.c system= && printf 'int main(void) { return 0; }\n' >"$src"
  # link OUTPUT ARCHS MINOS INSTALL_NAME|exe [WORDS...]: a library of that install name, or an executable, of each
  # of ARCHS (x86_64 for MINOS, arm64 for 11.0, arm64@V for V); WORDS go to the compiler driver.
  link() {
    l_out=$1 l_archs=$2 l_minos=$3 l_name=$4 && shift 4
    [ "$l_name" = exe ] || set -- -dynamiclib -install_name "$l_name" "$@"
    mkdir -p "$(dirname -- "$l_out")" && rm -f "$l_out".*
    for l_arch in $l_archs; do
      case $l_arch in x86_64) l_min=$l_minos ;; arm64) l_min=11.0 ;; *) l_min=${l_arch#*@} l_arch=${l_arch%@*} ;; esac
      if [ "$on_mac" = 1 ]; then cc -arch "$l_arch" -mmacosx-version-min="$l_min" -o "$l_out.$l_arch" "$src" "$@"
      else clang -target "$l_arch-apple-macos$l_min" -fuse-ld=lld -nostdlib -o "$l_out.$l_arch" "$src" "$@" ${system:+"$system"}
      fi 2>>"$work/link.log" || { echo "link failed: $l_out" >&2; tail -5 "$work/link.log" >&2; return 1; }
    done
    set -- "$l_out".*
    if [ $# -gt 1 ]; then $LIPO -create "$@" -output "$l_out" && rm "$@"; else mv "$1" "$l_out"; fi
  }
  # Off macOS every image loads a stand-in /usr/lib/libSystem.B.dylib, as on macOS (the walk lets it pass).
  [ "$on_mac" = 1 ] || { link "$work/libSystem.dylib" "x86_64 arm64" 10.13 /usr/lib/libSystem.B.dylib &&
    system=$work/libSystem.dylib; }
  # make_bundle FOLDER ARCHS BAR_MINOS: Fixture.app, whose executable (a name with a space) loads
  # @rpath/libfoo.dylib and a framework by @executable_path; libfoo loads @loader_path/libbar.dylib; a plugin
  # loads @rpath/libfoo.dylib through the executable's run path. Sets $c to Contents, $fw to the framework.
  make_bundle() {
    c=$1/Fixture.app/Contents fw=$1/Fixture.app/Contents/Frameworks/Fix.framework a=$2
    mkdir -p "$c/Resources" && printf 'not code\n' >"$c/Resources/data.txt"
    # shellcheck disable=SC2015
    link "$c/Frameworks/libbar.dylib" "$a" "$3" @loader_path/libbar.dylib &&
      link "$c/Frameworks/libfoo.dylib" "$a" 10.13 @rpath/libfoo.dylib "$c/Frameworks/libbar.dylib" &&
      link "$fw/Versions/5/Fix" "$a" 10.13 @executable_path/../Frameworks/Fix.framework/Versions/5/Fix &&
      ln -s 5 "$fw/Versions/Current" && ln -s Versions/Current/Fix "$fw/Fix" &&
      link "$c/PlugIns/platforms/libqcocoa.dylib" "$a" 10.13 @rpath/libqcocoa.dylib "$c/Frameworks/libfoo.dylib" &&
      relink_executable -Wl,-rpath,@executable_path/../Frameworks || bad "could not link the bundle $1"
  }
  relink_executable() { link "$c/MacOS/Fixture Installer" "$a" 10.13 exe "$c/Frameworks/libfoo.dylib" "$fw/Versions/5/Fix" "$@"; }
  # copy_good NAME: a copy of the good bundle, $c and $fw set to it
  copy_good() { cp -RP "$work/good" "$work/$1" && c=$work/$1/Fixture.app/Contents fw=$c/Frameworks/Fix.framework; }
  problems_of() { b=$(physical_path "$1/Fixture.app") && macho_problems "$b" "$b/Contents/MacOS/Fixture Installer" "${2:-10.13}"; }
  out=$work/outside && mkdir -p "$out"

  # A good bundle for 10.15, its five Mach-O files found (not data.txt or links); for 10.13, libbar is too new.
  make_bundle "$work/good" x86_64 10.15
  expect_equal "good bundle" "$(problems_of "$work/good" 10.15)" ""
  expect_equal "Mach-O files found" "$(macho_files "$work/good/Fixture.app" | sed "s|^$work/good/Fixture.app/||" | paste -sd ';' -)" \
    "Contents/Frameworks/Fix.framework/Versions/5/Fix;Contents/Frameworks/libbar.dylib;Contents/Frameworks/libfoo.dylib;Contents/MacOS/Fixture Installer;Contents/PlugIns/platforms/libqcocoa.dylib"
  expect_equal "newer library" "$(problems_of "$work/good" 10.13)" \
    "Contents/Frameworks/libbar.dylib (x86_64): needs macOS 10.15, above the bundle's minimum 10.13"

  # A missing library, no run path at all (neither name resolves), and the plugin linking a library by an absolute
  # path outside and one by a bare file name (dyld would try the working folder).
  p=PlugIns/platforms/libqcocoa.dylib
  link "$out/libvendor.dylib" x86_64 10.13 /opt/vendor/lib/libvendor.dylib &&
    link "$out/libplain.dylib" x86_64 10.13 libplain.dylib && copy_good missing &&
    rm "$c/Frameworks/libbar.dylib" && relink_executable && link "$c/$p" x86_64 10.13 @rpath/libqcocoa.dylib \
    "$c/Frameworks/libfoo.dylib" "$out/libvendor.dylib" "$out/libplain.dylib"
  expect_lines "missing library, no run path, libraries outside" "$(problems_of "$work/missing")" \
    "Contents/Frameworks/libfoo.dylib (x86_64): @loader_path/libbar.dylib resolves to no file in the bundle" \
    "Contents/MacOS/Fixture Installer (x86_64): @rpath/libfoo.dylib resolves to no file in the bundle" \
    "Contents/$p (x86_64): links /opt/vendor/lib/libvendor.dylib, outside the bundle" \
    "Contents/$p (x86_64): links libplain.dylib, a path relative to the working folder"

  # A run path outside the bundle, searched first, where a libfoo exists; libbar a link to a file outside.
  cp "$work/good/Fixture.app/Contents/Frameworks/libfoo.dylib" "$out/libfoo.dylib" &&
    copy_good escape && relink_executable "-Wl,-rpath,$out" -Wl,-rpath,@executable_path/../Frameworks &&
    mv "$c/Frameworks/libbar.dylib" "$out/libbar.dylib" && ln -s "$out/libbar.dylib" "$c/Frameworks/libbar.dylib"
  at=$(physical_path "$out")
  expect_lines "links out of the bundle" "$(problems_of "$work/escape")" \
    "Contents/MacOS/Fixture Installer (x86_64): run path $out is outside the bundle" \
    "Contents/MacOS/Fixture Installer (x86_64): @rpath/libfoo.dylib is found at $at/libfoo.dylib, outside the bundle" \
    "Contents/Frameworks/libfoo.dylib (x86_64): @loader_path/libbar.dylib is found at $at/libbar.dylib, outside the bundle"

  # Universal: arm64 slices for 11.0 pass with a 10.13 target; then Fix lacks arm64, libbar's arm64 is for 12.0.
  make_bundle "$work/universal" "x86_64 arm64" 10.13
  expect_equal "universal bundle" "$(problems_of "$work/universal")" ""
  link "$fw/Versions/5/Fix" x86_64 10.13 @executable_path/../Frameworks/Fix.framework/Versions/5/Fix &&
    link "$c/Frameworks/libbar.dylib" "x86_64 arm64@12.0" 10.13 @loader_path/libbar.dylib
  expect_equal "universal bundle's faults" "$(problems_of "$work/universal")" \
"Contents/Frameworks/Fix.framework/Versions/5/Fix: has no arm64 code (has: x86_64)
Contents/Frameworks/libbar.dylib (arm64): needs macOS 12.0, above the bundle's minimum 11.0"
fi

echo "$passed passed, $failed failed$([ "$skipped" -eq 0 ] || echo ", $skipped skipped")"
[ "$failed" -eq 0 ]
