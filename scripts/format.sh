#!/usr/bin/env bash
# Formats the C++ sources with clang-format 14 and the style in .clang-format.
# Usage: scripts/format.sh           rewrite the files in place
#        scripts/format.sh --check   change nothing; list the files that differ and fail if any do
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *) echo "usage: scripts/format.sh [--check]" >&2; exit 2 ;;
esac

scripts/install-missing.sh clang-format-14 >&2
clang_format=$(command -v clang-format-14 || command -v clang-format || true)
# The version is captured before it is matched: a matcher that stops reading early would leave
# the writer to die of SIGPIPE, which fails the pipeline under pipefail at random.
version=$([[ -n $clang_format ]] && "$clang_format" --version || true)
if [[ $version != *"version 14."* ]]; then
  echo "format.sh: clang-format 14 is needed (Debian: apt-get install clang-format-14)" >&2
  exit 2
fi

mapfile -t files < <(git ls-files --cached --others --exclude-standard -- src app cli tools tests bench |
  grep -E '\.(cpp|h|hpp|cc)$' | while read -r f; do [[ -f $f ]] && echo "$f"; done)

if ((check)); then
  differ=()
  for f in "${files[@]}"; do
    if ! "$clang_format" --style=file "$f" | cmp -s - "$f"; then
      differ+=("$f")
    fi
  done
  if ((${#differ[@]})); then
    printf 'not formatted: %s\n' "${differ[@]}" >&2
    echo "format.sh: ${#differ[@]} of ${#files[@]} files differ; run scripts/format.sh" >&2
    exit 1
  fi
  echo "format.sh: ${#files[@]} files formatted"
else
  "$clang_format" --style=file -i "${files[@]}"
fi
