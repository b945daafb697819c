#!/usr/bin/env bash
# Every relative link in README.md and docs/*.md must name a file that is
# there and, with an anchor, a heading of that file. Anchors are GitHub's:
# the heading's text in lower case, punctuation dropped, spaces turned to
# hyphens, and -1, -2, ... after repeats. Links in code are not links.
# Prints the broken links, then one verdict line; exits 1 when one is broken.
set -euo pipefail
cd "$(dirname "$0")/.."

pages=(README.md docs/*.md)

# markdown_lines FILE: "line<TAB>text" for each line outside fenced code
# blocks, with inline code spans taken out.
markdown_lines() {
  awk '
    /^[ \t]*(```|~~~)/ { fenced = !fenced; next }
    !fenced { line = $0; gsub(/`[^`]*`/, "", line); print NR "\t" line }
  ' "$1"
}

# anchors FILE: the anchor of each heading of FILE, one a line.
anchors() {
  awk '
    /^[ \t]*(```|~~~)/ { fenced = !fenced; next }
    fenced || !/^#+[ \t]/ || match($0, /^#+/) && RLENGTH > 6 { next }
    {
      text = $0
      sub(/^#+[ \t]+/, "", text); sub(/[ \t]+#+[ \t]*$/, "", text)
      gsub(/\[/, "", text); gsub(/\]\([^)]*\)/, "", text)   # a link reads as its text
      text = tolower(text)
      gsub(/[^a-z0-9 _-]/, "", text)
      gsub(/ /, "-", text)
      slug = text
      if (seen[text]++) slug = text "-" (seen[text] - 1)
      print slug
    }
  ' "$1"
}

checked=0
broken=0
for page in "${pages[@]}"; do
  folder=$(dirname "$page")
  while IFS=$'\t' read -r number text; do
    # Every "](target)" on the line; a title after the target is dropped.
    while [[ $text =~ \]\(([^\)]*)\) ]]; do
      target=${BASH_REMATCH[1]%% *}
      text=${text#*"${BASH_REMATCH[0]}"}
      [[ $target =~ ^[A-Za-z][A-Za-z0-9+.-]*: ]] && continue   # https:, mailto:
      checked=$((checked + 1))
      path=${target%%#*}
      anchor=
      [[ $target == *'#'* ]] && anchor=${target#*#}
      file=$page
      [ -n "$path" ] && file=$(realpath -m --relative-to=. "$folder/$path")
      problem=
      if [ ! -e "$file" ]; then
        problem="no file $file"
      elif [ -n "$anchor" ] && ! anchors "$file" | grep -qxF -- "$anchor"; then
        problem="no heading with the anchor #$anchor in $file"
      fi
      if [ -n "$problem" ]; then
        broken=$((broken + 1))
        echo "links: $page:$number: ($target): $problem"
      fi
    done
  done < <(markdown_lines "$page")
done

if [ "$broken" -eq 0 ]; then
  echo "links: PASS (all $checked relative links of README.md and docs/*.md resolve)"
else
  echo "links: FAIL ($broken of the $checked relative links of README.md and docs/*.md do not resolve)"
  exit 1
fi
