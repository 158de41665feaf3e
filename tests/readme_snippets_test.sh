#!/usr/bin/env bash
# Every code block of the README and of docs/*.md that says where it comes from
# ("from `FILE`" in the three lines before it, FILE from the repository root) is an
# excerpt of that file: its lines appear there in the same order, each line whole. So
# a snippet cannot drift from the file the build makes and the tests run.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
failures=0 blocks=0

# Whether the lines of $1 (a file of lines) appear in file $2 in order.
excerpt_of() {
  awk 'NR == FNR { want[n++] = $0; next }
       i < n && $0 == want[i] { i++ }
       END { exit i < n ? 1 : 0 }' "$1" "$2"
}

snippet=$(mktemp)
trap 'rm -f "$snippet"' EXIT
# Checks the quoted blocks of the Markdown file $1.
check_quotes() {
  local page=${1#"$root"/}
  source_file="" in_block="" recent=()
  while IFS= read -r line; do
    if [ -n "$in_block" ]; then
      if [ "$line" = '```' ]; then
        in_block=""
        if [ -n "$source_file" ]; then
          blocks=$((blocks + 1))
          if [ ! -f "$root/$source_file" ]; then
            echo "FAILED: $page quotes $source_file, which does not exist"
            failures=$((failures + 1))
          elif ! excerpt_of "$snippet" "$root/$source_file"; then
            echo "FAILED: a block of $page is not an excerpt of $source_file:"
            cat "$snippet"
            failures=$((failures + 1))
          fi
        fi
      else
        [ -z "$line" ] || printf '%s\n' "$line" >>"$snippet"
      fi
      continue
    fi
    if [[ $line == '```'?* ]]; then
      in_block=yes
      : >"$snippet"
      source_file=""
      lead="${recent[*]}"
      while [[ $lead =~ [Ff]rom\ \`([^\`]+)\`(.*)$ ]]; do
        source_file=${BASH_REMATCH[1]}
        lead=${BASH_REMATCH[2]}
      done
      continue
    fi
    recent+=("$line")
    [ ${#recent[@]} -le 3 ] || recent=("${recent[@]:1}")
  done <"$1"
}

for page in "$root/README.md" "$root"/docs/*.md; do
  check_quotes "$page"
done
echo "checked $blocks quoted blocks"
[ $blocks -gt 0 ] || { echo "FAILED: no quoted block found"; failures=$((failures + 1)); }
[ $failures -eq 0 ]
