#!/usr/bin/env bash
# Checks that the shared library exports exactly the six functions.
#   exported_symbols.sh LIBRARY [NM]   NM: the nm of the library's target
set -euo pipefail
nm=${2:-nm}
expected="vesk_AccountInfo
vesk_HandsetBeat
vesk_HandsetDownload
vesk_HandsetLoad
vesk_HandsetSave
vesk_handsetActivate"
actual=$("$nm" -D --defined-only "$1" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort)
if [ "$actual" != "$(sort <<<"$expected")" ]; then
  echo "exported symbols differ:"
  diff <(sort <<<"$expected") <(echo "$actual") || true
  exit 1
fi
echo "six exports, nothing else"
