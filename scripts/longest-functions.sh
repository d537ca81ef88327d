#!/bin/sh
# The longest functions of the sources, in lines from signature to closing
# brace: what a reviewer reads first when a function has grown too long.
cd "$(dirname "$0")/.." || exit 1
ctags --kinds-c++=f --fields=+ne -o - src/*/*.cpp src/*/*.hpp 2>/dev/null |
  awk -F'\t' '$1 !~ /^__anon/ {
    line = ""; end = ""
    for (i = 4; i <= NF; i++) {
      if ($i ~ /^line:/) line = substr($i, 6)
      if ($i ~ /^end:/) end = substr($i, 5)
    }
    if (end != "") print end - line + 1, $2, $1
  }' | sort -rn | head -"${1:-5}"
