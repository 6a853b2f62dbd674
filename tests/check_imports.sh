#!/usr/bin/env bash
# The launcher must run on a bare Windows: it may import only KERNEL32,
# SHELL32 and the Universal CRT's api-ms-win-crt-* DLLs.
set -euo pipefail
exe="$1"
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p')
[ -n "$dlls" ] || { echo "no imports found in $exe"; exit 1; }
bad=$(printf '%s\n' $dlls | grep -v -i -E '^(kernel32|shell32|api-ms-win-crt-[a-z0-9-]+)\.dll$' || true)
if [ -n "$bad" ]; then
    echo "unexpected imports: $(echo $bad)"
    exit 1
fi
echo "imports ok: $(echo $dlls)"
