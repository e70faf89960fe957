#!/bin/sh
# Runs protoc and drops its "Import ... is unused." warnings about Google's own files,
# which are not ours to fix; every other line, and protoc's exit status, go through.
out=$("$@" 2>&1)
status=$?
printf '%s\n' "$out" | grep -v -E 'warning: Import .* is unused\.$' | grep -v '^$' >&2
exit $status
