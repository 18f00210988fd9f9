#!/usr/bin/env bash
# Loads the completion scripts the build wrote into bash, zsh and fish as each shell finds them,
# and completes command lines as a user pressing Tab would. Host names and account ids come from
# the built quotameter-cli, reading a private home. zsh and fish are checked where installed
# (scripts/bootstrap installs both).
#   completions_test.sh <share folder of the build> <quotameter-cli>
set -euo pipefail
share=$1
cli=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share XDG_CACHE_HOME=$work/home/.cache
export ASAN_OPTIONS="detect_leaks=0:${ASAN_OPTIONS:-}"
unset CODEX_HOME CLAUDE_CONFIG_DIR
# The scripts call the program by the name typed, as found on the PATH; fish loads a command's
# completions only for a program it finds there (quotameter's are never run, a stand-in does).
mkdir -p "$work/bin" "$XDG_DATA_HOME/Quotameter"
ln -s "$(realpath "$cli")" "$work/bin/quotameter-cli"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/quotameter"
chmod +x "$work/bin/quotameter"
export PATH=$work/bin:$PATH
cat >"$XDG_DATA_HOME/Quotameter/config.json" <<'JSON'
{"geminiAccounts": [{"id": "feedface0123", "alias": "work"}],
 "anthropicApiAccounts": [{"id": "c0ffee01", "alias": "admin"}],
 "remoteHosts": ["devbox", "user@workstation"]}
JSON

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Each case: the line typed (completing its last word; a trailing space starts a new one), then
# what every shell should offer, sorted.
cases=(
  'quotameter-cli rep|report'
  'quotameter-cli report |daily monthly session weekly'
  'quotameter-cli report daily --by |host model project tool'
  'quotameter-cli report daily --by=mo|--by=model'
  'quotameter-cli report daily --tool c|claudeCode codex'
  'quotameter-cli report daily --tool |claudeCode codex gemini grok openCode qwenCode'
  'quotameter-cli report daily --s|--since'
  'quotameter-cli report weekly --hosts |all devbox local user@workstation'
  'quotameter-cli report weekly --hosts local,d|local,devbox'
  'quotameter-cli usage --json --hosts u|user@workstation'
  'quotameter-cli hosts remove |devbox user@workstation'
  'quotameter-cli accounts |add list prune remove usage validate'
  'quotameter-cli accounts validate gemini |feedface0123'
  'quotameter-cli accounts usage anthropic c0ffee01 --days |30 7'
  'quotameter-cli accounts list --|--help --ids --provider'
  'quotameter-cli statusline |install uninstall'
  'quotameter-cli prices update --f|--force --from'
  'quotameter --open |accounts claude-login dashboard relay trends'
  'quotameter --|--help --open --version'
)

sorted() { tr ' ' '\n' | sed '/^$/d' | sort -u | tr '\n' ' ' | sed 's/ $//'; }

# bash: the script sourced, its function called with the words as bash hands them over.
bash_candidates() {
  local line=$1 program=${1%% *}
  (
    set +eu
    source "$share/bash-completion/completions/$program"
    # bash's own word breaks make "--by=mo" three words: "--by", "=" and "mo".
    read -ra COMP_WORDS <<<"${line//=/ = }"
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    "_${program//-/_}"
    printf '%s\n' "${COMPREPLY[@]}"
  )
}
for program in quotameter-cli quotameter; do
  registered=$(bash -c "source '$share/bash-completion/completions/$program' && complete -p $program")
  [[ $registered == "complete -F _${program//-/_} $program" ]] || fail "bash registers: $registered"
done
for case in "${cases[@]}"; do
  line=${case%%|*} want=${case#*|}
  got=$(bash_candidates "$line" | sorted)
  # bash replaces only the word after "=".
  if [[ $line == *=* ]]; then
    last=${line##* }
    got=${last%%=*}=$(bash_candidates "$line")
  fi
  [[ $got == "$want" ]] || fail "bash: '$line' offers '$got', not '$want'"
done

# fish: the script found in the vendor folder, as `complete -C` asks for it.
if command -v fish >/dev/null; then
  for case in "${cases[@]}"; do
    line=${case%%|*} want=${case#*|}
    got=$(fish --no-config -c "set -p fish_complete_path '$share/fish/vendor_completions.d'
      complete -C '$line'" | cut -f1 | sorted)
    [[ $got == "$want" ]] || fail "fish: '$line' offers '$got', not '$want'"
  done
else
  echo "fish is not installed: its completions are not checked"
fi

# zsh: an interactive zsh on a pseudo-terminal, with the scripts on its fpath and compinit,
# completes each line on Tab; a compadd wrapped around the builtin writes down what each
# completion offers (after the prefix compset set aside). Each key is typed once the shell is
# done with the one before: zsh skips a completion that has more typing queued behind it.
cat >"$work/zsh-driver" <<'ZSH'
zmodload zsh/zpty || exit 3
results=$1 share=$2
shift 2
: >$results
# Waits (at most 10 s) until the results hold more than $1 lines, reading what the shell
# prints meanwhile so that it never blocks on a full terminal.
wait_for_lines() {
  local i chunk
  for ((i = 0; i < 200; i++)); do
    while zpty -rt shell chunk; do :; done
    (( $(wc -l <$results) > $1 )) && return 0
    sleep 0.05
  done
  return 1
}
zpty shell zsh -f -i
zpty -w shell "PS1=; fpath=($share/zsh/vendor-completions \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w shell "compadd() { local -a m; builtin compadd -O m \"\$@\"; print -rl -- \"\${m[@]/#/\$IPREFIX}\" >>$results; builtin compadd \"\$@\"; }"
n=0
for line in "$@"; do
  n=$((n + 1))
  marked=$(( $(wc -l <$results) + 1 ))
  zpty -w shell "print -r -- '== $n' >>$results"
  wait_for_lines $((marked - 1))
  zpty -w -n shell "$line"$'\t'
  wait_for_lines $marked
  zpty -w -n shell $'\C-u'
done
zpty -d shell
ZSH
if command -v zsh >/dev/null; then
  for program in quotameter-cli quotameter; do
    zsh -n "$share/zsh/vendor-completions/_$program" || fail "zsh -n _$program"
  done
  lines=()
  for case in "${cases[@]}"; do lines+=("${case%%|*}"); done
  zsh -f "$work/zsh-driver" "$work/zsh-results" "$share" "${lines[@]}"
  n=0
  for case in "${cases[@]}"; do
    n=$((n + 1))
    got=$(sed -n "/^== $n\$/,/^== $((n + 1))\$/p" "$work/zsh-results" | { grep -v '^== ' || :; } |
      sorted)
    [[ $got == "${case#*|}" ]] || fail "zsh: '${case%%|*}' offers '$got', not '${case#*|}'"
  done
else
  echo "zsh is not installed: its completions are not checked"
fi

((failures == 0)) || exit 1
echo "completions: ${#cases[@]} command lines completed in bash, and in zsh and fish where installed"
