#include "providers/PriceUpdateStore.h"

#include <QDateTime>
#include <QPointer>
#include <QSettings>
#include <QTimeZone>
#include <QUrl>

#include "core/Clock.h"
#include "providers/ProviderHttpSession.h"

namespace qm {
namespace {

const QString kWeeklyKey = QStringLiteral("prices/checkWeekly");
const QString kCheckedKey = QStringLiteral("prices/checkedAtMs");
constexpr qint64 kWeekMs = 7LL * 24 * 60 * 60 * 1000;

// A temporary QSettings writes its value through when it is destroyed, so setValue() on one is
// not lost. clazy:excludeall=writing-to-temporary
QSettings settings() {
    return QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter"));
}

bool isHttp(const QString& from) {
    const QUrl url(from);
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

}  // namespace

QCoro::Task<PriceBook::InstallResult> updatePrices(QString from, QString dataDirectory, bool force,
                                                   std::chrono::milliseconds timeout) {
    PriceBook::InstallResult failed;
    QByteArray body;
    if (isHttp(from)) {
        const ProviderHttpSession session(from, timeout, PriceBook::kListMaxBytes);
        const QString noPath;
        const ProviderQuery noQuery;
        const ProviderHeaders noHeaders;
        const ProviderHttpResponse response = co_await session.get(noPath, noQuery, noHeaders);
        if (response.outcome != ProviderHttpResponse::Outcome::answered) {
            failed.error = from + QStringLiteral(": ") + response.errorText();
            co_return failed;
        }
        if (!response.isSuccess()) {
            failed.error = from + QStringLiteral(": HTTP status %1").arg(response.status);
            co_return failed;
        }
        body = response.body;
    } else {
        const QString path = QUrl(from).isLocalFile() ? QUrl(from).toLocalFile() : from;
        auto bytes = PriceBook::readList(path, &failed.error);
        if (!bytes) co_return failed;
        body = std::move(*bytes);
    }
    const QString today = QDateTime::fromMSecsSinceEpoch(systemNow(), QTimeZone::utc())
                              .toString(QStringLiteral("yyyy-MM-dd"));
    co_return PriceBook::install(body, dataDirectory, today, force);
}

PriceUpdateStore::PriceUpdateStore(QString dataDirectory, QString address, QObject* parent)
    : QObject(parent), dataDirectory_(std::move(dataDirectory)), address_(std::move(address)) {}

QString PriceUpdateStore::sourceText() const {
    const auto table = PriceBook::current();
    for (const ModelPrice& row : table->rows()) {
        if (row.source.startsWith(QLatin1String("updated")) ||
            row.source.startsWith(QLatin1String("bundled"))) {
            return row.source;
        }
    }
    return {};
}

bool PriceUpdateStore::weeklyCheck() {
    return settings().value(kWeeklyKey, false).toBool();
}

void PriceUpdateStore::setWeeklyCheck(bool on) {
    if (on == weeklyCheck()) return;
    settings().setValue(kWeeklyKey, on);
    Q_EMIT changed();
    updateIfDue();
}

QCoro::Task<> PriceUpdateStore::update() {
    if (updating_) co_return;
    updating_ = true;
    status_ = QStringLiteral("Updating prices…");
    Q_EMIT changed();
    QPointer<PriceUpdateStore> self(this);
    const PriceBook::InstallResult result = co_await updatePrices(address_, dataDirectory_);
    if (!self) co_return;
    settings().setValue(kCheckedKey, qint64(systemNow()));
    updating_ = false;
    lastResult_ = result;
    status_ = result.ok ? QStringLiteral("Prices updated: %1 models").arg(result.rows)
                        : QStringLiteral("Price update failed: ") + result.error;
    Q_EMIT changed();
    if (result.ok) Q_EMIT pricesUpdated();
}

void PriceUpdateStore::updateIfDue() {
    if (!weeklyCheck() || updating_) return;
    const qint64 checkedAt = settings().value(kCheckedKey, 0).toLongLong();
    if (systemNow() - checkedAt >= kWeekMs) update();
}

void PriceUpdateStore::startWeeklyChecks() {
    dueTimer_.setInterval(std::chrono::hours(1));
    connect(&dueTimer_, &QTimer::timeout, this, &PriceUpdateStore::updateIfDue,
            Qt::UniqueConnection);
    dueTimer_.start();
    updateIfDue();
}

}  // namespace qm
