#!/usr/bin/env bash
# Checks the deployment recipes that can be checked here: the Ansible play
# between the "ansible-play" markers (in README.md or a page under docs/)
# passes `ansible-playbook --syntax-check`, which also resolves every module
# name against the installed collections (Debian's ansible brings
# ansible.windows). The play checked is that block byte for byte, never a
# copy kept elsewhere. Installs Debian's ansible when ansible-playbook is
# missing (about a minute, so setup.sh leaves it out). Its last line is
# "RECIPES PASS: ..." or "RECIPES FAIL: ...".
set -euo pipefail
given=()
for file; do given+=("$(realpath -- "$file")"); done
cd "$(dirname "$0")/.."

fail() {
  echo "RECIPES FAIL: $*"
  exit 1
}

# The play is looked for in the files given, else in README.md and the
# pages under docs/: exactly one of them must hold it.
if [ ${#given[@]} -gt 0 ]; then
  files=("${given[@]}")
else
  shopt -s nullglob
  files=(README.md docs/*.md)
fi
mapfile -t holders < <(grep -l '^<!-- ansible-play: begin' "${files[@]}" || true)
[ ${#holders[@]} -eq 1 ] ||
  fail "${#holders[@]} files hold an ansible-play begin marker (${holders[*]:-none}) among: ${files[*]}"
readme=${holders[0]}

if ! command -v ansible-playbook >/dev/null; then
  scripts/setup.sh ansible || fail "ansible could not be installed"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The block must stand exactly so: the begin marker, a "```yaml" fence, the
# play, a closing fence, the end marker; once. Anything else is a failure,
# never a silently different play.
status=0
awk '
  BEGIN { state = 0; lines = 0; bad = 0 }
  index($0, "<!-- ansible-play: begin") == 1 {
    if (state != 0) { bad = 2; exit }
    state = 1; next
  }
  $0 == "<!-- ansible-play: end -->" {
    if (state != 3) { bad = 3; exit }
    state = 4; next
  }
  state == 1 { if ($0 != "```yaml") { bad = 4; exit } state = 2; next }
  state == 2 && $0 == "```" { state = 3; next }
  state == 2 { print; lines++; next }
  state == 3 { bad = 5; exit }
  END {
    if (bad) exit bad
    if (state != 4) exit 6
    if (lines == 0) exit 7
  }
' "$readme" >"$work/play.yml" || status=$?
case $status in
  0) ;;
  2) fail "$readme has more than one ansible-play begin marker" ;;
  3) fail "$readme has an ansible-play end marker that does not follow a closed yaml block" ;;
  4) fail "$readme's ansible-play begin marker is not followed by a \`\`\`yaml line" ;;
  5) fail "$readme's ansible-play block is not followed by its end marker" ;;
  6) fail "$readme has no complete ansible-play block (begin marker, yaml block, end marker)" ;;
  7) fail "$readme's ansible-play block is empty" ;;
  *) fail "awk could not read $readme (status $status)" ;;
esac

# Ansible's own files go to the throwaway folder, not to ~/.ansible.
export ANSIBLE_HOME="$work/ansible" ANSIBLE_LOCAL_TEMP="$work/ansible/tmp" ANSIBLE_NOCOLOR=1
core=$(ansible-playbook --version 2>&1) || true
windows=$(ansible-galaxy collection list ansible.windows 2>/dev/null) || true
versions="${core%%$'\n'*}, ansible.windows $(awk '$1 == "ansible.windows" { print $2; exit }' <<<"$windows")"
if ! ansible-playbook --syntax-check -i 'windows,' "$work/play.yml" >"$work/out.txt" 2>&1; then
  sed 's/^/  /' "$work/out.txt"
  first=$(grep -n -m1 '^<!-- ansible-play: begin' "$readme" | cut -d: -f1)
  fail "the Ansible play in $readme (its line 1 is line $((first + 2)) of $readme) does not pass ansible-playbook --syntax-check ($versions)"
fi
echo "RECIPES PASS: the Ansible play in $readme ($(wc -l <"$work/play.yml") lines) passes ansible-playbook --syntax-check ($versions)"
