#!/usr/bin/env bash
# The Debian package, as an operator gets it: built by cpack from this build
# directory and unpacked into a throwaway root. Debian's lintian finds no
# error and no warning in it, the installed program runs, the installed plot,
# merge and compare scripts draw a recorded report, merge recorded segments and
# compare two of them with the report reader installed beside them, the man page renders without a
# single groff warning, and the page, the README's options table, the bash
# completion and the program's --help list the same options.
set -euo pipefail
: "${QUORVELIN_BUILD_DIR:?}" "${QUORVELIN_SOURCE_DIR:?}"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/quorvelin-package.XXXXXX")
trap 'rm -rf -- "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$QUORVELIN_BUILD_DIR/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; fail "cpack -G DEB"; }
deb=$(echo "$tmp"/out/quorvelin_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libboost-program-options1.74.0 libboost-thread1.74.0 libstdc++6; do
  [[ $depends == *"$lib "* ]] || fail "Depends lacks $lib: $depends"
done
[[ $depends != *-dev* ]] || fail "a build package in Depends: $depends"
[ "$(dpkg-deb -f "$deb" Section)" = net ] || fail "section"
[ "$(dpkg-deb -f "$deb" Suggests)" = python3-matplotlib ] || fail "Suggests: $(dpkg-deb -f "$deb" Suggests)"
# Informational tags are shown, not counted: see docs/lab.md for those that stay.
lintian --fail-on error,warning --display-info "$deb" >"$tmp/lintian" 2>&1 ||
  { cat "$tmp/lintian" >&2; fail "lintian: $(grep -c '^[EW]: ' "$tmp/lintian") errors and warnings"; }
sed 's/^/lintian| /' "$tmp/lintian"

dpkg-deb -x "$deb" "$tmp/root"
bin=$tmp/root/usr/bin/quorvelin page=$tmp/root/usr/share/man/man1/quorvelin.1.gz
# Every documentation page and picture, since the pages link one another.
for doc in examples/relay/two-relays.scn prometheus.yml grafana-dashboard.json "$QUORVELIN_SOURCE_DIR"/docs/*.md "$QUORVELIN_SOURCE_DIR"/docs/*.png; do
  doc=${doc#"$QUORVELIN_SOURCE_DIR"/docs/}
  [ -f "$tmp/root/usr/share/doc/quorvelin/$doc" ] || fail "$doc not installed"
done
version=$("$bin" --version)
[ "$version" = "quorvelin $(dpkg-deb -f "$deb" Version)" ] || fail "--version says '$version'"
"$tmp/root/usr/share/quorvelin/plot" "$QUORVELIN_SOURCE_DIR/tests/fixtures/reports/once.jsonl" "$tmp/run.png" &&
  [ -s "$tmp/run.png" ] || fail "the installed scripts/plot drew nothing"
# The installed merge and plot, with the reader installed beside them (not
# the checkout's): three recorded segments of a ramp merged, and drawn.
(cd / && "$tmp/root/usr/share/quorvelin/merge" -o "$tmp/ramp.jsonl" \
  "$QUORVELIN_SOURCE_DIR"/tests/fixtures/segments/ramp-{0,1,2}.jsonl) || fail "the installed scripts/merge failed"
[ "$(tail -n 1 "$tmp/ramp.jsonl" | grep -o '"capacity":[0-9]*')" = '"capacity":200' ] ||
  fail "the installed scripts/merge found no capacity of 200"
"$tmp/root/usr/share/quorvelin/plot" "$tmp/ramp.jsonl" "$tmp/ramp.png" && [ -s "$tmp/ramp.png" ] ||
  fail "the installed scripts/plot drew no merged report"
# The installed compare, with the same reader: two recorded segments side by side.
(cd / && "$tmp/root/usr/share/quorvelin/compare" "$QUORVELIN_SOURCE_DIR"/tests/fixtures/segments/ramp-{0,1}.jsonl \
  >"$tmp/compare.txt") || fail "the installed scripts/compare failed: $(cat "$tmp/compare.txt")"
grep -q '^result  *200  *200 ' "$tmp/compare.txt" || fail "the installed scripts/compare showed no result row"
[ ! -e "$tmp/root/usr/share/quorvelin/__pycache__" ] || fail "the scripts left compiled copies of the reader"
# grep reads the whole page: with -q it would quit at the match, and zcat's
# next write would die of SIGPIPE, which pipefail reports as a failure.
zcat "$page" | grep "^\.TH QUORVELIN 1 [^ ]* \"$version\"" >/dev/null || fail "the man page is not of $version"

export LC_ALL=C.UTF-8 MANWIDTH=80
warnings=$(zcat "$page" | groff -ww -z -man 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
man --warnings=w -l "$page" >"$tmp/page.txt" 2>"$tmp/man.err" || fail "man -l failed"
[ ! -s "$tmp/man.err" ] || fail "man -l warns: $(cat "$tmp/man.err")"

# One option a line: the program's, the man page's OPTIONS section, the README's table.
options_of() { grep -oE -- "$1" | grep -oE -- '--?[A-Za-z][a-z-]*' | sort; }
"$bin" --help | grep -E '^  -' | options_of '(^  |\[ )--?[A-Za-z][a-z-]*' >"$tmp/help"
sed -n '/^OPTIONS/,/^[A-Z]/p' "$tmp/page.txt" | grep -E '^       -' |
  options_of '(^ +|, )--?[A-Za-z][a-z-]*' >"$tmp/man"
awk '/^### Options/ { on = 1; next } on && /^\|/ { print; seen = 1; next } seen { exit }' \
  "$QUORVELIN_SOURCE_DIR/README.md" | cut -d'|' -f2 |
  options_of '`--?[A-Za-z][a-z-]*' >"$tmp/readme"
[ "$(wc -l <"$tmp/help")" -ge 17 ] || fail "read only $(wc -l <"$tmp/help") options from --help"
diff -u "$tmp/help" "$tmp/man" || fail "the man page and --help list different options"
diff -u "$tmp/help" "$tmp/readme" || fail "README.md and --help list different options"

# The bash completion, as bash-completion loads it, on the words typed so far
# (the last one being completed), in a directory holding one scenario file.
complete_words() {
  (cd "$tmp/cwd" && bash -c 'source /usr/share/bash-completion/bash_completion && source "$1" && shift &&
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" && COMP_POINT=${#COMP_LINE} && _quorvelin &&
    printf "%s\n" "${COMPREPLY[@]}"' complete "$tmp/root/usr/share/bash-completion/completions/quorvelin" "$@") |
    sort | paste -sd' '
}
mkdir "$tmp/cwd" && touch "$tmp/cwd/run.scn"
complete_words quorvelin - | tr ' ' '\n' >"$tmp/completed"
diff -u "$tmp/help" "$tmp/completed" || fail "the bash completion and --help list different options"
# After an option that takes a value (--help shows "arg") the device is not
# offered; after one that takes none, it is (after --help and --version,
# which end the program, nothing is).
"$bin" --help | grep -E '^  -' | grep ' arg ' | options_of '(^  |\[ )--?[A-Za-z][a-z-]*' >"$tmp/valued"
while read -r option; do
  [[ " $(complete_words quorvelin "$option" '') " == *" lo "* ]] || echo "$option"
done < <(grep -vx -e -h -e --help -e -V -e --version "$tmp/help") >"$tmp/completed-valued"
diff -u "$tmp/valued" "$tmp/completed-valued" || fail "the bash completion expects values after other options than --help"
while IFS='|' read -r words expected; do
  read -ra words <<<"$words"
  [ "$(complete_words "${words[@]}" '')" = "$expected" ] || fail "completing '${words[*]} ': $(complete_words "${words[@]}" '')"
done <<'CASES'
quorvelin --test-mode|endless highload once population
quorvelin --log-file|run.scn
quorvelin -q lo|run.scn
quorvelin -t 5 lo run.scn|run.scn
CASES
echo "package test passed: $(basename "$deb"), $(wc -l <"$tmp/help") options"
