#include "gui/relay/RelayWindow.h"

#include <QDateTime>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QStringList>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <limits>

#include "core/DisplayFormat.h"
#include "core/RemoteHosts.h"
#include "gui/relay/RelayClientDelegate.h"
#include "gui/relay/RelayClientModel.h"
#include "gui/relay/RelayMetricView.h"
#include "gui/widgets/StatusBadge.h"
#include "gui/widgets/StoreChangeCoalescer.h"
#include "gui/widgets/WindowBehaviour.h"
#include "gui/widgets/WindowTextStyles.h"
#include "relay/GeminiRelayStore.h"

namespace qm::gui {

namespace {

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// Relative texts ("Started 5m", "Seen now") change by the minute at the finest.
constexpr int kClockRefreshMs = 15'000;

}  // namespace

RelayWindow::RelayWindow(GeminiRelayStore* relay, QWidget* parent, Clock now)
    : QWidget(parent),
      relay_(relay),
      now_(orSystemClock(std::move(now))),
      coalescer_(new StoreChangeCoalescer([this] { redraw(); },
                                          StoreChangeCoalescer::kDefaultInterval, this)),
      badge_(new StatusBadge({}, this)),
      portField_(new QLineEdit(this)),
      start_(new QPushButton(style()->standardIcon(QStyle::SP_MediaPlay), tr("Start"), this)),
      stop_(new QPushButton(style()->standardIcon(QStyle::SP_MediaStop), tr("Stop"), this)),
      started_(new QLabel(this)),
      portMetric_(new RelayMetricView(tr("Port"), QStyle::SP_FileDialogDetailedView, this)),
      requestsMetric_(new RelayMetricView(tr("Requests"), QStyle::SP_BrowserReload, this)),
      clientsMetric_(new RelayMetricView(tr("Clients"), QStyle::SP_DirHomeIcon, this)),
      socketsMetric_(new RelayMetricView(tr("Sockets"), QStyle::SP_DriveNetIcon, this)),
      error_(WindowText::label({}, this, 0.9)),
      unmetered_(WindowText::label({}, this, 0.9)),
      instructions_(WindowText::label({}, this)),
      clientArea_(new QStackedWidget(this)),
      clientView_(new QTreeView(this)),
      clients_(new RelayClientModel([this] { return this->now(); }, this)) {
    setWindowTitle(tr("Gemini Relay"));
    setMinimumSize(680, 460);
    WindowBehaviour::install(this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 14, 18, 14);
    layout->setSpacing(10);

    auto* header = new QHBoxLayout;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(WindowText::label(tr("Gemini Relay"), this, 1.4, true));
    auto* subtitle = WindowText::label(tr("Local HTTP relay for Gemini SDKs and scripts"), this);
    WindowText::setColor(subtitle, WindowText::secondary(this));
    titles->addWidget(subtitle);
    header->addLayout(titles, 1);
    badge_->setObjectName(QStringLiteral("statusBadge"));
    header->addWidget(badge_, 0, Qt::AlignTop);
    layout->addLayout(header);
    layout->addWidget(divider(this));

    auto* controls = new QHBoxLayout;
    auto* portLabel = new QLabel(tr("Port"), this);
    portLabel->setBuddy(portField_);
    portField_->setObjectName(QStringLiteral("portField"));
    portField_->setFixedWidth(96);
    start_->setObjectName(QStringLiteral("startButton"));
    stop_->setObjectName(QStringLiteral("stopButton"));
    started_->setObjectName(QStringLiteral("startedLabel"));
    WindowText::setColor(started_, WindowText::secondary(this));
    controls->addWidget(portLabel);
    controls->addWidget(portField_);
    controls->addWidget(start_);
    controls->addWidget(stop_);
    controls->addSpacing(8);
    controls->addWidget(started_);
    controls->addStretch(1);
    layout->addLayout(controls);

    auto* metrics = new QHBoxLayout;
    metrics->setSpacing(10);
    portMetric_->setObjectName(QStringLiteral("portMetric"));
    requestsMetric_->setObjectName(QStringLiteral("requestsMetric"));
    clientsMetric_->setObjectName(QStringLiteral("clientsMetric"));
    socketsMetric_->setObjectName(QStringLiteral("socketsMetric"));
    for (RelayMetricView* metric : {portMetric_, requestsMetric_, clientsMetric_, socketsMetric_}) {
        metrics->addWidget(metric, 1);
    }
    layout->addLayout(metrics);

    error_->setObjectName(QStringLiteral("errorLabel"));
    WindowText::setColor(error_, WindowText::red());
    WindowText::setSelectable(error_);
    layout->addWidget(error_);

    unmetered_->setObjectName(QStringLiteral("unmeteredLabel"));
    WindowText::setColor(unmetered_, WindowText::orange());
    layout->addWidget(unmetered_);

    instructions_->setObjectName(QStringLiteral("instructionsLabel"));
    WindowText::setSelectable(instructions_);
    layout->addWidget(instructions_);
    layout->addWidget(divider(this));

    auto* clientsHeader = new QHBoxLayout;
    clientsHeader->addWidget(WindowText::label(tr("Active Clients"), this, 1.1, true));
    auto* window = WindowText::label(tr("Last 5 minutes"), this, 0.9);
    WindowText::setColor(window, WindowText::secondary(this));
    clientsHeader->addWidget(window, 1, Qt::AlignBottom);
    layout->addLayout(clientsHeader);

    auto* empty = WindowText::label(tr("No clients seen yet."), this);
    empty->setObjectName(QStringLiteral("noClientsLabel"));
    empty->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    WindowText::setColor(empty, WindowText::secondary(this));
    clientView_->setObjectName(QStringLiteral("clientView"));
    clientView_->setModel(clients_);
    clientView_->setRootIsDecorated(false);
    clientView_->setAlternatingRowColors(true);
    clientView_->setItemDelegateForColumn(RelayClientModel::ClientColumn,
                                          new RelayClientDelegate(clientView_));
    QHeaderView* columns = clientView_->header();
    columns->setStretchLastSection(false);
    columns->setSectionResizeMode(QHeaderView::Interactive);
    // The alias column takes what is left; the others keep their natural widths.
    columns->resizeSection(RelayClientModel::ClientColumn, 200);
    columns->setSectionResizeMode(RelayClientModel::AliasColumn, QHeaderView::Stretch);
    columns->resizeSection(RelayClientModel::RequestsColumn, 90);
    columns->resizeSection(RelayClientModel::SeenColumn, 80);
    clientArea_->addWidget(empty);
    clientArea_->addWidget(clientView_);
    layout->addWidget(clientArea_, 1);

    connect(portField_, &QLineEdit::textChanged, this, &RelayWindow::updateButtons);
    connect(portField_, &QLineEdit::returnPressed, this, &RelayWindow::startRelay);
    connect(start_, &QPushButton::clicked, this, &RelayWindow::startRelay);
    connect(stop_, &QPushButton::clicked, this, [this] {
        if (relay_) relay_->stop();
    });
    if (relay_) {
        connect(relay_, &GeminiRelayStore::changed, coalescer_, &StoreChangeCoalescer::poke);
        shownPort_ = relay_->port();
        portField_->setText(QString::number(shownPort_));
    }
    clockTimer_.setInterval(kClockRefreshMs);
    connect(&clockTimer_, &QTimer::timeout, this, [this] {
        if (isVisible()) redraw();
    });
    clockTimer_.start();
    redraw();
}

std::optional<int> RelayWindow::parsedPort(const QString& text) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok, 10);
    if (!ok) return std::nullopt;
    return int(std::clamp<qlonglong>(value, std::numeric_limits<int>::min(),
                                     std::numeric_limits<int>::max()));
}

void RelayWindow::flushRedraw() {
    coalescer_->flush();
}

void RelayWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (relay_) portField_->setText(QString::number(relay_->port()));
    watchOtherRuns(true);
    redraw();
}

void RelayWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    watchOtherRuns(false);
}

RelayWindow::~RelayWindow() {
    watchOtherRuns(false);
}

// While on screen the window shows a relay another process runs; off screen nobody looks.
void RelayWindow::watchOtherRuns(bool watching) {
    if (!relay_ || watching == watchingOtherRuns_) return;
    watchingOtherRuns_ = watching;
    relay_->watchOtherRuns(watching);
}

void RelayWindow::startRelay() {
    const std::optional<int> port = parsedPort(portField_->text());
    if (!port || !relay_ || relay_->isRunning()) return;
    relay_->start(*port);
    // A port the store refused shows its error without waiting for the next redraw.
    redraw();
}

void RelayWindow::updateButtons() {
    const bool running = relay_ && relay_->isRunning();
    portField_->setEnabled(!running);
    start_->setEnabled(relay_ && !running && parsedPort(portField_->text()).has_value());
    stop_->setEnabled(running);
}

void RelayWindow::redraw() {
    if (!relay_) {
        setEnabled(false);
        return;
    }
    const GeminiRelayStore& relay = *relay_;
    const bool running = relay.isRunning();
    // While running, the field follows the port the relay actually uses.
    if (running && relay.port() != shownPort_) {
        portField_->setText(QString::number(relay.port()));
    }
    shownPort_ = relay.port();

    // A relay that `quotameter-cli relay` (or another instance) runs on the same data folder
    // serves the same keys and history: shown with what that process publishes.
    const std::optional<RelayRun> elsewhere = running || relay.otherRuns().empty()
                                                  ? std::nullopt
                                                  : std::optional(relay.otherRuns().front());
    badge_->setText(running     ? tr("✓ Running")
                    : elsewhere ? tr("✓ Running in another process")
                                : tr("■ Stopped"));
    badge_->setColor(running || elsewhere ? WindowText::green() : WindowText::secondary(this));
    updateButtons();

    const std::optional<std::int64_t> startedAt = elsewhere && elsewhere->startedAt > 0
                                                      ? std::optional(elsewhere->startedAt)
                                                      : relay.startedAt();
    started_->setVisible(startedAt.has_value());
    if (startedAt) {
        started_->setText(tr("Started %1").arg(DisplayFormat::relativeTime(*startedAt, now())));
    }

    const auto& clients = relay.activeClients();
    const int port = elsewhere ? elsewhere->port : relay.port();
    portMetric_->setValue(QString::number(port));
    requestsMetric_->setValue(
        DisplayFormat::formattedCount(elsewhere ? elsewhere->requests : relay.requestsServed()));
    // The other process's clients and sockets are its own to show.
    clientsMetric_->setValue(elsewhere ? QStringLiteral("-") : QString::number(clients.size()));
    socketsMetric_->setValue(elsewhere ? QStringLiteral("-")
                                       : QString::number(relay.activeConnectionCount()));

    // A failed request and records that cannot be saved are told apart, one line each.
    QStringList errors;
    if (relay.lastError()) errors.append(*relay.lastError());
    if (relay.usageSaveError()) errors.append(*relay.usageSaveError());
    const QString error = errors.join(QLatin1Char('\n'));
    error_->setText(error);
    error_->setVisible(!error.isEmpty());

    // Streamed OpenAI-style calls carry no usage unless the client asks for it.
    const std::int64_t unmetered = relay.unmeteredRequests();
    unmetered_->setText((unmetered == 1 ? tr("1 call could not be metered")
                                        : tr("%1 calls could not be metered").arg(unmetered)) +
                        tr(": their answers carried no usage (streamed chat completions need "
                           "stream_options.include_usage)."));
    unmetered_->setWordWrap(true);
    unmetered_->setVisible(unmetered > 0);

    instructions_->setText(
        tr("Use base_url http://127.0.0.1:%1 and key quotameter-<alias>.").arg(port) +
        QLatin1Char('\n') +
        tr("Custom relay keys and Authorization: Bearer are also accepted. Requests are "
           "forwarded to %1 and usageMetadata is recorded locally.")
            .arg(QUrl(RemoteHosts::geminiApi()).host()));

    clients_->setClients(clients);
    clients_->refreshSeen();
    clientArea_->setCurrentIndex(clients.empty() ? 0 : 1);
}

std::int64_t RelayWindow::now() const {
    return now_();
}

}  // namespace qm::gui
