#!/usr/bin/env bash
# Makes the fuzzer's seeds in fuzz/seeds/ (tracked; run once by hand when a
# new shape of archive is worth starting from). Each holds Update.pkg: stored
# and deflated (the entries read straight from the archive file), zip64, with
# a data descriptor, after a stub, encrypted, and bzip2 (refused).
set -euo pipefail
cd "$(dirname "$0")/.."

seeds="$(realpath fuzz)/seeds"
mkdir -p "$seeds"
staging="$(mktemp -d)"
trap 'rm -rf "$staging"' EXIT
cd "$staging"
printf 'an installer package\n%.0s' $(seq 40) > Update.pkg
printf 'other\n' > Other.pkg
zip -q -X -0 "$seeds/stored.zip" Update.pkg
zip -q -X -9 "$seeds/deflated.zip" Other.pkg Update.pkg
zip -q -X -fz "$seeds/zip64-sizes.zip" Update.pkg
bsdtar --format zip --options zip:zip64 -cf "$seeds/zip64.zip" Update.pkg
zip -q -X -P secret -0 "$seeds/encrypted-stored.zip" Update.pkg
zip -q -X -P secret -9 "$seeds/encrypted-deflated.zip" Update.pkg
# Written to a pipe, so the sizes follow the data in a descriptor.
zip -q -X - Update.pkg | cat > "$seeds/data-descriptor.zip"
mkdir pkg && cp Update.pkg pkg/ && zip -q -X -D "$seeds/nested.zip" pkg/Update.pkg Update.pkg
{ printf '#!/bin/sh\nexit 1\n'; cat "$seeds/stored.zip"; } > "$seeds/after-stub.zip"
python3 - "$seeds" <<'PY'
import sys, zipfile
seeds = sys.argv[1]
# Output of several 256 KiB buffers from a few KiB of input.
text = b"".join(b"line %d of the installer package\n" % (i % 100) for i in range(20000))
with zipfile.ZipFile(seeds + "/deflated-several-buffers.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("Update.pkg", text)
with zipfile.ZipFile(seeds + "/bzip2.zip", "w", zipfile.ZIP_BZIP2) as z:
    z.writestr("Update.pkg", b"an installer package\n" * 40)
PY
: > empty.pkg && mv empty.pkg Update.pkg && zip -q -X "$seeds/empty-entry.zip" Update.pkg
ls -l "$seeds"
