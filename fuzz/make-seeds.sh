#!/usr/bin/env bash
# Rebuilds the committed seed inputs from their descriptions in seeds/ (needs the sqlite3 shell).
set -euo pipefail
cd "$(dirname "$0")"
for sql in seeds/*.sql; do
    db=corpus/QueryDbFuzz/$(basename "$sql" .sql).db
    rm -f "$db"
    sqlite3 "$db" < "$sql" >/dev/null
done
# SplitPathFuzz: a byte n, n % 4 delimiter bytes, then the text.
split=corpus/SplitPathFuzz
printf '\001//a//b/' > $split/leading-run-trailing
printf '\001/C:/Users/name/Documents/file.txt' > $split/path
printf '\002/\\C:\\Users/name\\file' > $split/two-delimiters
printf '\000no delimiters at all' > $split/no-delimiters
printf '\001/' > $split/empty-text
printf '\001/x/docs/deep/c.txt' > $split/cache-path
