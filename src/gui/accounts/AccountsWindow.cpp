#include "gui/accounts/AccountsWindow.h"

#include <qcoro/qcorotask.h>
#include <QDateTime>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "accounts/AccountStore.h"
#include "gui/accounts/AccountBudgetEditor.h"
#include "gui/accounts/AccountListModel.h"
#include "gui/accounts/AccountRowWidget.h"
#include "gui/accounts/AccountUsagePanel.h"
#include "gui/accounts/AddAccountDialog.h"
#include "gui/accounts/MachinesPage.h"
#include "gui/relay/RelayToolbarStatus.h"
#include "gui/widgets/StoreChangeCoalescer.h"
#include "gui/widgets/WindowBehaviour.h"
#include "gui/widgets/WindowTextStyles.h"
#include "history/UsageHistoryStore.h"
#include "providers/ProviderUsageText.h"
#include "relay/GeminiRelayStore.h"

namespace qm::gui {

namespace {

QString keyStorageText(const KeychainStore& keychain) {
    switch (keychain.backendKind()) {
        case SecretBackend::Kind::secretService:
            return QObject::tr("Keys are kept in the system secret store (Secret Service).");
        case SecretBackend::Kind::privateFile:
            return QObject::tr(
                       "No Secret Service answered: keys are kept in %1, readable only "
                       "by you.")
                .arg(keychain.backendDescription());
        case SecretBackend::Kind::memory:
            break;
    }
    return QObject::tr("Keys are kept in memory only and are lost when the program ends.");
}

// A key drawn in `color`: the desktop's icon themes do not reliably have one, nor its fonts an
// emoji.
QPixmap keySymbol(const QColor& color) {
    QPixmap pixmap(44, 44);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawEllipse(QPointF(13, 22), 8, 8);
    painter.drawLine(QPointF(21, 22), QPointF(40, 22));
    painter.drawLine(QPointF(34, 22), QPointF(34, 29));
    painter.drawLine(QPointF(39, 22), QPointF(39, 28));
    return pixmap;
}

}  // namespace

AccountsWindow::AccountsWindow(AccountStore* accounts, GeminiRelayStore* relay,
                               UsageHistoryStore* history,
                               std::function<void(const QString& id)> openWindow, QWidget* parent,
                               Options options)
    : QWidget(parent),
      m_accounts(accounts),
      m_relay(relay),
      m_history(history),
      m_openWindow(std::move(openWindow)),
      m_now(std::move(options.now)),
      m_endpoints(options.endpoints),
      m_model(new AccountListModel(accounts, this)),
      m_relayCoalescer(new StoreChangeCoalescer([this] { updateRelayStatus(); },
                                                StoreChangeCoalescer::kDefaultInterval, this)),
      m_providers(new QTabBar(this)),
      m_relayStatus(new RelayToolbarStatus(this)),
      m_relayButton(
          new QPushButton(style()->standardIcon(QStyle::SP_DriveNetIcon), tr("Relay"), this)),
      m_keyStorage(WindowText::label({}, this, 0.85)),
      m_body(new QStackedWidget(this)),
      m_emptyText(WindowText::label({}, this, 1.1)) {
    setWindowTitle(tr("API Accounts"));
    setMinimumSize(640, 420);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(8);

    auto* header = new QHBoxLayout;
    m_providers->setObjectName(QStringLiteral("providerPicker"));
    m_providers->setAccessibleName(tr("Provider"));
    m_providers->setExpanding(false);
    m_providers->setDrawBase(false);
    for (ApiAccountProvider provider : kAllApiAccountProviders) {
        m_providers->addTab(ProviderUsageText::displayName(provider));
    }
    header->addWidget(m_providers);
    header->addStretch(1);
    m_relayStatus->setObjectName(QStringLiteral("relayStatus"));
    m_relayButton->setObjectName(QStringLiteral("relayButton"));
    auto* add = new QPushButton(tr("+ Add"), this);
    add->setObjectName(QStringLiteral("addButton"));
    header->addWidget(m_relayStatus);
    header->addWidget(m_relayButton);
    header->addWidget(add);
    layout->addLayout(header);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);

    m_keyStorage->setObjectName(QStringLiteral("keyStorageLabel"));
    WindowText::setColor(m_keyStorage, WindowText::secondary(this));
    if (m_accounts) m_keyStorage->setText(keyStorageText(m_accounts->keychain()));
    layout->addWidget(m_keyStorage);

    auto* empty = new QWidget(m_body);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->addStretch(1);
    auto* key = new QLabel(empty);
    key->setPixmap(keySymbol(WindowText::secondary(this)));
    key->setAlignment(Qt::AlignCenter);
    emptyLayout->addWidget(key);
    m_emptyText->setObjectName(QStringLiteral("emptyLabel"));
    m_emptyText->setAlignment(Qt::AlignCenter);
    WindowText::setColor(m_emptyText, WindowText::secondary(this));
    emptyLayout->addWidget(m_emptyText);
    auto* emptyAdd = new QPushButton(tr("+ Add Account"), empty);
    emptyAdd->setObjectName(QStringLiteral("emptyAddButton"));
    emptyLayout->addWidget(emptyAdd, 0, Qt::AlignHCenter);
    emptyLayout->addStretch(2);
    m_body->addWidget(empty);

    auto* scroll = new QScrollArea(m_body);
    scroll->setObjectName(QStringLiteral("accountScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* list = new QWidget(scroll);
    m_rowsLayout = new QVBoxLayout(list);
    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    m_rowsLayout->setSpacing(8);
    m_rowsLayout->addStretch(1);
    scroll->setWidget(list);
    m_body->addWidget(scroll);
    layout->addWidget(m_body, 1);

    connect(m_providers, &QTabBar::currentChanged, this, &AccountsWindow::showTab);
    connect(add, &QPushButton::clicked, this, &AccountsWindow::openAddDialog);
    connect(emptyAdd, &QPushButton::clicked, this, &AccountsWindow::openAddDialog);
    connect(m_relayButton, &QPushButton::clicked, this, [this] {
        if (m_openWindow) m_openWindow(QStringLiteral("relay"));
    });

    connect(m_model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { insertRows(first, last); });
    connect(m_model, &QAbstractItemModel::rowsRemoved, this,
            [this](const QModelIndex&, int first, int last) { removeRows(first, last); });
    connect(m_model, &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex&, int from, int, const QModelIndex&, int to) {
                moveRow(from, to);
            });
    connect(m_model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& first, const QModelIndex& last) {
                updateRows(first.row(), last.row());
            });
    connect(m_model, &QAbstractItemModel::modelReset, this, &AccountsWindow::rebuildRows);
    setUsageStore(new ProviderUsageStore(m_endpoints, m_now, this));
    if (m_relay) {
        connect(m_relay, &GeminiRelayStore::changed, m_relayCoalescer, &StoreChangeCoalescer::poke);
    }
    // "Updated 5m" ages by the minute.
    auto* clock = new QTimer(this);
    clock->setInterval(30'000);
    connect(clock, &QTimer::timeout, this, [this] {
        if (isVisible()) updateUsage();
    });
    clock->start();
    rebuildRows();
    updateRelayStatus();
    WindowBehaviour::install(this);
}

AccountsWindow::~AccountsWindow() {
    m_usage->cancelAll();
}

ApiAccountProvider AccountsWindow::provider() const {
    return m_model->provider();
}

void AccountsWindow::setRemoteHosts(hosts::RemoteHostStore* store) {
    if (m_machines) return;
    m_machines = new MachinesPage(store, m_body, m_now);
    m_machines->setObjectName(QStringLiteral("machinesPage"));
    m_body->addWidget(m_machines);
    m_providers->addTab(tr("Machines"));
}

bool AccountsWindow::machinesShown() const {
    return m_machines && m_providers->currentIndex() >= int(kAllApiAccountProviders.size());
}

void AccountsWindow::showTab(int index) {
    const bool machines = machinesShown();
    // The accounts' own controls mean nothing beside the machines.
    const QList<QWidget*> controls{m_relayStatus, m_relayButton, m_keyStorage,
                                   findChild<QPushButton*>(QStringLiteral("addButton"))};
    for (QWidget* control : controls) control->setVisible(!machines);
    if (machines) {
        m_body->setCurrentWidget(m_machines);
        return;
    }
    setProvider(kAllApiAccountProviders[std::size_t(std::max(0, index))]);
}

void AccountsWindow::setProvider(ApiAccountProvider provider) {
    const auto index =
        std::find(kAllApiAccountProviders.begin(), kAllApiAccountProviders.end(), provider) -
        kAllApiAccountProviders.begin();
    if (m_providers->currentIndex() != int(index)) {
        m_providers->setCurrentIndex(int(index));  // comes back here through currentChanged
        return;
    }
    m_model->setProvider(provider);
    updateRelayStatus();
    updateEmptyState();
}

void AccountsWindow::setUsageStore(ProviderUsageStore* store) {
    if (m_usage) retire(m_usage);
    m_usage = store;
    connect(m_usage, &ProviderUsageStore::changed, this, &AccountsWindow::updateUsage);
    updateUsage();
}

void AccountsWindow::retire(ProviderUsageStore* store) {
    // The window no longer shows it, but a check or fetch still running finishes: what it
    // fetched still reaches the history. The store goes once nothing runs.
    disconnect(store, nullptr, this, nullptr);
    const auto idle = [store] {
        return std::none_of(store->states().begin(), store->states().end(), [](const auto& entry) {
            return entry.second.isValidating || entry.second.isFetching;
        });
    };
    if (idle()) {
        store->deleteLater();
        return;
    }
    connect(store, &ProviderUsageStore::changed, store, [store, idle] {
        if (idle()) store->deleteLater();
    });
}

void AccountsWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    setUsageStore(new ProviderUsageStore(m_endpoints, m_now, this));
    setProvider(ApiAccountProvider::gemini);
}

void AccountsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_usage->attachHistoryStore(m_history);
}

void AccountsWindow::openAddDialog() {
    if (m_addDialog) {
        m_addDialog->raise();
        return;
    }
    const ApiAccountProvider provider = this->provider();
    auto* dialog = new AddAccountDialog(
        provider,
        [this, provider](const QString& alias, const QString& apiKey,
                         const std::optional<QString>& detail) -> std::optional<QString> {
            if (!m_accounts) return tr("The account store is not available.");
            if (auto error = m_accounts->addAccount(provider, alias, apiKey, detail)) {
                return error->description;
            }
            return std::nullopt;
        },
        this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_addDialog = dialog;
    dialog->open();
}

AccountRowWidget* AccountsWindow::makeRow(int row) {
    const ApiAccountProvider provider = this->provider();
    auto* widget = new AccountRowWidget(provider, m_model->at(row), this);
    const QString id = m_model->at(row).summary.id;
    connect(widget, &AccountRowWidget::selectRequested, this, [this, provider, id] {
        perform([&] { return m_accounts->setSelected(provider, id); });
    });
    connect(widget, &AccountRowWidget::primaryRequested, this, [this, provider, id] {
        perform([&] { return m_accounts->setPrimary(provider, id); });
    });
    connect(widget, &AccountRowWidget::activeRequested, this, [this, provider, id](bool active) {
        perform([&] { return m_accounts->setActive(provider, id, active); });
    });
    connect(widget, &AccountRowWidget::deleteRequested, this, [this, provider, id] {
        perform([&] { return m_accounts->removeAccount(provider, id); });
    });
    if (provider != ApiAccountProvider::grok) {
        widget->addBudgetEditor(
            new AccountBudgetEditor(m_accounts, m_history, provider, id, m_now, widget));
    }
    AccountUsagePanel* panel = widget->usagePanel();
    connect(panel, &AccountUsagePanel::lookbackChanged, this,
            [this, provider, id](int days) { m_usage->setLookbackDays(days, provider, id); });
    connect(panel, &AccountUsagePanel::validateRequested, this, [this, provider, id] {
        if (!m_accounts) return;
        QCoro::connect(m_usage->validate(provider, id, *m_accounts), this, [] {});
    });
    connect(panel, &AccountUsagePanel::fetchRequested, this, [this, provider, id] {
        if (!m_accounts) return;
        m_usage->attachHistoryStore(m_history);
        QCoro::connect(m_usage->fetchUsage(provider, id, *m_accounts), this, [] {});
    });
    panel->setState(m_usage->state(provider, id), now());
    return widget;
}

void AccountsWindow::insertRows(int first, int last) {
    for (int row = first; row <= last; ++row) {
        AccountRowWidget* widget = makeRow(row);
        m_rows.insert(m_rows.begin() + row, widget);
        m_rowsLayout->insertWidget(row, widget);
        widget->show();
    }
    updateEmptyState();
}

void AccountsWindow::removeRows(int first, int last) {
    for (int row = last; row >= first; --row) {
        // Later: the request that removed it may be this row's own button.
        m_rows[std::size_t(row)]->hide();
        m_rows[std::size_t(row)]->deleteLater();
        m_rows.erase(m_rows.begin() + row);
    }
    updateEmptyState();
}

void AccountsWindow::moveRow(int from, int to) {
    // Model move semantics: `to` is the index before which the row goes in the old order.
    const int target = to > from ? to - 1 : to;
    AccountRowWidget* widget = m_rows[std::size_t(from)];
    m_rows.erase(m_rows.begin() + from);
    m_rows.insert(m_rows.begin() + target, widget);
    m_rowsLayout->removeWidget(widget);
    m_rowsLayout->insertWidget(target, widget);
}

void AccountsWindow::updateRows(int first, int last) {
    for (int row = first; row <= last && row < int(m_rows.size()); ++row) {
        m_rows[std::size_t(row)]->setRow(m_model->at(row));
    }
}

void AccountsWindow::rebuildRows() {
    for (AccountRowWidget* widget : m_rows) widget->deleteLater();
    m_rows.clear();
    if (m_model->rowCount() > 0) {
        insertRows(0, m_model->rowCount() - 1);
    } else {
        updateEmptyState();
    }
}

void AccountsWindow::updateUsage() {
    const ApiAccountProvider provider = this->provider();
    const std::int64_t nowMs = now();
    for (AccountRowWidget* widget : m_rows) {
        widget->usagePanel()->setState(m_usage->state(provider, widget->row().summary.id), nowMs);
    }
}

void AccountsWindow::updateRelayStatus() {
    const bool gemini = provider() == ApiAccountProvider::gemini;
    m_relayStatus->setVisible(gemini && m_relay && !machinesShown());
    m_relayButton->setVisible(gemini && !machinesShown());
    if (m_relay) {
        m_relayStatus->setStatus(m_relay->isRunning(), m_relay->port(),
                                 int(m_relay->activeClients().size()));
    }
}

void AccountsWindow::updateEmptyState() {
    m_emptyText->setText(tr("No %1 accounts").arg(ProviderUsageText::displayName(provider())));
    if (machinesShown()) return;
    m_body->setCurrentIndex(m_rows.empty() ? 0 : 1);
}

void AccountsWindow::perform(const std::function<std::optional<AccountStoreError>()>& operation) {
    if (!m_accounts) return;
    const std::optional<AccountStoreError> error = operation();
    if (!error) return;
    // The store kept its data; the controls the user changed go back to it.
    updateRows(0, int(m_rows.size()) - 1);
    showError(error->description);
}

void AccountsWindow::showError(const QString& message) {
    m_errorMessage = message;
    if (m_alert) {  // one alert at a time, with the latest failure
        m_alert->setText(message);
        return;
    }
    auto* alert =
        new QMessageBox(QMessageBox::Warning, tr("Account Error"), message, QMessageBox::Ok, this);
    alert->setObjectName(QStringLiteral("accountErrorAlert"));
    alert->setAttribute(Qt::WA_DeleteOnClose);
    connect(alert, &QMessageBox::finished, this, [this] { m_errorMessage.reset(); });
    m_alert = alert;
    alert->open();
}

std::int64_t AccountsWindow::now() const {
    return m_now ? m_now() : QDateTime::currentMSecsSinceEpoch();
}

}  // namespace qm::gui
