#!/usr/bin/env bash
# Runs Debian's linters at the level where they find faults, and checks the
# names in the documents; runs every step, and fails if any finds something:
# - ShellCheck over every shell script, known by its name or its first line;
# - pyflakes3 over every Python file;
# - clang-tidy (checks in .clang-tidy) over launcher/ and standin/ from the
#   host build's compile database, and launcher/ and platform/ from the
#   win32-clang build's;
# - scripts/check_docs.py over the files, options and presets the documents name.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
git rev-parse --git-dir >/dev/null || { echo "lint: this is not a git checkout" >&2; exit 1; }
shell=() python=()
while IFS= read -r -d '' file; do
  [ -f "$file" ] || continue
  first=
  IFS= read -r first < "$file" || true
  if [[ $file == *.sh || $first =~ ^#!.*[/\ ](ba|da|k)?sh([[:space:]]|$) ]]; then
    shell+=("$file")
  elif [[ $file == *.py || $first =~ ^#!.*python ]]; then
    python+=("$file")
  fi
done < <(git ls-files -z --cached --others --exclude-standard)

echo "== shellcheck: ${#shell[@]} scripts"
shellcheck --severity=info "${shell[@]}" || status=1
echo "== pyflakes3: ${#python[@]} files"
pyflakes3 "${python[@]}" || status=1

# Configuring makes or refreshes each compile database; it builds nothing.
echo "== clang-tidy"
for preset in host win32-clang; do
  cmake --preset "$preset" >/dev/null || status=1
done
units=()
for file in launcher/*.cpp standin/*.cpp; do units+=(host "$file"); done
for file in launcher/*.cpp platform/*.cpp; do units+=(win32-clang "$file"); done
# Two at a time, each unit's report whole once it is done. The quoted script is
# sh's, which is given the preset and the file as $0 and $1.
# shellcheck disable=SC2016
printf '%s\0' "${units[@]}" | xargs -0 -n 2 -P 2 sh -c \
  'out=$(clang-tidy --quiet -p "build/$0" "$1" 2>&1); code=$?
   [ "$code" = 0 ] || printf "%s (%s)\n%s\n" "$1" "$0" "$out" | grep -v " generated\.$"
   exit "$code"' || status=1

echo "== documents"
python3 scripts/check_docs.py || status=1
exit $status
