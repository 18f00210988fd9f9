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

int runUpdate(const CliArguments& args) {
    const QString from = args.value(QStringLiteral("--from"), RemoteHosts::priceList());
    const bool force = args.isSet(QStringLiteral("--force"));
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

int runPrices(const CliArguments& args) {
    if (args.form().name == QLatin1String("update")) return runUpdate(args);
    const bool json = args.isSet(QStringLiteral("--json"));
    const QString model = args.positional().value(0);
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
    .name = QStringLiteral("prices"),
    .forms =
        {
            {.summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                          "the model prices in effect, or the row MODEL takes"),
             .arguments = {{.name = QStringLiteral("MODEL"), .optional = true}},
             .options = {{.name = QStringLiteral("--json"),
                          .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                                           "one JSON document")}}},
            {.name = QStringLiteral("update"),
             .summary = QT_TRANSLATE_NOOP("quotameter-cli",
                                          "fetch the maintained price list, check it and keep it"),
             .options = {{.name = QStringLiteral("--from"),
                          .valueName = QStringLiteral("URL|FILE"),
                          .description = QT_TRANSLATE_NOOP("quotameter-cli",
                                                           "read the list from here instead"),
                          .lookup = CliLookup::file},
                         {.name = QStringLiteral("--force"),
                          .description = QT_TRANSLATE_NOOP(
                              "quotameter-cli",
                              "take a list that lacks models or prices one at 0")}}},
        },
    .description = QT_TRANSLATE_NOOP(
        "quotameter-cli",
        "Prices are US dollars per million tokens. prices.json in the data folder, written by "
        "prices update, wins over the built-in list; prices-override.json there, in the same "
        "format, wins over both. A model without a price is unpriced, never free."),
    .examples = {{QStringLiteral("prices claude-sonnet-4-5"), ""},
                 {QStringLiteral("prices update --from ./model-prices.json"), ""}},
    .run = runPrices,
});

}  // namespace
}  // namespace qm::cli
