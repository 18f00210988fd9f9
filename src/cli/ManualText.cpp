#include "cli/ManPage.h"

// The written sections of the two manual pages: what the programs are, the files they read and
// write, the environment they heed and how they exit.
namespace qm::cli {
namespace {

const char* const kGathers = QT_TRANSLATE_NOOP(
    "manual",
    "Usage is gathered from the logs the Codex, Gemini, Grok, Claude Code, OpenCode and Qwen "
    "Code command-line agents leave in the home folder; from the Anthropic and OpenAI organisation "
    "usage "
    "interfaces and key checks for xAI and Gemini, for the API accounts registered; from the "
    "Claude web site, read by the application through an embedded browser; and from the "
    "program's own Gemini relay. Costs are local estimates in US dollars from a built-in price "
    "list, except OpenCode's, which records what each call cost; quotameter-cli prices update, "
    "or the dashboard's \"Update Prices\", keeps a newer copy.");

// What both programs read and write.
std::vector<ManualEntry> sharedFiles() {
    return {
        {QStringLiteral("~/.local/share/Quotameter/config.json"),
         QT_TRANSLATE_NOOP("manual",
                           "The API accounts (without their keys), their budgets and the other "
                           "machines (\"remoteHosts\"); shared by both programs, written under a "
                           "lock.")},
        {QStringLiteral("~/.local/share/Quotameter/usage-history.json"),
         QT_TRANSLATE_NOOP("manual",
                           "The usage history: Claude limit snapshots, Gemini relay and API "
                           "usage records; new records go to usage-history.json.journal first.")},
        {QStringLiteral("~/.local/share/Quotameter/prices.json"),
         QT_TRANSLATE_NOOP("manual", "The price list the last price update kept.")},
        {QStringLiteral("~/.local/share/Quotameter/prices-override.json"),
         QT_TRANSLATE_NOOP("manual",
                           "Prices of your own, in the same format; only read, and they win "
                           "over both lists.")},
        {QStringLiteral("~/.local/share/Quotameter/claude-limit-readings.json"),
         QT_TRANSLATE_NOOP("manual",
                           "The Claude limits Claude Code's status line was handed, eight days "
                           "of them.")},
        {QStringLiteral("~/.local/share/Quotameter/claude-resets.json"),
         QT_TRANSLATE_NOOP("manual", "When the Claude limits last read reset.")},
        {QStringLiteral("~/.local/share/Quotameter/api-keys.json"),
         QT_TRANSLATE_NOOP("manual",
                           "The API keys, mode 0600, only when no Secret Service answers; "
                           "otherwise they are kept in the Secret Service (service "
                           "\"Quotameter\", one item per account).")},
        {QStringLiteral("~/.cache/Quotameter/usage-index.bin"),
         QT_TRANSLATE_NOOP("manual",
                           "The usage index over every log, with its journal and lock file; "
                           "rebuilt from the logs when missing, and may be deleted at any "
                           "time.")},
        {QStringLiteral("~/.cache/Quotameter/hosts/"),
         QT_TRANSLATE_NOOP("manual", "The last good answer of each other machine.")},
        {QStringLiteral("~/.codex/sessions, ~/.gemini, ~/.grok/sessions, ~/.claude/projects, "
                        "~/.local/share/opencode, ~/.qwen"),
         QT_TRANSLATE_NOOP("manual", "The agents' logs; only read.")},
    };
}

std::vector<ManualEntry> sharedEnvironment() {
    return {
        {QStringLiteral("CODEX_HOME"),
         QT_TRANSLATE_NOOP("manual", "Where Codex keeps its sessions, instead of ~/.codex.")},
        {QStringLiteral("CLAUDE_CONFIG_DIR"),
         QT_TRANSLATE_NOOP("manual",
                           "Where Claude Code keeps its projects and settings.json, instead of "
                           "~/.claude.")},
        {QStringLiteral("OPENCODE_DB"),
         QT_TRANSLATE_NOOP("manual",
                           "The OpenCode database to read, as OpenCode takes it, instead of "
                           "every opencode*.db of its data folder.")},
        {QStringLiteral("QWEN_HOME, QWEN_RUNTIME_DIR"),
         QT_TRANSLATE_NOOP("manual",
                           "Where Qwen Code keeps its projects and usage, instead of "
                           "~/.qwen.")},
        {QStringLiteral("XDG_DATA_HOME"),
         QT_TRANSLATE_NOOP("manual",
                           "Instead of ~/.local/share for the data folder and OpenCode's.")},
        {QStringLiteral("XDG_CACHE_HOME"),
         QT_TRANSLATE_NOOP("manual", "Instead of ~/.cache for the usage index.")},
        {QStringLiteral("QUOTAMETER_SSH"),
         QT_TRANSLATE_NOOP("manual",
                           "The ssh program that reaches the other machines (a wrapper); ssh "
                           "unless set.")},
        {QStringLiteral("QUOTAMETER_SSH_TIMEOUT"),
         QT_TRANSLATE_NOOP("manual",
                           "Seconds each other machine is given to answer; 20 unless set.")},
    };
}

}  // namespace

ManualSections cliManual() {
    ManualSections sections{
        .description =
            {QT_TRANSLATE_NOOP("manual",
                               "quotameter-cli shows how much of several AI services you have "
                               "used and what it cost, without a display: the same figures as "
                               "the tray application quotameter(1), from the same files."),
             kGathers,
             QT_TRANSLATE_NOOP(
                 "manual",
                 "The program's own options come before the command; each command has its own "
                 "after it, and its own help: quotameter-cli report --help. A value may follow "
                 "its option as the next argument or after an equals sign (--by=model).")},
        .files = sharedFiles(),
        .environment = sharedEnvironment(),
        .exitStatus =
            {{QStringLiteral("0"), QT_TRANSLATE_NOOP("manual", "Done.")},
             {QStringLiteral("1"),
              QT_TRANSLATE_NOOP("manual",
                                "The command could not do what was asked: a file could not be "
                                "read or written, a provider or every machine asked failed, a "
                                "key was refused, a model has no price.")},
             {QStringLiteral("2"),
              QT_TRANSLATE_NOOP("manual",
                                "The command line is wrong: one line on standard error says "
                                "what, and a second which help to read.")}},
        .seeAlso = {QStringLiteral("quotameter(1)"), QStringLiteral("ssh(1)")},
    };
    sections.files.push_back(
        {QStringLiteral("~/.claude/settings.json"),
         QT_TRANSLATE_NOOP("manual",
                           "Claude Code's settings, changed only by statusline install and "
                           "uninstall, which keep the previous file beside it.")});
    return sections;
}

ManualSections appManual() {
    ManualSections sections{
        .description =
            {QT_TRANSLATE_NOOP(
                 "manual",
                 "quotameter sits in the system tray and shows how much of several AI services "
                 "you have used and what it cost: a dashboard of the coding agents, the Claude "
                 "limits, API accounts with budgets and alerts, a Gemini relay and usage "
                 "trends."),
             kGathers,
             QT_TRANSLATE_NOOP(
                 "manual",
                 "One instance runs per user: a second start asks the running one to open a "
                 "window (the dashboard, or the one --open names) and exits. Without a system "
                 "tray the dashboard opens at start. Qt's own options (-platform, -style) are "
                 "passed on to Qt.")},
        .files = sharedFiles(),
        .environment = sharedEnvironment(),
        .exitStatus = {{QStringLiteral("0"),
                        QT_TRANSLATE_NOOP("manual",
                                          "Quit, or handed over to the running "
                                          "instance.")},
                       {QStringLiteral("2"),
                        QT_TRANSLATE_NOOP("manual",
                                          "The command line is wrong (an unknown option or "
                                          "window).")}},
        .examples = {{QStringLiteral("--open trends"),
                      QT_TRANSLATE_NOOP("quotameter-cli",
                                        "open the usage trends, in the running instance if "
                                        "there is one")}},
        .seeAlso = {QStringLiteral("quotameter-cli(1)")},
    };
    for (const ManualEntry& entry : std::initializer_list<ManualEntry>{
             {QStringLiteral("~/.local/share/Quotameter/ClaudeWeb/"),
              QT_TRANSLATE_NOOP("manual", "The Claude sign-in's browser profile.")},
             {QStringLiteral("~/.local/share/Quotameter/alerts-shown.json"),
              QT_TRANSLATE_NOOP("manual", "Which limit and budget alerts were already shown.")},
             {QStringLiteral("~/.config/Quotameter/Quotameter.conf"),
              QT_TRANSLATE_NOOP("manual", "The dashboard's settings.")},
             {QStringLiteral("~/.config/autostart/org.quotameter.Quotameter.desktop"),
              QT_TRANSLATE_NOOP("manual", "Present while \"Start at login\" is on.")},
             {QStringLiteral("$XDG_RUNTIME_DIR/quotameter.sock"),
              QT_TRANSLATE_NOOP("manual",
                                "Where the running instance listens for a second "
                                "start.")}})
        sections.files.push_back(entry);
    sections.environment.push_back(
        {QStringLiteral("XDG_CONFIG_HOME"),
         QT_TRANSLATE_NOOP("manual", "Instead of ~/.config for the settings and autostart.")});
    sections.environment.push_back(
        {QStringLiteral("XDG_RUNTIME_DIR"),
         QT_TRANSLATE_NOOP("manual",
                           "The private folder of the single-instance socket; one under the "
                           "temporary folder is used when it is not one.")});
    sections.environment.push_back(
        {QStringLiteral("QT_QPA_PLATFORM"),
         QT_TRANSLATE_NOOP("manual",
                           "Qt's display platform (xcb, wayland); Qt's other "
                           "variables work as in any Qt program.")});
    return sections;
}

}  // namespace qm::cli
