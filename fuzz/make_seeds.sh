#!/usr/bin/env bash
# Makes the fuzzers' seeds in fuzz/seeds/<target>/ (tracked; run once by hand
# when a new shape of input is worth starting from).
#   fuzz/make_seeds.sh [target...]   unzipper, streaming_unzipper, content_decoder, download_pin,
#                                    package_signature, package_info, answer_headers; all by default
# unzipper: archives holding Update.pkg, stored and deflated (the entries read
# straight from the archive file), zip64, with a data descriptor, after a stub,
# encrypted, and bzip2 (refused).
# content_decoder: a mode byte (bit 0: deflate, bits 1-4: the largest chunk's
# power of two) and a seed byte, then a body: gzip (with every optional header
# field, two members, an empty one), zlib-wrapped and raw deflate (stored,
# fixed and dynamic blocks), and one that inflates past 1 MiB.
# download_pin: URL fragments, pins read and refused.
# package_signature: a mode byte and two cut bytes (see the target), then the
# real packages of tests/data/packages: as they are, with the TOC's checksum
# rewritten, and with the TOC inflated (the target compresses it again).
# package_info: a mode byte (see the target), then a Distribution, a top
# PackageInfo, a component's PackageInfo and an installed version, joined by
# two nul bytes: component packages and product archives, stored and
# compressed, one naming no bundle, and one whose PackageInfo is gzip's bytes.
# answer_headers: a mode byte (status, Location, redirected), Content-Length,
# a line feed and Content-Encoding: lengths read, joined and refused.
set -euo pipefail
cd "$(dirname "$0")/.."

seeds="$(realpath fuzz)/seeds"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(unzipper streaming_unzipper content_decoder download_pin package_signature package_info
  answer_headers)

unzipper() {
  local out="$seeds/unzipper" staging
  mkdir -p "$out"
  staging="$(mktemp -d)"
  (
    trap 'rm -rf "$staging"' EXIT
    cd "$staging"
    printf 'an installer package\n%.0s' $(seq 40) > Update.pkg
    printf 'other\n' > Other.pkg
    zip -q -X -0 "$out/stored.zip" Update.pkg
    zip -q -X -9 "$out/deflated.zip" Other.pkg Update.pkg
    zip -q -X -fz "$out/zip64-sizes.zip" Update.pkg
    bsdtar --format zip --options zip:zip64 -cf "$out/zip64.zip" Update.pkg
    zip -q -X -P secret -0 "$out/encrypted-stored.zip" Update.pkg
    zip -q -X -P secret -9 "$out/encrypted-deflated.zip" Update.pkg
    # Written to a pipe, so the sizes follow the data in a descriptor.
    zip -q -X - Update.pkg | cat > "$out/data-descriptor.zip"
    mkdir pkg && cp Update.pkg pkg/ && zip -q -X -D "$out/nested.zip" pkg/Update.pkg Update.pkg
    { printf '#!/bin/sh\nexit 1\n'; cat "$out/stored.zip"; } > "$out/after-stub.zip"
    python3 - "$out" <<'PY'
import sys, zipfile
out = sys.argv[1]
# Output of several 256 KiB buffers from a few KiB of input.
text = b"".join(b"line %d of the installer package\n" % (i % 100) for i in range(20000))
with zipfile.ZipFile(out + "/deflated-several-buffers.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("Update.pkg", text)
with zipfile.ZipFile(out + "/bzip2.zip", "w", zipfile.ZIP_BZIP2) as z:
    z.writestr("Update.pkg", b"an installer package\n" * 40)
# Zip64 records in the local header, though nothing needs them.
with zipfile.ZipFile(out + "/zip64-python.zip", "w", zipfile.ZIP_DEFLATED) as z:
    with z.open("Update.pkg", "w", force_zip64=True) as entry:
        entry.write(b"an installer package\n" * 40)
PY
    : > empty.pkg && mv empty.pkg Update.pkg && zip -q -X "$out/empty-entry.zip" Update.pkg
  )
}

content_decoder() {
  python3 - "$seeds/content_decoder" <<'PY'
import os, struct, sys, zlib
out = sys.argv[1]
os.makedirs(out, exist_ok=True)
text = b"".join(b"line %d of the body\n" % (i % 50) for i in range(200))

def deflated(data, wbits, level=6):
    c = zlib.compressobj(level, zlib.DEFLATED, wbits)
    return c.compress(data) + c.flush()

def gzip(data):
    return deflated(data, 31)

def gzip_all_fields(data):
    # FHCRC, FEXTRA, FNAME and FCOMMENT, which the plain member has none of.
    head = b"\x1f\x8b\x08\x1e" + b"\0\0\0\0" + b"\0\x03"
    head += struct.pack("<H", 4) + b"ab\0\0" + b"Update.pkg\0" + b"a comment\0"
    head += struct.pack("<H", zlib.crc32(head) & 0xFFFF)
    return head + deflated(data, -15) + struct.pack("<II", zlib.crc32(data), len(data))

def seed(name, deflate, chunk_power, body):
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([int(deflate) | chunk_power << 1, 1]) + body)

seed("gzip", False, 4, gzip(text))
seed("gzip-all-header-fields", False, 2, gzip_all_fields(text))
seed("gzip-two-members", False, 6, gzip(text) + gzip(b"second member\n"))
seed("gzip-empty-member", False, 0, gzip(b""))
seed("gzip-past-one-mib", False, 10, gzip(bytes(3 * 1024 * 1024 + 5)))
seed("deflate-zlib", True, 4, deflated(text, 15))
seed("deflate-zlib-stored", True, 3, deflated(text[:300], 15, 0))
seed("deflate-raw", True, 4, deflated(text, -15))
seed("deflate-raw-fixed", True, 0, deflated(b"a", -15))
seed("deflate-raw-stored", True, 1, deflated(text[:300], -15, 0))
PY
}

download_pin() {
  local out="$seeds/download_pin" digest=ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad
  mkdir -p "$out"
  printf '%s' "sha256=$digest&size=4096" > "$out/both"
  printf '%s' "SIZE=4096&SHA256=${digest^^}" > "$out/both-reversed-upper-case"
  printf '%s' "sha256=$digest" > "$out/digest-alone"
  printf '%s' "notes&size=0&x=y&=z" > "$out/other-words"
  printf '%s' "size%3D5%26sha256%3D$digest" > "$out/percent-encoded"
  printf '%s' "size=9223372036854775807" > "$out/size-largest"
  printf '%s' "size=+5" > "$out/size-signed"
  printf '%s' "size=1&size=1" > "$out/size-twice"
  printf '%s' "sha256=$digest$digest" > "$out/digest-too-long"
}

package_signature() {
  python3 - "$seeds/package_signature" tests/data/packages <<'PY'
import os, struct, sys, zlib
out, packages = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
def seed(name, mode, package):
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([mode, 0x40, 0xc0]) + package)
for name in ("valid.pkg", "bad_signature.pkg", "bad_x_signature.pkg", "bad_both.pkg", "payload.xar"):
    with open(os.path.join(packages, name), "rb") as f:
        package = f.read()
    if name == "payload.xar":
        package = package[:32768]  # past its TOC and signature; the rest is one file
    seed(name, 0, package)
    if name in ("valid.pkg", "payload.xar"):
        seed(name + "-checksum-rewritten", 1, package)
        compressed = struct.unpack(">Q", package[8:16])[0]
        xml = zlib.decompress(package[28:28 + compressed])
        header = package[:8] + struct.pack(">QQ", len(xml), len(xml)) + package[24:28]
        seed(name + "-inflated-toc", 3, header + xml + package[28 + compressed:])
PY
}

package_info() {
  python3 - "$seeds/package_info" <<'EOT'
import os, sys, zlib
out = sys.argv[1]
os.makedirs(out, exist_ok=True)
info = lambda bundles: ('<?xml version="1.0" encoding="utf-8"?><pkg-info format-version="2" identifier="p">' + bundles +
                        '<bundle-version><bundle id="com.example.Example"/></bundle-version></pkg-info>')
app = ('<bundle id="com.example.Example" CFBundleVersion="43" path="./Example.app">'
       '<bundle id="com.example.Helper" CFBundleVersion="1.2"/></bundle>')
dist = ('<installer-gui-script minSpecVersion="1"><pkg-ref id="p"><bundle-version/></pkg-ref>'
        '<pkg-ref id="p" version="1">#Example.pkg</pkg-ref></installer-gui-script>')
seeds = {"component": (0, "", info(app), "", "42"), "component-stored": (2, "", info(app), "", "1.9.9"),
         "product": (1, dist, info('<bundle id="x" CFBundleVersion="1"/>'), info(app), "43"),
         "product-stored": (3, dist, "", info(app), "1.10"), "no-bundle": (0, "", info(""), "", "1"),
         "raw-gzip": (4, "", zlib.compress(info(app).encode()).decode("latin1"), "", "42")}
for name, (mode, *pieces) in seeds.items():
    with open(os.path.join(out, name), "wb") as seed:
        seed.write(bytes([mode]) + b"\0\0".join(piece.encode("latin1") for piece in pieces))
EOT
}

# streaming_unzipper: two bytes that cut the archive into pieces (the largest,
# the lengths' seed), then the unzipper's seeds and tests/data's archives, and
# Python's zipfile writing to a pipe: deflated, with data descriptors, Zip64
# or not.
streaming_unzipper() {
  local out="$seeds/streaming_unzipper" seed
  mkdir -p "$out"
  for seed in "$seeds"/unzipper/* tests/data/*.zip; do
    { printf '\003\001'; cat "$seed"; } > "$out/$(basename "$seed" .zip)"
  done
  python3 - "$out" <<'PY'
import io, sys, zipfile
class Pipe(io.RawIOBase):
    def __init__(self): self.data = bytearray()
    def writable(self): return True
    def write(self, b): self.data += b; return len(b)
text = b"".join(b"line %d of the installer package\n" % (i % 100) for i in range(20000))
for name, zip64, cut in (("descriptor-python", False, b"\x0f\x07"), ("descriptor-python-zip64", True, b"\x02\x09")):
    pipe = Pipe()
    with zipfile.ZipFile(pipe, "w", zipfile.ZIP_DEFLATED) as z, z.open("Update.pkg", "w", force_zip64=zip64) as entry:
        entry.write(text)
    open(sys.argv[1] + "/" + name, "wb").write(cut + bytes(pipe.data))
PY
}

answer_headers() {
  local out="$seeds/answer_headers"
  mkdir -p "$out"
  # Mode bytes: \001 a 200, \021 a 200 after a redirect, \014 a 302 with a Location, \006 a 400.
  printf '\001300000\n' > "$out/plain"
  printf '\001gzip' > "$out/gzip-no-length"
  printf '\021107, 200000\n' > "$out/joined-after-redirect"
  printf '\001300000, 299999\nidentity' > "$out/two-lengths"
  printf '\001-1\n' > "$out/negative"
  printf '\014107\n' > "$out/redirect"
  printf '\006x\nbr' > "$out/error-answer"
}

for target in "${targets[@]}"; do
  "$target"
  ls -l "$seeds/$target"
done
