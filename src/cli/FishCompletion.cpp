#include <algorithm>

#include "cli/ShellCompletion.h"

// The fish script: one completion that asks a function for every candidate, with what each
// is after a tab; fish filters them by what is typed.
namespace qm::cli {
namespace {

// @F@ is the functions' prefix, @P@ the program's name.
constexpr char kFishDriver[] = R"FISH(
# What the lookup $lookup finds, each after $prefix; $before is the argument before (the
# provider, for an account id).
function @F@_lookup --argument-names lookup cli cur before prefix
    switch "$lookup"
        case file
            __fish_complete_path "$cur" | string replace -r -- '^' "$prefix"
        case host hostSelection
            set -l lead
            if test "$lookup" = hostSelection
                set lead (string match -r -- '^.*,' "$cur")
            end
            for host in ($cli hosts list 2>/dev/null)
                string match -qr -- '\s' "$host"; or printf '%s%s%s\n' "$prefix" "$lead" "$host"
            end
        case accountId
            $cli accounts list --ids --provider "$before" 2>/dev/null | string replace -r -- '^' "$prefix"
    end
end

function @F@_complete
    set -l tokens (commandline -opc)
    set -l cur (commandline -ct)
    set -l cli (string replace -r -- '^~' "$HOME" $tokens[1])
    set -e tokens[1]
    set -l key -
    set -l command
    set -l expect
    set -l args
    for word in $tokens
        if test -n "$expect"
            set expect
            continue
        end
        if string match -q -- '-?*' "$word"
            if contains -- "$word" (@F@_table "valued $key")
                set expect "$word"
            end
            continue
        end
        if test "$key" = -
            if test (count (@F@_table commands)) -gt 0
                set key "$word"
                set command "$word"
                continue
            end
        else if test "$key" = "$command"; and test (count $args) -eq 0
            if contains -- "$word" (@F@_table "subs $command" | string replace -r '\t.*' '')
                set key "$command $word"
                continue
            end
        end
        set -a args "$word"
    end
    # "--by=model" is one token here.
    set -l prefix
    if test -z "$expect"; and string match -qr -- '^--[^=]+=' "$cur"
        set -l option (string replace -r -- '=.*' '' "$cur")
        if contains -- "$option" (@F@_table "valued $key")
            set expect "$option"
            set prefix "$option="
            set cur (string replace -r -- '^[^=]*=' '' "$cur")
        end
    end
    if test -n "$expect"
        @F@_table "values $key $expect" | string replace -r -- '^' "$prefix"
        set -l lookup (@F@_table "lookup $key $expect")
        @F@_lookup "$lookup" "$cli" "$cur" "" "$prefix"
    else if string match -q -- '-*' "$cur"
        @F@_table "opts $key"
    else if test "$key" = -
        @F@_table commands
    else
        if test "$key" = "$command"; and test (count $args) -eq 0
            @F@_table "subs $command"
        end
        set -l n (count $args)
        @F@_table "arg $key $n"
        set -l lookup (@F@_table "arglookup $key $n")
        set -l before
        test $n -gt 0; and set before $args[-1]
        @F@_lookup "$lookup" "$cli" "$cur" "$before" ""
    end
end

complete -c @P@ -f -a '(@F@_complete)'
)FISH";

// 'text' for fish, where a backslash and a quote are escaped inside single quotes.
QString fishQuoted(const QString& text) {
    QString inner = text;
    inner.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
    return u'\'' + inner + u'\'';
}

}  // namespace

QString fishCompletion(const CliProgram& program) {
    const QString function = completionFunction(program);
    QString script = QStringLiteral(
                         "# fish completion for %1, written by `quotameter-cli completions fish`.\n"
                         "\n"
                         "# The command table: what %1 takes, where, with what it is after a tab.\n"
                         "function %2_table --argument-names what\n"
                         "    switch $what\n")
                         .arg(program.name, function);
    for (const CompletionEntry& entry : completionTable(program)) {
        // A list that says what its words are prints "word<tab>what"; one that does not,
        // the bare words, which the script also compares with what was typed.
        const bool described = std::any_of(entry.words.begin(), entry.words.end(),
                                           [](const auto& word) { return !word.second.isEmpty(); });
        QStringList words;
        for (const auto& [word, what] : entry.words) {
            words << word;
            if (described) words << fishQuoted(what.simplified());
        }
        script +=
            QStringLiteral("        case '%1'\n            printf '%2' %3\n")
                .arg(entry.key, described ? QStringLiteral("%s\\t%s\\n") : QStringLiteral("%s\\n"),
                     words.join(u' '));
    }
    script += QStringLiteral("    end\nend\n");
    return script + QString::fromUtf8(kFishDriver)
                        .replace(QStringLiteral("@F@"), function)
                        .replace(QStringLiteral("@P@"), program.name);
}

}  // namespace qm::cli
