#include <unistd.h>

#include <QCoroTask>
#include <QDateTime>
#include <QFile>
#include <QTextStream>
#include <optional>

#include "accounts/AccountConfigStore.h"
#include "accounts/AccountStore.h"
#include "cli/CliCommand.h"
#include "core/Clock.h"
#include "core/DisplayFormat.h"
#include "history/UsageHistoryStore.h"
#include "providers/ProviderUsageStore.h"
#include "providers/ProviderUsageText.h"

namespace qm::cli {
namespace {

namespace Text = ProviderUsageText;

// "gemini", "anthropic", "openai" or "openAI", "grok" or "xai", in any case.
std::optional<ApiAccountProvider> parseProvider(const QString& text) {
    const QString name = text.trimmed().toLower();
    if (name == QLatin1String("xai")) return ApiAccountProvider::grok;
    for (ApiAccountProvider provider : kAllApiAccountProviders) {
        if (rawValue(provider).toLower() == name) return provider;
    }
    return std::nullopt;
}

QString unknownProvider(const QString& text) {
    return QStringLiteral("unknown provider %1 (gemini, anthropic, openai or grok)").arg(text);
}

// The real hosts, or --base-url for the account's provider (a stand-in server, a proxy).
ProviderEndpoints endpointsFor(ApiAccountProvider provider, const std::optional<QString>& baseUrl) {
    ProviderEndpoints endpoints;
    if (!baseUrl) return endpoints;
    switch (provider) {
        case ApiAccountProvider::anthropic:
            endpoints.anthropic = *baseUrl;
            break;
        case ApiAccountProvider::openAi:
            endpoints.openAi = *baseUrl;
            break;
        case ApiAccountProvider::grok:
            endpoints.xai = *baseUrl;
            break;
        case ApiAccountProvider::gemini:
            endpoints.gemini = *baseUrl;
            break;
    }
    return endpoints;
}

// --base-url: an http(s) address, or none. False when it is given and is not one.
bool baseUrlOf(const CliArguments& args, std::optional<QString>& baseUrl) {
    if (!args.isSet(QStringLiteral("--base-url"))) return true;
    baseUrl = args.value(QStringLiteral("--base-url"));
    return isHttpAddress(*baseUrl);
}

struct Session {
    QString directory = dataDirectory();
    AccountStore accounts{AccountConfigStore(AccountConfigStore::pathIn(directory)),
                          KeychainStore::forDataDirectory(directory)};

    Session() {
        if (const auto problem = accounts.lastError()) {
            QTextStream(stderr) << "quotameter-cli: warning: " << *problem << "\n";
        }
    }
    std::optional<ApiAccountSummary> find(ApiAccountProvider provider, const QString& id) const {
        for (const ApiAccountSummary& row : accounts.summaries(provider))
            if (row.id == id) return row;
        return std::nullopt;
    }
};

void printAccounts(QTextStream& out, const AccountStore& store, ApiAccountProvider provider) {
    const std::vector<ApiAccountSummary> rows = store.summaries(provider);
    out << Text::displayName(provider) << "\n";
    if (rows.empty()) {
        out << "  No " << Text::displayName(provider) << " accounts\n";
        return;
    }
    const std::optional<QString> selected = store.selectedAccountId(provider);
    for (const ApiAccountSummary& row : rows) {
        out << "  " << (row.alias.isEmpty() ? QStringLiteral("Untitled") : row.alias);
        if (row.isPrimary) out << "  [Primary]";
        if (selected == row.id) out << "  [Selected]";
        if (!row.isActive) out << "  [Inactive]";
        out << "\n    id " << row.id << "\n    "
            << (row.keyPreview.isEmpty() ? QStringLiteral("No key preview") : row.keyPreview);
        if (row.detail && !row.detail->isEmpty())
            out << "   " << Text::detailLabel(provider) << ": " << *row.detail;
        out << "\n";
        const KeychainRead key = store.keychain().read(row.id);
        if (key.error) {
            out << "    The key could not be read: " << key.error->description() << "\n";
        } else if (!key.value) {
            out << "    No key stored: remove this account and add it again\n";
        }
    }
}

// One account a line, "ID<tab>alias", from config.json alone: the completions ask for these
// and must never wait for the secret store.
int printIds(std::optional<ApiAccountProvider> only) {
    const AccountConfigStore config(AccountConfigStore::pathIn(dataDirectory()));
    const ApiAccountStorageData data = config.load(systemNow()).data;
    QTextStream out(stdout);
    for (ApiAccountProvider provider : kAllApiAccountProviders) {
        if (only && provider != *only) continue;
        for (const ApiAccountSummary& row : summaries(data, provider))
            out << row.id << "\t" << DisplayFormat::printable(row.alias) << "\n";
    }
    return kExitOk;
}

int runList(const CliArguments& args) {
    std::optional<ApiAccountProvider> only;
    if (args.isSet(QStringLiteral("--provider"))) {
        only = parseProvider(args.value(QStringLiteral("--provider")));
        if (!only) return usageError(unknownProvider(args.value(QStringLiteral("--provider"))));
    }
    if (args.isSet(QStringLiteral("--ids"))) return printIds(only);
    Session session;
    QTextStream out(stdout);
    out << "Keys are stored in " << session.accounts.keychain().backendDescription() << ".\n";
    for (ApiAccountProvider provider : kAllApiAccountProviders) {
        if (only && provider != *only) continue;
        out << "\n";
        printAccounts(out, session.accounts, provider);
    }
    if (only) return kExitOk;
    if (const std::optional<QStringList> orphans = session.accounts.orphanKeys();
        orphans && !orphans->isEmpty()) {
        out << "\nKeys without an account (`quotameter-cli accounts prune` removes them)\n";
        for (const QString& id : *orphans) out << "  id " << id << "\n";
    }
    return kExitOk;
}

int runPrune(const CliArguments&) {
    Session session;
    QTextStream out(stdout);
    const AccountStore::PruneResult result =
        session.accounts.pruneOrphanKeys([&out](const QString& id) {
            out << "Removing the key without an account: " << id << Qt::endl;
        });
    if (result.error) return failure(*result.error);
    if (result.removed.isEmpty()) out << "Every stored key belongs to an account.\n";
    return kExitOk;
}

int runAdd(const CliArguments& args) {
    if (args.positional().isEmpty())
        return usageError(QStringLiteral("accounts add needs a provider"));
    const std::optional<ApiAccountProvider> provider = parseProvider(args.positional()[0]);
    if (!provider) return usageError(unknownProvider(args.positional()[0]));
    const QString alias = args.value(QStringLiteral("--alias"));
    std::optional<QString> detail;
    if (args.isSet(QStringLiteral("--detail"))) detail = args.value(QStringLiteral("--detail"));
    // The key comes from standard input only, so it never shows in a process list or history.
    if (::isatty(STDIN_FILENO)) QTextStream(stderr) << "Enter the API key, then press Ctrl-D:\n";
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return failure(QStringLiteral("cannot read standard input"));
    const QString key = QString::fromUtf8(input.readAll());

    Session session;
    QString id;
    if (const auto error = session.accounts.addAccount(*provider, alias, key, detail, &id)) {
        return failure(error->description);
    }
    QTextStream(stdout) << "Added " << Text::displayName(*provider) << " account "
                        << ApiAccounts::trimmed(alias) << " (" << id << ")\n";
    if (const auto notice = session.accounts.lastError()) {
        QTextStream(stderr) << "quotameter-cli: warning: " << *notice << "\n";
    }
    return kExitOk;
}

// Parses "<provider> <id>" and checks that the account exists.
std::optional<int> accountArguments(const QStringList& args, const QString& command,
                                    const Session& session, ApiAccountProvider& provider,
                                    QString& id) {
    if (args.size() < 2)
        return usageError(QStringLiteral("accounts ") + command +
                          QStringLiteral(" needs a provider and an account id"));
    const std::optional<ApiAccountProvider> parsed = parseProvider(args[0]);
    if (!parsed) return usageError(unknownProvider(args[0]));
    provider = *parsed;
    id = args[1].trimmed();
    if (!session.find(provider, id)) {
        return failure(QStringLiteral("no ") + Text::displayName(provider) +
                       QStringLiteral(" account with id ") + id);
    }
    return std::nullopt;
}

int runRemove(const CliArguments& args) {
    Session session;
    ApiAccountProvider provider{};
    QString id;
    if (const auto exit =
            accountArguments(args.positional(), QStringLiteral("remove"), session, provider, id))
        return *exit;
    const QString alias = session.find(provider, id)->alias;
    if (const auto error = session.accounts.removeAccount(provider, id)) {
        // The account may be gone already (a failed key deletion); say what happened.
        if (!session.find(provider, id))
            return failure(QStringLiteral("removed ") + alias + QStringLiteral(", but ") +
                           error->description);
        return failure(error->description);
    }
    QTextStream(stdout) << "Removed " << Text::displayName(provider) << " account " << alias
                        << "\n";
    return kExitOk;
}

void printValidation(QTextStream& out, ApiAccountProvider provider, const ProviderValidation& v) {
    out << (v.ok ? "OK  " : "FAILED  ") << Text::validationText(provider, v) << "\n";
    if (v.keyInfo)
        for (const QString& line : Text::keyInfoLines(*v.keyInfo)) out << "  " << line << "\n";
}

void printResult(QTextStream& out, ApiAccountProvider provider, const UsageFetchResult& r) {
    using DisplayFormat::formattedTokens;
    if (r.message && !r.message->isEmpty()) out << *r.message << "\n";
    if (r.keyInfo)
        for (const QString& line : Text::keyInfoLines(*r.keyInfo)) out << "  " << line << "\n";
    if (!r.buckets.empty()) {
        out << "Input " << formattedTokens(r.totalInputTokens()) << "   Output "
            << formattedTokens(r.totalOutputTokens()) << "   Cache "
            << formattedTokens(r.totalCacheTokens()) << "   Cost "
            << DisplayFormat::money(r.totalCostUsd(), MoneyPrecision::SubCent) << "\n\n";
        out << QStringLiteral("%1 %2 %3 %4 %5\n")
                   .arg(QStringLiteral("Model"), -32)
                   .arg(QStringLiteral("Input"), 9)
                   .arg(QStringLiteral("Output"), 9)
                   .arg(QStringLiteral("Cache"), 9)
                   .arg(QStringLiteral("Cost"), 10);
        for (const UsageBucket& b : r.buckets) {
            out << QStringLiteral("%1 %2 %3 %4 %5\n")
                       .arg(b.model, -32)
                       .arg(formattedTokens(b.inputTokens), 9)
                       .arg(formattedTokens(b.outputTokens), 9)
                       .arg(formattedTokens(b.cacheCreationTokens + b.cacheReadTokens +
                                            b.cachedInputTokens),
                            9)
                       .arg(DisplayFormat::money(b.costUsd, MoneyPrecision::SubCent), 10);
        }
    } else if (r.ok && Text::hasUsageReport(provider)) {
        out << "No usage returned for the selected range.\n";
    }
    for (const QString& warning : r.warnings) out << "warning: " << warning << "\n";
    if (!r.ok && r.errorMessage && !r.errorMessage->isEmpty())
        out << "error: " << *r.errorMessage << "\n";
}

int runValidate(const CliArguments& args) {
    std::optional<QString> baseUrl;
    if (!baseUrlOf(args, baseUrl))
        return usageError(QStringLiteral("--base-url takes an http or https address"));
    Session session;
    ApiAccountProvider provider{};
    QString id;
    if (const auto exit =
            accountArguments(args.positional(), QStringLiteral("validate"), session, provider, id))
        return *exit;
    ProviderUsageStore usage(endpointsFor(provider, baseUrl));
    QCoro::waitFor(usage.validate(provider, id, session.accounts));
    const ProviderAccountUsageState state = usage.state(provider, id);
    if (state.errorMessage) return failure(*state.errorMessage);
    QTextStream out(stdout);
    if (!state.validation) return failure(QStringLiteral("no validation result"));
    printValidation(out, provider, *state.validation);
    return state.validation->ok ? kExitOk : kExitFailure;
}

int runAccountUsage(const CliArguments& args) {
    std::optional<QString> baseUrl;
    if (!baseUrlOf(args, baseUrl))
        return usageError(QStringLiteral("--base-url takes an http or https address"));
    const int days = args.value(QStringLiteral("--days"), QStringLiteral("7")).toInt();
    Session session;
    ApiAccountProvider provider{};
    QString id;
    if (const auto exit =
            accountArguments(args.positional(), QStringLiteral("usage"), session, provider, id))
        return *exit;
    // The window records admin usage into the history; so does this. A running application
    // or relay picks the records up from the shared files.
    UsageHistoryStore history(
        UsageHistoryFileStore(UsageHistoryFileStore::pathIn(session.directory)));
    ProviderUsageStore usage(endpointsFor(provider, baseUrl));
    usage.attachHistoryStore(&history);
    usage.setLookbackDays(days, provider, id);
    QCoro::waitFor(usage.fetchUsage(provider, id, session.accounts));
    const ProviderAccountUsageState state = usage.state(provider, id);
    if (state.errorMessage) return failure(*state.errorMessage);
    if (!state.usageResult) return failure(QStringLiteral("no usage result"));
    QTextStream out(stdout);
    out << Text::displayName(provider) << " usage, last " << days << " days ("
        << Text::usageDescription(provider) << ")\n";
    printResult(out, provider, *state.usageResult);
    history.flush();
    if (const auto problem = history.lastError())
        QTextStream(stderr) << "quotameter-cli: warning: " << *problem << "\n";
    return state.usageResult->ok ? kExitOk : kExitFailure;
}

int runAccounts(const CliArguments& args) {
    const QString& form = args.form().name;
    if (form == QLatin1String("list")) return runList(args);
    if (form == QLatin1String("add")) return runAdd(args);
    if (form == QLatin1String("remove")) return runRemove(args);
    if (form == QLatin1String("prune")) return runPrune(args);
    if (form == QLatin1String("validate")) return runValidate(args);
    return runAccountUsage(args);
}

CliArgument providerArgument() {
    return {.name = QStringLiteral("P"),
            .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                             "the provider: gemini, anthropic, openai or grok"),
            .values = providerValues()};
}

CliArgument accountIdArgument() {
    return {.name = QStringLiteral("ID"),
            .description =
                QT_TRANSLATE_NOOP("quotameter-cli", "the account's id, as accounts list shows it"),
            .lookup = CliLookup::accountId};
}

CliOption baseUrlOption() {
    return {.name = QStringLiteral("--base-url"),
            .valueName = QStringLiteral("URL"),
            .description = QT_TRANSLATE_NOOP(
                "quotameter-cli", "ask this http(s) address instead of the provider's own")};
}

const CliCommandRegistration accountsCommand(CliCommand{
    .name = QStringLiteral("accounts"),
    .forms =
        {
            {.name = QStringLiteral("list"),
             .summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                          "the API accounts and where their keys are kept"),
             .options =
                 {{.name = QStringLiteral("--provider"),
                   .valueName = QStringLiteral("P"),
                   .description = QT_TRANSLATE_NOOP(
                       "quotameter-cli", "only this provider's: gemini, anthropic, openai or grok"),
                   .values = providerValues()},
                  {.name = QStringLiteral("--ids"),
                   .description = QT_TRANSLATE_NOOP(
                       "quotameter-cli", "one account a line: its id, a tab and its alias")}}},
            {.name = QStringLiteral("add"),
             .summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                          "add an account; the key is read from standard input"),
             .arguments = {providerArgument()},
             .options = {{.name = QStringLiteral("--alias"),
                          .valueName = QStringLiteral("A"),
                          .description = QT_TRANSLATE_NOOP("quotameter-cli", "the account's name"),
                          .required = true},
                         {.name = QStringLiteral("--detail"),
                          .valueName = QStringLiteral("D"),
                          .description = QT_TRANSLATE_NOOP(
                              "quotameter-cli",
                              "Gemini's project id, Anthropic's or OpenAI's organization id, "
                              "or xAI's team id")}}},
            {.name = QStringLiteral("remove"),
             .summary = QT_TRANSLATE_NOOP("quotameter-cli", "remove an account and its key"),
             .arguments = {providerArgument(), accountIdArgument()}},
            {.name = QStringLiteral("prune"),
             .summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                          "remove the keys that belong to no account")},
            {.name = QStringLiteral("validate"),
             .summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                          "check the account's key with its provider"),
             .arguments = {providerArgument(), accountIdArgument()},
             .options = {baseUrlOption()}},
            {.name = QStringLiteral("usage"),
             .summary = QT_TRANSLATE_NOOP(
                 "quotameter-cli",
                 "the account's usage by model (Anthropic, OpenAI) or its key's details"),
             .arguments = {providerArgument(), accountIdArgument()},
             .options = {{.name = QStringLiteral("--days"),
                          .valueName = QStringLiteral("7|30"),
                          .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                                           "how many days back (7 unless told)"),
                          .values = {QStringLiteral("7"), QStringLiteral("30")},
                          .onlyValues = true},
                         baseUrlOption()}},
        },
    .description = QT_TRANSLATE_NOOP(
        "quotameter-cli",
        "The API accounts of Gemini, Anthropic, OpenAI and xAI whose usage and budgets the "
        "program follows. Their keys are kept in the desktop's Secret Service (GNOME Keyring, "
        "KWallet), or in a private file when none answers; config.json keeps the rest."),
    .examples = {{QStringLiteral("accounts add anthropic --alias work < key.txt"),
                  QT_TRANSLATE_NOOP("quotameter-cli",
                                    "add an Anthropic admin key read from a file")},
                 {QStringLiteral("accounts usage anthropic ID --days 30"), ""}},
    .run = runAccounts,
});

}  // namespace
}  // namespace qm::cli
