#include "gui/relay/RelayWindow.h"

#include <QDateTime>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
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
      m_relay(relay),
      m_now(std::move(now)),
      m_coalescer(new StoreChangeCoalescer([this] { redraw(); },
                                           StoreChangeCoalescer::kDefaultInterval, this)),
      m_badge(new StatusBadge({}, this)),
      m_portField(new QLineEdit(this)),
      m_start(new QPushButton(style()->standardIcon(QStyle::SP_MediaPlay), tr("Start"), this)),
      m_stop(new QPushButton(style()->standardIcon(QStyle::SP_MediaStop), tr("Stop"), this)),
      m_started(new QLabel(this)),
      m_portMetric(new RelayMetricView(tr("Port"), QStyle::SP_FileDialogDetailedView, this)),
      m_requestsMetric(new RelayMetricView(tr("Requests"), QStyle::SP_BrowserReload, this)),
      m_clientsMetric(new RelayMetricView(tr("Clients"), QStyle::SP_DirHomeIcon, this)),
      m_socketsMetric(new RelayMetricView(tr("Sockets"), QStyle::SP_DriveNetIcon, this)),
      m_error(WindowText::label({}, this, 0.9)),
      m_unmetered(WindowText::label({}, this, 0.9)),
      m_instructions(WindowText::label({}, this)),
      m_clientArea(new QStackedWidget(this)),
      m_clientView(new QTreeView(this)),
      m_clients(new RelayClientModel([this] { return this->now(); }, this)) {
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
    m_badge->setObjectName(QStringLiteral("statusBadge"));
    header->addWidget(m_badge, 0, Qt::AlignTop);
    layout->addLayout(header);
    layout->addWidget(divider(this));

    auto* controls = new QHBoxLayout;
    auto* portLabel = new QLabel(tr("Port"), this);
    portLabel->setBuddy(m_portField);
    m_portField->setObjectName(QStringLiteral("portField"));
    m_portField->setFixedWidth(96);
    m_start->setObjectName(QStringLiteral("startButton"));
    m_stop->setObjectName(QStringLiteral("stopButton"));
    m_started->setObjectName(QStringLiteral("startedLabel"));
    WindowText::setColor(m_started, WindowText::secondary(this));
    controls->addWidget(portLabel);
    controls->addWidget(m_portField);
    controls->addWidget(m_start);
    controls->addWidget(m_stop);
    controls->addSpacing(8);
    controls->addWidget(m_started);
    controls->addStretch(1);
    layout->addLayout(controls);

    auto* metrics = new QHBoxLayout;
    metrics->setSpacing(10);
    m_portMetric->setObjectName(QStringLiteral("portMetric"));
    m_requestsMetric->setObjectName(QStringLiteral("requestsMetric"));
    m_clientsMetric->setObjectName(QStringLiteral("clientsMetric"));
    m_socketsMetric->setObjectName(QStringLiteral("socketsMetric"));
    for (RelayMetricView* metric :
         {m_portMetric, m_requestsMetric, m_clientsMetric, m_socketsMetric}) {
        metrics->addWidget(metric, 1);
    }
    layout->addLayout(metrics);

    m_error->setObjectName(QStringLiteral("errorLabel"));
    WindowText::setColor(m_error, WindowText::red());
    WindowText::setSelectable(m_error);
    layout->addWidget(m_error);

    m_unmetered->setObjectName(QStringLiteral("unmeteredLabel"));
    WindowText::setColor(m_unmetered, WindowText::orange());
    layout->addWidget(m_unmetered);

    m_instructions->setObjectName(QStringLiteral("instructionsLabel"));
    WindowText::setSelectable(m_instructions);
    layout->addWidget(m_instructions);
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
    m_clientView->setObjectName(QStringLiteral("clientView"));
    m_clientView->setModel(m_clients);
    m_clientView->setRootIsDecorated(false);
    m_clientView->setAlternatingRowColors(true);
    m_clientView->setItemDelegateForColumn(RelayClientModel::ClientColumn,
                                           new RelayClientDelegate(m_clientView));
    QHeaderView* columns = m_clientView->header();
    columns->setStretchLastSection(false);
    columns->setSectionResizeMode(QHeaderView::Interactive);
    // The alias column takes what is left; the others keep their natural widths.
    columns->resizeSection(RelayClientModel::ClientColumn, 200);
    columns->setSectionResizeMode(RelayClientModel::AliasColumn, QHeaderView::Stretch);
    columns->resizeSection(RelayClientModel::RequestsColumn, 90);
    columns->resizeSection(RelayClientModel::SeenColumn, 80);
    m_clientArea->addWidget(empty);
    m_clientArea->addWidget(m_clientView);
    layout->addWidget(m_clientArea, 1);

    connect(m_portField, &QLineEdit::textChanged, this, &RelayWindow::updateButtons);
    connect(m_portField, &QLineEdit::returnPressed, this, &RelayWindow::startRelay);
    connect(m_start, &QPushButton::clicked, this, &RelayWindow::startRelay);
    connect(m_stop, &QPushButton::clicked, this, [this] {
        if (m_relay) m_relay->stop();
    });
    if (m_relay) {
        connect(m_relay, &GeminiRelayStore::changed, m_coalescer, &StoreChangeCoalescer::poke);
        m_shownPort = m_relay->port();
        m_portField->setText(QString::number(m_shownPort));
    }
    m_clockTimer.setInterval(kClockRefreshMs);
    connect(&m_clockTimer, &QTimer::timeout, this, [this] {
        if (isVisible()) redraw();
    });
    m_clockTimer.start();
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
    m_coalescer->flush();
}

void RelayWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_relay) m_portField->setText(QString::number(m_relay->port()));
    redraw();
}

void RelayWindow::startRelay() {
    const std::optional<int> port = parsedPort(m_portField->text());
    if (!port || !m_relay || m_relay->isRunning()) return;
    m_relay->start(*port);
    // A port the store refused shows its error without waiting for the next redraw.
    redraw();
}

void RelayWindow::updateButtons() {
    const bool running = m_relay && m_relay->isRunning();
    m_portField->setEnabled(!running);
    m_start->setEnabled(m_relay && !running && parsedPort(m_portField->text()).has_value());
    m_stop->setEnabled(running);
}

void RelayWindow::redraw() {
    if (!m_relay) {
        setEnabled(false);
        return;
    }
    const GeminiRelayStore& relay = *m_relay;
    const bool running = relay.isRunning();
    // While running, the field follows the port the relay actually uses.
    if (running && relay.port() != m_shownPort) {
        m_portField->setText(QString::number(relay.port()));
    }
    m_shownPort = relay.port();

    m_badge->setText(running ? tr("✓ Running") : tr("■ Stopped"));
    m_badge->setColor(running ? WindowText::green() : WindowText::secondary(this));
    updateButtons();

    const auto& startedAt = relay.startedAt();
    m_started->setVisible(startedAt.has_value());
    if (startedAt) {
        m_started->setText(tr("Started %1").arg(DisplayFormat::relativeTime(*startedAt, now())));
    }

    const auto& clients = relay.activeClients();
    m_portMetric->setValue(QString::number(relay.port()));
    m_requestsMetric->setValue(DisplayFormat::formattedCount(relay.requestsServed()));
    m_clientsMetric->setValue(QString::number(clients.size()));
    m_socketsMetric->setValue(QString::number(relay.activeConnectionCount()));

    // A failed request and records that cannot be saved are told apart, one line each.
    QStringList errors;
    if (relay.lastError()) errors.append(*relay.lastError());
    if (relay.usageSaveError()) errors.append(*relay.usageSaveError());
    const QString error = errors.join(QLatin1Char('\n'));
    m_error->setText(error);
    m_error->setVisible(!error.isEmpty());

    // Streamed OpenAI-style calls carry no usage unless the client asks for it.
    const std::int64_t unmetered = relay.unmeteredRequests();
    m_unmetered->setText((unmetered == 1 ? tr("1 call could not be metered")
                                         : tr("%1 calls could not be metered").arg(unmetered)) +
                         tr(": their answers carried no usage (streamed chat completions need "
                            "stream_options.include_usage)."));
    m_unmetered->setWordWrap(true);
    m_unmetered->setVisible(unmetered > 0);

    m_instructions->setText(
        tr("Use base_url http://127.0.0.1:%1 and key quotameter-<alias>.").arg(relay.port()) +
        QLatin1Char('\n') +
        tr("Custom relay keys and Authorization: Bearer are also accepted. Requests are "
           "forwarded to %1 and usageMetadata is recorded locally.")
            .arg(QUrl(RemoteHosts::geminiApi()).host()));

    m_clients->setClients(clients);
    m_clients->refreshSeen();
    m_clientArea->setCurrentIndex(clients.empty() ? 0 : 1);
}

std::int64_t RelayWindow::now() const {
    return m_now ? m_now() : QDateTime::currentMSecsSinceEpoch();
}

}  // namespace qm::gui
