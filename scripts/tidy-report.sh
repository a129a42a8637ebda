#!/bin/bash
# clang-tidy on the files changed since the merge base with BASE, as a report
# (never a gate: it always exits 0 once it ran).
#
#   scripts/tidy-report.sh BASE [BUILD_DIR]
#
# BASE       a commit or branch; the report covers the C++ files changed
#            between its merge base with HEAD and the work tree
# BUILD_DIR  a configured debug tree with compile_commands.json (default
#            build/debug; `cmake --preset debug` is enough, nothing is built)
#
# Each folder's .clang-tidy says what is checked (STYLE.md): naming in each
# layer's spelling and a few bug-prone checks. Findings are printed per file,
# then counted per check. A changed header is checked through a changed source
# that includes it, else through the first source in the database that does.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 1 || $1 == -h || $1 == --help ]]; then
  sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
base=$1
build=${2:-build/debug}
db=$build/compile_commands.json
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [[ -z $tidy ]]; then
  echo "tidy-report: no clang-tidy (apt-get install clang-tidy)" >&2
  exit 2
fi
if [[ ! -f $db ]]; then
  echo "tidy-report: no $db (cmake --preset debug -B $build)" >&2
  exit 2
fi
mergebase=$(git merge-base "$base" HEAD)

mapfile -t changed < <(git diff --name-only --diff-filter=d "$mergebase" -- '*.cpp' '*.h' |
  grep -vE '^(build|bench|packaging)/' || true)
if [[ ${#changed[@]} -eq 0 ]]; then
  echo "tidy-report: no C++ file changed since $(git rev-parse --short "$mergebase")"
  exit 0
fi

# Sources the database knows, relative to the repository.
top=$(pwd)
mapfile -t known < <(grep -o '"file": *"[^"]*"' "$db" | sed -E 's/.*"([^"]*)"$/\1/' |
  sed "s|^$top/||" | sort -u)
in_db() { printf '%s\n' "${known[@]}" | grep -qxF "$1"; }

declare -A run=()
headers=()
for f in "${changed[@]}"; do
  case $f in
  *.cpp) if in_db "$f"; then run[$f]=1; fi ;;
  *.h) headers+=("$f") ;;
  esac
done
for h in "${headers[@]}"; do
  # Included as "folder/File.h" from the top, or as "File.h" beside it.
  pattern="#include \"($h|$(basename "$h"))\""
  host=""
  for f in "${!run[@]}"; do
    if grep -qE "$pattern" "$f"; then
      host=$f
      break
    fi
  done
  if [[ -z $host ]]; then
    for f in "${known[@]}"; do
      if [[ -f $f ]] && grep -qE "$pattern" "$f"; then
        host=$f
        break
      fi
    done
  fi
  if [[ -n $host ]]; then
    run[$host]=1
  else
    echo "tidy-report: $h: no source in $db includes it; not checked" >&2
  fi
done

filter=$(printf '%s\n' "${headers[@]}" | sed 's/[.]/\\./g' | paste -sd'|' -)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
echo "tidy-report: ${#changed[@]} file(s) changed since $(git rev-parse --short "$mergebase")," \
  "${#run[@]} source(s) to check with $(basename "$tidy")" >&2
# Two at a time: the machine is shared.
printf '%s\n' "${!run[@]}" | sort |
  xargs -P2 -I{} "$tidy" -p "$build" --quiet --header-filter="^$top/(${filter:-none})\$" \
    --extra-arg=-Wno-error --extra-arg=-Wno-unknown-warning-option {} 2>/dev/null >>"$out" || true

# Only findings in the changed files, each once.
pattern=$(printf '%s\n' "${changed[@]}" | sed 's/[.]/\\./g' | paste -sd'|' -)
findings=$(grep -E "^$top/($pattern):[0-9]+:[0-9]+: (warning|error):" "$out" | sed "s|^$top/||" |
  sort -u | sort -t: -k1,1 -k2,2n -s || true)
if [[ -z $findings ]]; then
  echo "tidy-report: no findings"
  exit 0
fi
echo "$findings"
echo
echo "findings per check:"
sed -E 's/.*\[([^]]+)\]$/\1/' <<<"$findings" | sort | uniq -c | sort -rn
echo "findings per file:"
cut -d: -f1 <<<"$findings" | sort | uniq -c | sort -rn
exit 0
