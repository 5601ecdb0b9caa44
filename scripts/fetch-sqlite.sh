#!/usr/bin/env bash
# Fetches the pinned SQLite amalgamation (3.53.2, which carries the WAL-reset fix) from the
# npm package that ships it, checks the tarball and unpacks sqlite3.c and sqlite3.h into
# third_party/sqlite/. Nothing of it is committed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dest="$here/third_party/sqlite"
package="better-sqlite3@12.11.1"
sha256="ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835"

if [ -f "$dest/sqlite3.c" ] && [ -f "$dest/sqlite3.h" ] && [ -f "$dest/.sha256" ] &&
   [ "$(cat "$dest/.sha256")" = "$sha256" ]; then
    exit 0
fi
command -v npm >/dev/null || { echo "fetch-sqlite: npm is needed (apt-get install npm)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "$package" >/dev/null)
tarball=$(ls "$work"/*.tgz)
actual=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ "$actual" != "$sha256" ]; then
    echo "fetch-sqlite: checksum mismatch for $package: $actual" >&2
    exit 1
fi
tar -xzf "$tarball" -C "$work" package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h
mkdir -p "$dest"
cp "$work/package/deps/sqlite3/sqlite3.c" "$work/package/deps/sqlite3/sqlite3.h" "$dest/"
echo "$sha256" > "$dest/.sha256"
echo "fetch-sqlite: SQLite $(grep -m1 '#define SQLITE_VERSION ' "$dest/sqlite3.h" | awk '{print $3}') in $dest"
