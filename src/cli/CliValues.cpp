#include "accounts/ApiAccountModels.h"
#include "cli/CliCommand.h"
#include "core/UsageModels.h"
#include "ledger/UsageReport.h"

// The fixed sets of the command table, taken from the types they name so that a tool, period
// or provider added there is offered by the help and the completions at once.
namespace qm::cli {

QStringList toolValues() {
    QStringList values;
    for (ProviderKind kind : kAllProviderKinds) values.append(rawValue(kind));
    return values;
}

QStringList periodValues() {
    QStringList values;
    for (ledger::ReportPeriod period :
         {ledger::ReportPeriod::daily, ledger::ReportPeriod::weekly, ledger::ReportPeriod::monthly,
          ledger::ReportPeriod::session})
        values.append(rawValue(period));
    return values;
}

// As the commands take them: "openai" for the stored "openAI".
QStringList providerValues() {
    QStringList values;
    for (ApiAccountProvider provider : kAllApiAccountProviders)
        values.append(rawValue(provider).toLower());
    return values;
}

}  // namespace qm::cli
