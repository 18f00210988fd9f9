#include "cli/ShellCompletion.h"

// The zsh script: a completion function for fpath (its file is _<program>, autoloaded by
// compinit), which also registers itself when sourced.
namespace qm::cli {
namespace {

// @F@ is the helpers' prefix, @P@ the program's name; the function itself is _@P@.
constexpr char kZshDriver[] = R"ZSH(
# Offers the words of the array named $1 and what the lookup $2 finds; $3 is the argument
# before (the provider, for an account id).
@F@_offer() {
  local line cli=${words[1]/#\~/$HOME}
  local -a offered found
  offered=(${(P)1})
  case $2 in
    (file)
      _files
      return
      ;;
    (hostSelection)
      compset -P '*,'
      ;&
    (host)
      for line in ${(f)"$($cli hosts list 2>/dev/null)"}; do
        [[ $line == *[[:space:]]* ]] || found+=($line)
      done
      ;;
    (accountId)
      for line in ${(f)"$($cli accounts list --ids --provider "$3" 2>/dev/null)"}; do
        found+=("${line%%$'\t'*}:${line#*$'\t'}")
      done
      _describe -t accounts 'account id' found
      return
      ;;
  esac
  compadd -a offered found
}

_@P@() {
  local key=- command= expect= word cur i
  local -a reply args names fixed
  for ((i = 2; i < CURRENT; i++)); do
    word=${words[i]}
    if [[ -n $expect ]]; then
      expect=
      continue
    fi
    if [[ $word == -?* ]]; then
      @F@_table "valued $key"
      (( ${reply[(Ie)$word]} )) && expect=$word
      continue
    fi
    if [[ $key == - ]]; then
      @F@_table commands
      if (( $#reply )); then
        key=$word command=$word
        continue
      fi
    elif [[ $key == "$command" && $#args -eq 0 ]]; then
      @F@_table "subs $command"
      names=(${reply%%:*})
      if (( ${names[(Ie)$word]} )); then
        key="$command $word"
        continue
      fi
    fi
    args+=("$word")
  done
  cur=${words[CURRENT]}
  # "--by=model" is one word here.
  if [[ -z $expect && $cur == --*=* ]]; then
    @F@_table "valued $key"
    if (( ${reply[(Ie)${cur%%=*}]} )); then
      expect=${cur%%=*}
      compset -P '*='
    fi
  fi
  if [[ -n $expect ]]; then
    @F@_table "values $key $expect"
    fixed=($reply)
    @F@_table "lookup $key $expect"
    @F@_offer fixed "$reply[1]" ""
  elif [[ $cur == -* ]]; then
    @F@_table "opts $key"
    _describe -t options option reply
  elif [[ $key == - ]]; then
    @F@_table commands
    (( $#reply )) && _describe -t commands command reply
  else
    if [[ $key == "$command" && $#args -eq 0 ]]; then
      @F@_table "subs $command"
      (( $#reply )) && _describe -t subcommands sub-command reply
    fi
    @F@_table "arg $key $#args"
    fixed=($reply)
    @F@_table "arglookup $key $#args"
    @F@_offer fixed "$reply[1]" "$args[-1]"
  fi
}

if [[ $zsh_eval_context[-1] == loadautofunc ]]; then
  _@P@ "$@"
else
  compdef _@P@ @P@
fi
)ZSH";

// 'text' for zsh: a quote inside closes, escapes and reopens.
QString zshQuoted(const QString& text) {
    QString inner = text;
    return u'\'' + inner.replace(u'\'', QStringLiteral("'\\''")) + u'\'';
}

}  // namespace

QString zshCompletion(const CliProgram& program) {
    const QString function = completionFunction(program);
    QString script =
        QStringLiteral(
            "#compdef %1\n"
            "# zsh completion for %1, written by `quotameter-cli completions zsh`.\n"
            "\n"
            "# The command table: what %1 takes, where; \"word:what it is\" where it says.\n"
            "%2_table() {\n"
            "  case $1 in\n")
            .arg(program.name, function);
    for (const CompletionEntry& entry : completionTable(program)) {
        QStringList words;
        for (const auto& [word, what] : entry.words)
            words.append(zshQuoted(what.isEmpty() ? word : word + u':' + what.simplified()));
        script += QStringLiteral("    ('%1') reply=(%2) ;;\n").arg(entry.key, words.join(u' '));
    }
    script += QStringLiteral("    (*) reply=() ;;\n  esac\n}\n");
    return script + QString::fromUtf8(kZshDriver)
                        .replace(QStringLiteral("@F@"), function)
                        .replace(QStringLiteral("@P@"), program.name);
}

}  // namespace qm::cli
