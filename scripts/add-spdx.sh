#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Adds the SPDX line to the named files that lack it.
for f in "$@"; do
  grep -q 'SPDX-License-Identifier' "$f" && continue
  case "$f" in
    *.cpp|*.h|*.inc|*.hpp|*.cc|*.c) tag='// SPDX-License-Identifier: MIT' ;;
    *) tag='# SPDX-License-Identifier: MIT' ;;
  esac
  first=$(head -c 2 "$f")
  if [ "$first" = "#!" ] || head -n1 "$f" | grep -q '^#compdef'; then
    sed -i "1a $tag" "$f"
  else
    sed -i "1i $tag" "$f"
  fi
done
