#include <qcoro/qcorotask.h>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include "cli/CliCommand.h"
#include "core/Pricing.h"
#include "providers/PriceUpdateStore.h"

namespace qm::cli {
namespace {

// The rates the cost formulas charge: a rate the row leaves out shows what is charged instead.
QJsonObject rowJson(const ModelPrice& row) {
    QJsonObject object{
        {QStringLiteral("model"), row.model},
        {QStringLiteral("provider"), rawValue(row.provider)},
        {QStringLiteral("inputPerMTok"), row.input},
        {QStringLiteral("outputPerMTok"), row.output},
        {QStringLiteral("cacheReadPerMTok"), row.cacheRead.value_or(row.input)},
        {QStringLiteral("cacheWritePerMTok"), row.cacheWrite.value_or(row.input)},
        {QStringLiteral("source"), row.source},
    };
    if (row.above200k) {
        object.insert(QStringLiteral("inputAbove200kPerMTok"),
                      row.above200k->input.value_or(row.input));
        object.insert(QStringLiteral("outputAbove200kPerMTok"),
                      row.above200k->output.value_or(row.output));
    }
    return object;
}

QString rate(double perMTok) {
    return QString::number(perMTok, 'g', 6);
}

void printRows(QTextStream& out, const std::vector<ModelPrice>& rows) {
    out << QStringLiteral("%1 %2 %3 %4 %5 %6  %7\n")
               .arg(QStringLiteral("PROVIDER"), -10)
               .arg(QStringLiteral("MODEL"), -44)
               .arg(QStringLiteral("INPUT"), 8)
               .arg(QStringLiteral("OUTPUT"), 8)
               .arg(QStringLiteral("CACHE R"), 8)
               .arg(QStringLiteral("CACHE W"), 8)
               .arg(QStringLiteral("SOURCE"));
    for (const ModelPrice& row : rows) {
        QString line = QStringLiteral("%1 %2 %3 %4 %5 %6  %7")
                           .arg(rawValue(row.provider), -10)
                           .arg(row.model, -44)
                           .arg(rate(row.input), 8)
                           .arg(rate(row.output), 8)
                           .arg(rate(row.cacheRead.value_or(row.input)), 8)
                           .arg(rate(row.cacheWrite.value_or(row.input)), 8)
                           .arg(row.source);
        if (row.above200k) {
            line += QStringLiteral(", above 200k input %1 / output %2")
                        .arg(rate(row.above200k->input.value_or(row.input)),
                             rate(row.above200k->output.value_or(row.output)));
        }
        out << line << "\n";
    }
    out << "US dollars per million tokens.\n";
}

int runUpdate(const QStringList& args) {
    QString from = RemoteHosts::priceList();
    bool force = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--from")) {
            if (i + 1 >= args.size()) return usageError(missingValue(args[i]));
            from = args[++i];
        } else if (args[i] == QLatin1String("--force")) {
            force = true;
        } else {
            return usageError(QStringLiteral("unknown option for prices update: ") + args[i]);
        }
    }
    const PriceBook::InstallResult result =
        QCoro::waitFor(updatePrices(from, dataDirectory(), force));
    if (!result.ok) {
        QTextStream err(stderr);
        err << "quotameter-cli: prices not updated: " << result.error << "\n";
        if (result.implausible) {
            err << QCoreApplication::translate(
                       "PricesCommand",
                       "The prices in effect are kept; prices update --force takes the list "
                       "anyway.")
                << "\n";
        }
        return kExitFailure;
    }
    QTextStream(stdout) << "Prices updated: " << result.rows << " models from " << from << "\n";
    return kExitOk;
}

int runPrices(const QStringList& args) {
    if (!args.isEmpty() && args.first() == QLatin1String("update")) return runUpdate(args.mid(1));
    bool json = false;
    QString model;
    for (const QString& arg : args) {
        if (arg == QLatin1String("--json")) {
            json = true;
        } else if (arg.startsWith(QLatin1Char('-')) || !model.isEmpty()) {
            return usageError(QStringLiteral("unexpected argument for prices: ") + arg);
        } else {
            model = arg;
        }
    }
    QTextStream err(stderr);
    for (const QString& warning : PriceBook::use(dataDirectory()))
        err << "warning: " << warning << "\n";
    std::vector<ModelPrice> rows;
    if (model.isEmpty()) {
        rows = PriceBook::current()->rows();
    } else {
        for (PriceProvider provider : {PriceProvider::anthropic, PriceProvider::openai,
                                       PriceProvider::gemini, PriceProvider::xai}) {
            if (auto row = PriceBook::find(provider, model)) rows.push_back(*row);
        }
    }
    QTextStream out(stdout);
    if (json) {
        QJsonArray list;
        for (const ModelPrice& row : rows) list.append(rowJson(row));
        QJsonObject root{{QStringLiteral("rows"), list}};
        if (!model.isEmpty()) root.insert(QStringLiteral("unpriced"), rows.empty());
        out << QJsonDocument(root).toJson(QJsonDocument::Indented);
    } else if (rows.empty()) {
        out << model << ": unpriced (no row for it; add one in " << PriceBook::kOverrideFile
            << ")\n";
    } else {
        printRows(out, rows);
    }
    return model.isEmpty() || !rows.empty() ? kExitOk : kExitFailure;
}

const CliCommandRegistration pricesCommand(CliCommand{
    QStringLiteral("prices"),
    QStringLiteral("prices [--json] [MODEL]   the model prices in effect, or the row MODEL takes\n"
                   "prices update [--from URL|FILE] [--force]   bring the maintained price list;\n"
                   "  --force takes one that looks incomplete"),
    runPrices});

}  // namespace
}  // namespace qm::cli
