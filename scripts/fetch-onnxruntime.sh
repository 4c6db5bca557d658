#!/usr/bin/env bash
# Extracts ONNX Runtime 1.29 (C API, header-only C++ wrappers, Linux x64 library) into DEST:
#   DEST/include/*.h   DEST/lib/libonnxruntime.so{,.1}
# The npm tarball is the only distribution reachable from these machines; it is downloaded once
# into the cache and checked against a pinned checksum before anything is extracted.
set -euo pipefail

dest=${1:?usage: fetch-onnxruntime.sh DEST}
pkg=com.github.asus4.onnxruntime
ver=0.4.9
tgz_sha256=e59788788818fdde1b2e522e766a21ba0f7d8391de55737abf81e32cc801785d
lib_sha256=5715f06d8992ca8eeeddcce43df3a7d38f97d537052126f558e912cb312460ca

stamp="$dest/.installed-$ver"
if [[ -f "$stamp" && -e "$dest/lib/libonnxruntime.so.1" ]]; then exit 0; fi

cache=${XDG_CACHE_HOME:-$HOME/.cache}/qo_core
tgz="$cache/$pkg-$ver.tgz"
mkdir -p "$cache"
if [[ ! -f "$tgz" ]] || ! echo "$tgz_sha256  $tgz" | sha256sum -c --status; then
  echo "[deps] fetching $pkg@$ver from the npm registry"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && npm pack --silent "$pkg@$ver" >/dev/null)
  mv "$tmp/$pkg-$ver.tgz" "$tgz.part"
  echo "$tgz_sha256  $tgz.part" | sha256sum -c --status || { rm -f "$tgz.part"; echo "[deps] checksum mismatch for $pkg@$ver" >&2; exit 1; }
  mv "$tgz.part" "$tgz"
fi

headers='package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers'
work=$(mktemp -d)
tar -xzf "$tgz" -C "$work" "$headers" package/Plugins/Linux/x64/libonnxruntime.so
echo "$lib_sha256  $work/package/Plugins/Linux/x64/libonnxruntime.so" | sha256sum -c --status ||
  { echo "[deps] libonnxruntime.so checksum mismatch" >&2; exit 1; }

rm -rf "$dest.tmp"
mkdir -p "$dest.tmp/include" "$dest.tmp/lib"
cp "$work/$headers"/*.h "$dest.tmp/include/"
cp "$work/package/Plugins/Linux/x64/libonnxruntime.so" "$dest.tmp/lib/libonnxruntime.so.1.29.0"
ln -s libonnxruntime.so.1.29.0 "$dest.tmp/lib/libonnxruntime.so.1"
ln -s libonnxruntime.so.1 "$dest.tmp/lib/libonnxruntime.so"
rm -rf "$work"
touch "$dest.tmp/.installed-$ver"
rm -rf "$dest"
mv "$dest.tmp" "$dest"
echo "[deps] ONNX Runtime 1.29 in $dest"
