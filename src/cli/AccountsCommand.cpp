#include <unistd.h>

#include <QCoroTask>
#include <QDateTime>
#include <QFile>
#include <QTextStream>
#include <optional>

#include "accounts/AccountStore.h"
#include "cli/CliCommand.h"
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

// Takes "--base-url URL" out of `args`; false when the value is missing or not http(s).
bool takeBaseUrl(QStringList& args, std::optional<QString>& baseUrl) {
    const qsizetype at = args.indexOf(QStringLiteral("--base-url"));
    if (at < 0) return true;
    if (at + 1 >= args.size()) return false;
    if (!isHttpAddress(args[at + 1])) return false;
    baseUrl = args[at + 1];
    args.remove(at, 2);
    return true;
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

int runList(const QStringList& args) {
    std::optional<ApiAccountProvider> only;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--provider")) {
            if (i + 1 >= args.size()) return usageError(missingValue(args[i]));
            only = parseProvider(args[++i]);
            if (!only) return usageError(unknownProvider(args[i]));
        } else {
            return usageError(QStringLiteral("unknown option for accounts list: ") + args[i]);
        }
    }
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

int runPrune(const QStringList& args) {
    if (!args.isEmpty())
        return usageError(QStringLiteral("unknown option for accounts prune: ") + args[0]);
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

int runAdd(const QStringList& args) {
    if (args.isEmpty()) return usageError(QStringLiteral("accounts add needs a provider"));
    const std::optional<ApiAccountProvider> provider = parseProvider(args[0]);
    if (!provider) return usageError(unknownProvider(args[0]));
    QString alias;
    std::optional<QString> detail;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const bool takesValue =
            args[i] == QLatin1String("--alias") || args[i] == QLatin1String("--detail");
        if (takesValue && i + 1 >= args.size()) return usageError(missingValue(args[i]));
        if (args[i] == QLatin1String("--alias")) {
            alias = args[++i];
        } else if (args[i] == QLatin1String("--detail")) {
            detail = args[++i];
        } else {
            return usageError(QStringLiteral("unknown option for accounts add: ") + args[i]);
        }
    }
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

int runRemove(const QStringList& args) {
    if (args.size() > 2)
        return usageError(QStringLiteral("unknown option for accounts remove: ") + args[2]);
    Session session;
    ApiAccountProvider provider{};
    QString id;
    if (const auto exit = accountArguments(args, QStringLiteral("remove"), session, provider, id))
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

int runValidate(QStringList args) {
    std::optional<QString> baseUrl;
    if (!takeBaseUrl(args, baseUrl))
        return usageError(QStringLiteral("--base-url takes an http or https address"));
    if (args.size() > 2)
        return usageError(QStringLiteral("unknown option for accounts validate: ") + args[2]);
    Session session;
    ApiAccountProvider provider{};
    QString id;
    if (const auto exit = accountArguments(args, QStringLiteral("validate"), session, provider, id))
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

int runAccountUsage(QStringList args) {
    std::optional<QString> baseUrl;
    if (!takeBaseUrl(args, baseUrl))
        return usageError(QStringLiteral("--base-url takes an http or https address"));
    int days = 7;
    QStringList positional;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--days")) {
            if (i + 1 >= args.size()) return usageError(missingValue(args[i]));
            const QString value = args[++i];
            if (value != QLatin1String("7") && value != QLatin1String("30"))
                return usageError(QStringLiteral("--days takes 7 or 30"));
            days = value.toInt();
        } else if (args[i].startsWith(QLatin1String("--"))) {
            return usageError(QStringLiteral("unknown option for accounts usage: ") + args[i]);
        } else {
            positional.append(args[i]);
        }
    }
    if (positional.size() > 2)
        return usageError(QStringLiteral("unknown argument for accounts usage: ") + positional[2]);
    Session session;
    ApiAccountProvider provider{};
    QString id;
    if (const auto exit =
            accountArguments(positional, QStringLiteral("usage"), session, provider, id))
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

int runAccounts(const QStringList& args) {
    if (args.isEmpty()) return usageError(QStringLiteral("accounts needs a sub-command"));
    const QString& sub = args[0];
    const QStringList rest = args.mid(1);
    if (sub == QLatin1String("list")) return runList(rest);
    if (sub == QLatin1String("add")) return runAdd(rest);
    if (sub == QLatin1String("remove")) return runRemove(rest);
    if (sub == QLatin1String("prune")) return runPrune(rest);
    if (sub == QLatin1String("validate")) return runValidate(rest);
    if (sub == QLatin1String("usage")) return runAccountUsage(rest);
    return usageError(QStringLiteral("unknown accounts sub-command: ") + sub);
}

const CliCommandRegistration accountsCommand(CliCommand{
    QStringLiteral("accounts"),
    QStringLiteral(
        "accounts list [--provider P]                 API accounts (P: gemini, anthropic, openai, "
        "grok)\n"
        "accounts add P --alias A [--detail D]        add an account; the key is read from stdin\n"
        "accounts remove P ID                         remove an account and its key\n"
        "accounts prune                               remove keys that belong to no account\n"
        "accounts validate P ID [--base-url URL]      check the account's key with the provider\n"
        "accounts usage P ID [--days 7|30] [--base-url URL]\n"
        "                                             usage by model (Anthropic, OpenAI) or key "
        "info"),
    runAccounts});

}  // namespace
}  // namespace qm::cli
