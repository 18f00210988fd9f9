#include "cli/ShellCompletion.h"

// The bash script: bash 4 or later, with or without the bash-completion package.
namespace qm::cli {
namespace {

// @F@ is the function's name, @P@ the program's.
constexpr char kBashDriver[] = R"BASH(
# Offers the words of $1 and those the lookup $2 finds that begin like $3; $4 is the argument
# before it (the provider, for an account id).
@F@_offer() {
  local cur=$3 prefix= word line cli=${COMP_WORDS[0]/#\~/$HOME}
  local -a words
  read -ra words <<<"$1"
  case $2 in
    file)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    hostSelection)
      prefix=${cur%"${cur##*,}"}
      cur=${cur##*,}
      ;&
    host)
      while IFS= read -r line; do
        [[ -n $line && $line != *[[:space:]]* ]] && words+=("$line")
      done < <("$cli" hosts list 2>/dev/null)
      ;;
    accountId)
      while IFS=$'\t' read -r line _; do
        [[ -n $line ]] && words+=("$line")
      done < <("$cli" accounts list --ids --provider "${4-}" 2>/dev/null)
      ;;
  esac
  for word in "${words[@]}"; do
    [[ $word == "$cur"* ]] && COMPREPLY+=("$prefix$word")
  done
}

@F@() {
  local cur=${COMP_WORDS[COMP_CWORD]} key=- command= expect= word reply= fixed= before= i
  local -a args=()
  COMPREPLY=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    # bash splits "--by=model" into "--by", "=" and "model".
    [[ $word == = ]] && continue
    if [[ -n $expect ]]; then
      expect=
      continue
    fi
    if [[ $word == -?* ]]; then
      @F@_table "valued $key"
      [[ " $reply " == *" $word "* ]] && expect=$word
      continue
    fi
    if [[ $key == - ]]; then
      @F@_table commands
      if [[ -n $reply ]]; then
        key=$word command=$word
        continue
      fi
    elif [[ $key == "$command" && ${#args[@]} -eq 0 ]]; then
      @F@_table "subs $command"
      if [[ " $reply " == *" $word "* ]]; then
        key="$command $word"
        continue
      fi
    fi
    args+=("$word")
  done
  [[ $cur == = ]] && cur=
  if [[ -n $expect ]]; then
    @F@_table "values $key $expect"
    fixed=$reply
    @F@_table "lookup $key $expect"
    @F@_offer "$fixed" "$reply" "$cur"
  elif [[ $cur == -* ]]; then
    @F@_table "opts $key"
    @F@_offer "$reply" "" "$cur"
  elif [[ $key == - ]]; then
    @F@_table commands
    @F@_offer "$reply" "" "$cur"
  else
    if [[ $key == "$command" && ${#args[@]} -eq 0 ]]; then
      @F@_table "subs $command"
      fixed=$reply
    fi
    @F@_table "arg $key ${#args[@]}"
    fixed="$fixed $reply"
    ((${#args[@]})) && before=${args[${#args[@]} - 1]}
    @F@_table "arglookup $key ${#args[@]}"
    @F@_offer "$fixed" "$reply" "$cur" "$before"
  fi
}

complete -F @F@ @P@
)BASH";

}  // namespace

QString bashCompletion(const CliProgram& program) {
    const QString function = completionFunction(program);
    QString script = QStringLiteral(
                         "# bash completion for %1, written by `quotameter-cli completions bash`.\n"
                         "\n"
                         "# The command table: what %1 takes, where.\n"
                         "%2_table() {\n"
                         "  case $1 in\n")
                         .arg(program.name, function);
    for (const CompletionEntry& entry : completionTable(program)) {
        QStringList words;
        for (const auto& word : entry.words) words.append(word.first);
        script += QStringLiteral("    '%1') reply='%2' ;;\n").arg(entry.key, words.join(u' '));
    }
    script += QStringLiteral("    *) reply= ;;\n  esac\n}\n");
    return script + QString::fromUtf8(kBashDriver)
                        .replace(QStringLiteral("@F@"), function)
                        .replace(QStringLiteral("@P@"), program.name);
}

}  // namespace qm::cli
