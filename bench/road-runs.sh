#!/usr/bin/env bash
# The runs of bench/road.sh on one file system, inside the mount namespace that
# road.sh made for them:
#   bash bench/road-runs.sh FS WORK DISPLAY PORT RUNS "SIZES" "KINDS" TIMELINE
# Appends "seconds peak-KiB" lines to WORK/results/FS-KIND-SIZE-{updater,hand}.txt
# and, with TIMELINE=1, each run's milestones (seconds from its start) to
# WORK/results/FS-KIND-SIZE-{updater,hand}.steps, taken without tracing: nginx's
# log of each answer, the times that the stand-in installer and the sample
# application record, and those of root's mktemp, cp and openssl, which
# wrappers over /usr/bin record in this namespace (about 2 ms each). The
# peer's removal of its files is timed apart, as it is not part of its road.
set -euo pipefail
bench=$(cd "$(dirname "$0")" && pwd)
source "$bench/keep-memory.sh"
fs=$1 work=$2 display=$3 port=$4 runs=$5 timeline=$8
read -r -a sizes <<< "$6"
read -r -a kinds <<< "$7"

if [ "$fs" = xfs ]; then
  # XFS on /tmp, where root makes its private folder; WORK (under the old /tmp)
  # stays reachable on /mnt, and the X server's socket on the new /tmp.
  truncate -s 8G "$work/xfs.img"
  mkfs.xfs -q -f -m reflink=1 "$work/xfs.img"
  mkdir -p "$work/x11"
  mount --bind /tmp/.X11-unix "$work/x11"
  mount --rbind "$work" /mnt
  work=/mnt
  mount -o loop "$work/xfs.img" /tmp
  chmod 1777 /tmp
  mkdir /tmp/.X11-unix
  mount --bind "$work/x11" /tmp/.X11-unix
  run=/tmp/road
else
  run=$work/run-$fs
fi
mkdir -p "$run/hand" "$run/record" "$work/upper-$fs" "$work/work-$fs"
home=$run/home
mkdir -p "$home"
chmod 700 "$home"

# The updater's bundle (downloads land beside it) and the sample application.
bundle="$run/Tarnwick Installer.app"
mkdir -p "$bundle/Contents/MacOS"
updater="$bundle/Contents/MacOS/Tarnwick Installer"
app="$run/Applications/Example.app"
mkdir -p "$app/Contents/MacOS"
printf '#!/bin/bash\necho "$EPOCHREALTIME $0" >> %q\n' "$run/record/relaunched" > "$app/Contents/MacOS/Example"
# Version 1: the signed package of the team road installs version 2 of it.
printf '<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>com.example.Example</string>'\
'<key>CFBundleVersion</key><string>1</string></dict></plist>\n' > "$app/Contents/Info.plist"
# The stand-in installer records its call, the size of the package it got and when.
printf '#!/bin/bash\nprintf "%%s %%s %%s\\n" "$2" "$(stat -c %%s "$2")" "$EPOCHREALTIME" >> %q\n' \
  "$run/record/installed" > "$run/installer"
chmod 755 "$app/Contents/MacOS/Example" "$run/installer"
: > "$run/record/installed"
mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$work/upper-$fs,workdir=$work/work-$fs" /usr/sbin
cp "$run/installer" /usr/sbin/installer
if [ "$timeline" = 1 ]; then
  mkdir -p "$run/real" "$work/bin-upper-$fs" "$work/bin-work-$fs"
  for tool in mktemp cp openssl; do
    cp "/usr/bin/$tool" "$run/real/$tool"
    printf '#!/bin/bash\ns=$EPOCHREALTIME\n%q "$@"\nr=$?\necho "%s $s $EPOCHREALTIME" >> %q\nexit $r\n' \
      "$run/real/$tool" "$tool" "$run/record/steps" > "$work/bin-upper-$fs/$tool"
    chmod 755 "$work/bin-upper-$fs/$tool"
  done
  mount -t overlay overlay -o "lowerdir=/usr/bin,upperdir=$work/bin-upper-$fs,workdir=$work/bin-work-$fs" /usr/bin
fi

# timed FILE COMMAND...: appends "seconds peak-KiB" to FILE.
timed() {
  local file=$1 start end
  shift
  : > "$run/record/steps"
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$run/rss" "$@"
  end=$(date +%s%N)
  echo "$(((end - start) / 1000))e-6 $(cat "$run/rss")" | awk '{ printf "%.3f %d\n", $1, $2 }' >> "$file"
  started=$((start / 1000))e-6 ended=$((end / 1000))e-6
}

for size in "${sizes[@]}"; do
  for kind in "${kinds[@]}"; do
    case $kind in
      pkg) name=Update.pkg fragment= binary=tarnwick-installer ;;
      zip) name=Update.zip fragment= binary=tarnwick-installer ;;
      team) name=Signed.pkg fragment="#team=A1B2C3D4E5" binary=tarnwick-installer-testroot ;;
      *) echo "road-runs.sh: unknown road $kind" >&2; exit 2 ;;
    esac
    package=${name%.*}.pkg
    bytes=$(if [ "$kind" = zip ]; then stat -c %s "$work/www/$size/Update.pkg"; else stat -c %s "$work/www/$size/$name"; fi)
    url="http://127.0.0.1:$port/$size/$name"
    cp "$work/bin/$binary" "$updater"
    # A box that nobody closes would keep it open: ended after five minutes.
    # ROAD_UPDATER_ENV: more NAME=VALUE words for the updater's environment (an allocator's knobs, say).
    read -r -a updater_env <<< "${ROAD_UPDATER_ENV:-}"
    updater_run=(timeout 300 env -i PATH="$PATH" DISPLAY="$display" HOME="$home" XDG_RUNTIME_DIR="$home"
      TARNWICK_TEST_ROOT="$work/root-$size.der" "${updater_env[@]}" "$updater" "$app" "$url$fragment")
    # With the timeline, bash notes when each step ends (no process started for it).
    mark=:
    [ "$timeline" = 1 ] && mark='echo "$EPOCHREALTIME" >> "$1/../record/marks"'
    # ROAD_PEER_COPIES=1: the peer also copies its package as root's script does, and digests the copy.
    digest='openssl dgst -sha256 "$1/$3" > /dev/null'
    [ "${ROAD_PEER_COPIES:-0}" = 1 ] &&
      digest='cp --reflink=never -RP "$1/$3" "$1/copy.pkg" && openssl dgst -sha256 "$1/copy.pkg" > /dev/null'
    if [ "$kind" = zip ]; then
      by_hand=(bash -c 'curl -sSf -o "$1/Update.zip" "$2" && '"$mark"' && bsdtar -xOf "$1/Update.zip" Update.pkg > "$1/$3" &&
        '"$mark"' && '"$digest" sh "$run/hand" "$url" "$package")
    else
      by_hand=(bash -c 'curl -sSf -o "$1/$3" "$2" && '"$mark"' && '"$digest" sh "$run/hand" "$url" "$name")
    fi
    results=$work/results/$fs-$kind-$size
    for i in $(seq "$runs"); do
      for k in 0 1; do
        # The archive, its package and root's copy.
        refresh_memory $((size * 3))
        sync
        if [ $(((i + k) % 2)) -eq 1 ]; then
          installs=$(wc -l < "$run/record/installed")
          timed "$results-updater.txt" "${updater_run[@]}"
          # It ended by itself: installed once, the whole package, and left no file.
          [ "$(wc -l < "$run/record/installed")" -eq $((installs + 1)) ] || { echo "road-runs.sh: not installed" >&2; exit 1; }
          [ "$(tail -n1 "$run/record/installed" | cut -d' ' -f2)" -eq "$bytes" ] || { echo "road-runs.sh: wrong size" >&2; exit 1; }
          [ ! -e "$run/$name" ] && [ ! -e "$run/$package" ] || { echo "road-runs.sh: files left behind" >&2; exit 1; }
          if [ "$timeline" = 1 ]; then
            python3 "$bench/timeline.py" updater "$started" "$ended" "$work/access.log" "/$size/$name" \
              "$run/record/steps" "$(tail -n1 "$run/record/installed" | cut -d' ' -f3)" \
              "$(tail -n1 "$run/record/relaunched" | cut -d' ' -f1)" >> "$results-updater.steps"
          fi
        else
          : > "$run/record/marks"
          timed "$results-hand.txt" "${by_hand[@]}"
          [ "$(stat -c %s "$run/hand/$package")" -eq "$bytes" ] || { echo "road-runs.sh: wrong size by hand" >&2; exit 1; }
          removing=$(date +%s%N)
          rm -f "$run/hand/$name" "$run/hand/$package" "$run/hand/copy.pkg"
          removed=$(date +%s%N)
          if [ "$timeline" = 1 ]; then
            python3 "$bench/timeline.py" hand "$started" "$ended" "$work/access.log" "/$size/$name" \
              "$run/record/steps" "$run/record/marks" "$(((removed - removing) / 1000))e-6" >> "$results-hand.steps"
          fi
        fi
      done
    done
    echo "road-runs.sh: $fs, $kind, $size MiB: $runs runs of each"
  done
done
