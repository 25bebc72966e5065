# shellcheck shell=sh
# The pieces of the macOS bundle check that read text or walk folders, kept
# apart from the commands that need a Mac so that they can be run anywhere
# (macos/tests/check-bundle-logic.sh runs them on recorded tool output and on
# Mach-O files made with LLVM's tools). Sourced by scripts/macos-check-bundle,
# scripts/macos-bundle and CMake's Apple set-up; POSIX sh and awk only.
#
# Apple's tools are called through these names, so that LLVM's compatible
# ones (llvm-otool, llvm-lipo) can stand in where Apple's are missing.
: "${OTOOL:=otool}"
: "${LIPO:=lipo}"

# --- reading `otool -l` (one architecture's load commands) on stdin ---------

# The libraries an image loads: one install name per line, as recorded.
macho_dependencies() {
  awk '
    /^Load command/ { cmd = "" }
    $1 == "cmd" { cmd = $2 }
    $1 == "name" && (cmd == "LC_LOAD_DYLIB" || cmd == "LC_LOAD_WEAK_DYLIB" ||
                     cmd == "LC_REEXPORT_DYLIB" || cmd == "LC_LAZY_LOAD_DYLIB" ||
                     cmd == "LC_LOAD_UPWARD_DYLIB") {
      line = $0
      sub(/^[ \t]*name /, "", line)
      sub(/ \(offset [0-9]+\)$/, "", line)
      print line
    }'
}

# The image's run-path search list (LC_RPATH), in the order dyld tries it.
macho_rpaths() {
  awk '
    /^Load command/ { cmd = "" }
    $1 == "cmd" { cmd = $2 }
    $1 == "path" && cmd == "LC_RPATH" {
      line = $0
      sub(/^[ \t]*path /, "", line)
      sub(/ \(offset [0-9]+\)$/, "", line)
      print line
    }'
}

# The lowest macOS version the image says it runs on: LC_BUILD_VERSION's
# minos when its platform is macOS (1), else LC_VERSION_MIN_MACOSX's version.
# Prints nothing when the image records neither.
macho_minimum() {
  awk '
    function flush() {
      if (cmd == "LC_BUILD_VERSION" && macos && minos != "") print minos
      if (cmd == "LC_VERSION_MIN_MACOSX" && version != "") print version
      cmd = ""; macos = 0; minos = ""; version = ""
    }
    /^Load command/ { flush(); next }
    $1 == "cmd" { cmd = $2 }
    cmd == "LC_BUILD_VERSION" && $1 == "platform" {
      p = tolower($2); macos = (p == "1" || p == "macos" || p == "platform_macos")
    }
    cmd == "LC_BUILD_VERSION" && $1 == "minos" { minos = $2 }
    cmd == "LC_VERSION_MIN_MACOSX" && $1 == "version" && version == "" { version = $2 }
    END { flush() }' | sed -n 1p
}

# --- versions ----------------------------------------------------------------

# True when $1 looks like a macOS version: 10.13, 11, 14.4.1.
is_version() {
  printf '%s\n' "$1" | grep -Eq '^[0-9]+(\.[0-9]+){0,2}$'
}

# True when version $1 is above version $2 (10.13 = 10.13.0; 11 > 10.15).
version_gt() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    na = split(a, x, "."); nb = split(b, y, ".")
    n = na > nb ? na : nb
    for (i = 1; i <= n; i++) {
      xi = (i <= na) ? x[i] + 0 : 0; yi = (i <= nb) ? y[i] + 0 : 0
      if (xi > yi) exit 0
      if (xi < yi) exit 1
    }
    exit 1
  }'
}

# The lowest minimum an image of architecture $1 can have for deployment
# target $2: arm64 code exists only from macOS 11 on, so its slices say 11.0
# at least, whatever the target.
minimum_for_arch() {
  case $1 in
    arm64*) if version_gt 11.0 "$2"; then echo 11.0; else echo "$2"; fi ;;
    *) echo "$2" ;;
  esac
}

# --- files -------------------------------------------------------------------

# True when the file starts with a Mach-O or universal (fat) magic number.
is_macho() (
  magic=$(od -An -tx1 -N4 -- "$1" 2>/dev/null | tr -d ' \n')
  case $magic in
    feedface | cefaedfe | feedfacf | cffaedfe | cafebabe | cafebabf) exit 0 ;;
  esac
  exit 1
)

# Every Mach-O regular file under folder $1, one path a line (links are left
# out: a framework's Versions/Current and top-level links point at a file
# that is listed itself).
macho_files() {
  find "$1" -type f | LC_ALL=C sort | while IFS= read -r file; do
    if is_macho "$file"; then printf '%s\n' "$file"; fi
  done
}

# The path of an existing file with every symbolic link, "." and ".." taken
# out, the way the kernel and dyld reach it. Fails when the file is missing.
physical_path() (
  p=$1
  n=0
  while [ -L "$p" ]; do
    n=$((n + 1))
    [ "$n" -le 32 ] || exit 1
    target=$(readlink -- "$p") || exit 1
    case $target in
      /*) p=$target ;;
      *) p=$(dirname -- "$p")/$target ;;
    esac
  done
  [ -e "$p" ] || exit 1
  dir=$(cd -P -- "$(dirname -- "$p")" 2>/dev/null && pwd -P) || exit 1
  base=$(basename -- "$p")
  case $base in
    .) printf '%s\n' "$dir" ;;
    ..) (cd -P -- "$dir/.." && pwd -P) ;;
    *) if [ "$dir" = / ]; then printf '/%s\n' "$base"; else printf '%s/%s\n' "$dir" "$base"; fi ;;
  esac
)

# Path $1 with a leading @loader_path replaced by $2 (the folder of the image
# that records it) and a leading @executable_path by $3 (the folder of the
# main executable). Other paths are printed as they are.
expand_path() {
  case $1 in
    @loader_path/* | @loader_path) printf '%s%s\n' "$2" "${1#@loader_path}" ;;
    @executable_path/* | @executable_path) printf '%s%s\n' "$3" "${1#@executable_path}" ;;
    *) printf '%s\n' "$1" ;;
  esac
}

# The file dyld would load for install name $1, recorded by an image in folder
# $2 of a program whose executable is in folder $3, with run paths $4 (already
# expanded, one a line, in search order). Prints nothing and fails when no
# candidate exists.
resolve_dependency() (
  case $1 in
    @rpath/*)
      rest=${1#@rpath}
      printf '%s\n' "$4" | while IFS= read -r rpath; do
        [ -n "$rpath" ] || continue
        if [ -e "$rpath$rest" ]; then
          printf '%s\n' "$rpath$rest"
          break
        fi
      done | grep . || exit 1
      ;;
    *)
      candidate=$(expand_path "$1" "$2" "$3")
      [ -e "$candidate" ] || exit 1
      printf '%s\n' "$candidate"
      ;;
  esac
)

# True when path $1 is one of the operating system's own (/System, /usr/lib),
# which dyld may serve from its shared cache even though no file is there.
is_system_path() {
  case $1 in
    /System/* | /usr/lib/*) return 0 ;;
  esac
  return 1
}

# --- Info.plist --------------------------------------------------------------

# The keys the bundle's Info.plist must hold.
info_plist_keys() {
  printf '%s\n' CFBundleExecutable CFBundleIdentifier CFBundleInfoDictionaryVersion \
    CFBundleLocalizations CFBundleName CFBundlePackageType CFBundleShortVersionString \
    CFBundleVersion LSMinimumSystemVersion NSHighResolutionCapable NSPrincipalClass
}

# PlistBuddy's print of one value, on stdin, as one line: an array's items
# (one a line between "Array {" and "}") joined by spaces, any other value as
# it is.
plistbuddy_value() {
  awk '
    NR == 1 && $0 == "Array {" { array = 1; next }
    array && $0 == "}" { next }
    array { sub(/^[ \t]+/, ""); items = items (items == "" ? "" : " ") $0; next }
    { print }
    END { if (array) print items }'
}

# Reads "KEY<tab>VALUE" lines (a key that is absent has no line; booleans are
# written true/false, as PlistBuddy prints them; an array's items are joined
# by spaces) and prints one line for each thing wrong; prints nothing for a
# good Info.plist.
info_plist_problems() {
  awk -F '\t' '
    { value[$1] = $2; seen[$1] = 1 }
    function need(key) {
      if (!(key in seen) || value[key] == "") { print "Info.plist lacks " key; return 0 }
      return 1
    }
    # (No interval expressions such as {0,2}: not every awk has them.)
    function version(key) {
      if (need(key) && value[key] !~ /^[0-9]+(\.[0-9]+)*$/)
        print "Info.plist: " key " is not a version: " value[key]
    }
    function equal(key, wanted) {
      if (need(key) && value[key] != wanted)
        print "Info.plist: " key " is " value[key] ", not " wanted
    }
    END {
      need("CFBundleExecutable")
      if (need("CFBundleIdentifier") && value["CFBundleIdentifier"] !~ /^[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+$/)
        print "Info.plist: CFBundleIdentifier is not a reverse-DNS name: " value["CFBundleIdentifier"]
      equal("CFBundleInfoDictionaryVersion", "6.0")
      need("CFBundleName")
      equal("CFBundlePackageType", "APPL")
      version("CFBundleShortVersionString")
      version("CFBundleVersion")
      if (need("LSMinimumSystemVersion") && value["LSMinimumSystemVersion"] !~ /^[0-9]+(\.[0-9]+)?(\.[0-9]+)?$/)
        print "Info.plist: LSMinimumSystemVersion is not a macOS version: " value["LSMinimumSystemVersion"]
      equal("NSHighResolutionCapable", "true")
      equal("NSPrincipalClass", "NSApplication")
      if (need("CFBundleLocalizations")) {
        n = split(value["CFBundleLocalizations"], localizations, " ")
        english = 0
        for (i = 1; i <= n; i++) {
          if (localizations[i] == "en") english = 1
          if (localizations[i] !~ /^[a-z][a-z][a-z]?(-[A-Z][a-z][a-z][a-z])?(-[A-Z][A-Z])?$/)
            print "Info.plist: CFBundleLocalizations holds " localizations[i] ", not a localization name"
        }
        if (!english) print "Info.plist: CFBundleLocalizations lacks en"
      }
    }'
}

# --- the catalogues ----------------------------------------------------------

# The languages Qt 5.15 and 6 have no catalogue of their own texts for
# (qtbase_*.qm); the build leaves them out there (translations/CMakeLists.txt).
qt_lacks_catalogue=sv

# The translation catalogues compiled into the Qt resources of file $1, one
# name a line, sorted: rcc keeps each resource's name in UTF-16, which reads
# as ASCII once the zero bytes are gone.
resource_catalogues() {
  LC_ALL=C tr -d '\000' <"$1" | LC_ALL=C grep -aoE '(tarnwick|qtbase)_[A-Za-z_]+\.qm' | LC_ALL=C sort -u
}

# Prints one line for each localization of $1 (space-separated, as
# info_plist_problems reads them) whose catalogues the executable $2 lacks,
# ours and Qt's, and for each of our catalogues in it that $1 does not name
# (macOS would not offer that language). English needs none.
catalogue_problems() (
  found=$(resource_catalogues "$2")
  has() { printf '%s\n' "$found" | grep -Fxq -- "$1"; }
  for localization in $1; do
    [ "$localization" != en ] || continue
    name=$(printf '%s' "$localization" | tr - _)
    has "tarnwick_$name.qm" || echo "no catalogue tarnwick_$name.qm for the localization $localization"
    case " $qt_lacks_catalogue " in
      *" $localization "*) ;;
      *) has "qtbase_$name.qm" || echo "no Qt catalogue qtbase_$name.qm for the localization $localization" ;;
    esac
  done
  printf '%s\n' "$found" | sed -n 's/^tarnwick_\(.*\)\.qm$/\1/p' | tr _ - | while IFS= read -r language; do
    case " $1 " in
      *" $language "*) ;;
      *) echo "the catalogue tarnwick_$(printf '%s' "$language" | tr - _).qm is not among CFBundleLocalizations" ;;
    esac
  done
)

# --- code signature ----------------------------------------------------------

# Reads `codesign --display --verbose=4` of the bundle on stdin and prints one
# line for each thing wrong. $1 is "developer-id" (signed with a Developer ID,
# hardened runtime, secure timestamp) or "adhoc"; $2 the bundle identifier
# the signature must carry.
signature_problems() {
  awk -v kind="$1" -v identifier="$2" '
    /^Identifier=/ { id = substr($0, 12) }
    /^CodeDirectory / {
      for (i = 1; i <= NF; i++) if ($i ~ /^flags=/) flags = $i
    }
    /^Signature=adhoc/ { adhoc = 1 }
    /^Authority=Developer ID Application: / { devid = 1 }
    /^Timestamp=/ { timestamp = 1 }
    END {
      if (id == "") print "signature: no Identifier"
      else if (identifier != "" && id != identifier)
        print "signature: Identifier is " id ", not " identifier
      if (kind == "developer-id") {
        if (!devid) print "signature: not signed with a Developer ID Application identity"
        if (flags !~ /runtime/) print "signature: hardened runtime not enabled (" flags ")"
        if (!timestamp) print "signature: no secure timestamp"
      } else if (kind == "adhoc") {
        if (!adhoc) print "signature: not an ad hoc signature"
      }
    }'
}

# --- the bundle's Mach-O files -----------------------------------------------

# Its arguments joined by single spaces.
joined() { printf '%s\n' "$*"; }

# Prints one line for each fault of the Mach-O files in bundle $1 (a physical
# path) whose main executable is $2 and whose LSMinimumSystemVersion is $3:
# a library loaded from outside the bundle (other than the system's), an
# @-relative name that resolves to no file inside it, a run path outside it,
# a missing architecture of the executable, a minimum macOS above $3.
# Uses only $OTOOL -l, $LIPO -archs and $LIPO -thin.
macho_problems() (
  bundle=$1
  executable=$2
  minimum=$3
  executable_dir=$(dirname -- "$executable")
  work=$(mktemp -d "${TMPDIR:-/tmp}/macho-problems.XXXXXX") || exit 1
  trap 'rm -rf "$work"' EXIT

  main_archs=$($LIPO -archs "$executable") || { echo "$executable: lipo cannot read it"; exit 0; }
  # Architecture names are single words: split on purpose from here on.
  # shellcheck disable=SC2086
  main_archs=$(joined $main_archs)
  # The executable's own run paths take part in every @rpath search.
  $OTOOL -l "$executable" | macho_rpaths | while IFS= read -r rpath; do
    expand_path "$rpath" "$executable_dir" "$executable_dir"
  done >"$work/main-rpaths"

  macho_files "$bundle" >"$work/machos"
  while IFS= read -r file; do
    name=${file#"$bundle"/}
    dir=$(dirname -- "$file")
    if ! archs=$($LIPO -archs "$file" 2>/dev/null); then
      echo "$name: lipo cannot read it"
      continue
    fi
    # shellcheck disable=SC2086
    archs=$(joined $archs)
    for arch in $main_archs; do
      case " $archs " in
        *" $arch "*) ;;
        *) echo "$name: has no $arch code (has: $archs)" ;;
      esac
    done
    # shellcheck disable=SC2086
    arch_count=$(set -- $archs && echo $#)
    for arch in $archs; do
      # One architecture's load commands, read from a thin copy so that
      # every otool (Apple's, or LLVM's in the tests) reads the same slice.
      if [ "$arch_count" -gt 1 ]; then
        $LIPO -thin "$arch" -output "$work/slice" "$file" && $OTOOL -l "$work/slice" >"$work/commands"
      else
        $OTOOL -l "$file" >"$work/commands"
      fi || { echo "$name ($arch): otool cannot read it"; continue; }

      needs=$(macho_minimum <"$work/commands")
      if [ -z "$needs" ]; then
        echo "$name ($arch): records no minimum macOS version"
      elif [ -n "$minimum" ]; then
        allowed=$(minimum_for_arch "$arch" "$minimum")
        if version_gt "$needs" "$allowed"; then
          echo "$name ($arch): needs macOS $needs, above the bundle's minimum $allowed"
        fi
      fi

      macho_rpaths <"$work/commands" >"$work/rpaths.raw"
      while IFS= read -r rpath; do
        case $rpath in
          @loader_path* | @executable_path*) ;;
          *) is_system_path "$rpath" || echo "$name ($arch): run path $rpath is outside the bundle" ;;
        esac
      done <"$work/rpaths.raw"
      while IFS= read -r rpath; do
        expand_path "$rpath" "$dir" "$executable_dir"
      done <"$work/rpaths.raw" >"$work/rpaths"
      cat "$work/main-rpaths" >>"$work/rpaths"
      rpaths=$(cat "$work/rpaths")

      macho_dependencies <"$work/commands" | while IFS= read -r dependency; do
        case $dependency in
          /*)
            is_system_path "$dependency" || echo "$name ($arch): links $dependency, outside the bundle"
            ;;
          @*)
            if resolved=$(resolve_dependency "$dependency" "$dir" "$executable_dir" "$rpaths"); then
              where=$(physical_path "$resolved")
              case $where in
                "$bundle"/*) ;;
                *) echo "$name ($arch): $dependency is found at $where, outside the bundle" ;;
              esac
            else
              echo "$name ($arch): $dependency resolves to no file in the bundle"
            fi
            ;;
          *) echo "$name ($arch): links $dependency, a path relative to the working folder" ;;
        esac
      done
    done
  done <"$work/machos"
)
