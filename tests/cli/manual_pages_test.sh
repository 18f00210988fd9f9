#!/usr/bin/env bash
# Checks the manual pages the build wrote as man and groff read them: no warning, the sections
# a manual page has, and every command and option of the command table.
#   manual_pages_test.sh <share folder of the build> <quotameter-cli>
set -euo pipefail
share=$1
cli=$2
if ! command -v groff >/dev/null || ! command -v man >/dev/null; then
  echo "SKIP: groff or man is not installed (scripts/bootstrap installs them)"
  exit 77
fi
export ASAN_OPTIONS="detect_leaks=0:${ASAN_OPTIONS:-}"
warnings_file=$(mktemp)
trap 'rm -f "$warnings_file"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The lists of the command table, from the completion script (see src/cli/ShellCompletion.h).
table() { "$cli" completions bash --program "$1" | sed -n "s/^    '$2') reply='\(.*\)' ;;\$/\1/p"; }

for program in quotameter-cli quotameter; do
  page=$share/man/man1/$program.1
  [[ -s $page.gz ]] || fail "$page.gz is missing"
  gzip -dc "$page.gz" | cmp -s - "$page" || fail "$page.gz is not $page"
  # -ww: every warning groff knows; man adds its own checks (line breaks it cannot make).
  warnings=$(groff -ww -man -z "$page" 2>&1) || fail "groff failed on $page"
  [[ -z $warnings ]] || fail "groff on $program.1: $warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page.gz" 2>"$warnings_file") ||
    fail "man failed on $page.gz"
  [[ ! -s $warnings_file ]] || fail "man on $program.1: $(cat "$warnings_file")"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES ENVIRONMENT "EXIT STATUS" "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || fail "$program.1 has no $section section"
  done
  for word in $(table "$program" 'opts -') QUOTAMETER_SSH CODEX_HOME CLAUDE_CONFIG_DIR \
    XDG_DATA_HOME usage-index.bin config.json; do
    grep -q -- "$word" <<<"$text" || fail "$program.1 does not name $word"
  done
  lines=$(awk 'length > 80' <<<"$text")
  [[ -z $lines ]] || fail "$program.1 has lines over 80 columns: $lines"
done

# Every command of quotameter-cli is a subsection, with each option of each of its forms.
text=$(MANWIDTH=80 man -l "$share/man/man1/quotameter-cli.1" 2>/dev/null)
for command in $(table quotameter-cli commands) completions manpage; do
  grep -qx "   $command" <<<"$text" || fail "quotameter-cli.1 has no section for $command"
done
while read -r key; do
  for option in $(table quotameter-cli "opts $key"); do
    [[ $option == --help ]] && continue
    grep -qE "^ +$option( |\$)" <<<"$text" || fail "quotameter-cli.1 lacks $key $option"
  done
done < <("$cli" completions bash | sed -n "s/^    'opts \([a-z][a-z ]*\)') .*/\1/p")
text=$(MANWIDTH=80 man -l "$share/man/man1/quotameter.1" 2>/dev/null)
for window in $(table quotameter 'values - --open'); do
  grep -q -- "$window" <<<"$text" || fail "quotameter.1 does not name the window $window"
done

((failures == 0)) || exit 1
echo "manual pages: quotameter.1 and quotameter-cli.1 read without warnings"
