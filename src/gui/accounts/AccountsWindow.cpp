#include "gui/accounts/AccountsWindow.h"

#include <QHideEvent>

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
// emoji. Drawn for the screen's pixels, `ratio` to a point.
QPixmap keySymbol(const QColor& color, qreal ratio) {
    QPixmap pixmap(QSize(44, 44) * ratio);
    pixmap.setDevicePixelRatio(ratio);
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
      accounts_(accounts),
      relay_(relay),
      history_(history),
      openWindow_(std::move(openWindow)),
      now_(orSystemClock(std::move(options.now))),
      endpoints_(options.endpoints),
      model_(new AccountListModel(accounts, this)),
      relayCoalescer_(new StoreChangeCoalescer([this] { updateRelayStatus(); },
                                               StoreChangeCoalescer::kDefaultInterval, this)),
      providers_(new QTabBar(this)),
      relayStatus_(new RelayToolbarStatus(this)),
      relayButton_(
          new QPushButton(style()->standardIcon(QStyle::SP_DriveNetIcon), tr("Relay"), this)),
      keyStorage_(WindowText::label({}, this, 0.85)),
      body_(new QStackedWidget(this)),
      emptyText_(WindowText::label({}, this, 1.1)) {
    setWindowTitle(tr("API Accounts"));
    setMinimumSize(640, 420);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(8);

    layout->addLayout(makeHeader());
    body_->addWidget(makeEmptyPage());
    body_->addWidget(makeRowsPage());
    layout->addWidget(body_, 1);

    connect(providers_, &QTabBar::currentChanged, this, &AccountsWindow::showTab);
    connect(relayButton_, &QPushButton::clicked, this, [this] {
        if (openWindow_) openWindow_(QStringLiteral("relay"));
    });

    connect(model_, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { insertRows(first, last); });
    connect(model_, &QAbstractItemModel::rowsRemoved, this,
            [this](const QModelIndex&, int first, int last) { removeRows(first, last); });
    connect(model_, &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex&, int from, int, const QModelIndex&, int to) {
                moveRow(from, to);
            });
    connect(model_, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& first, const QModelIndex& last) {
                updateRows(first.row(), last.row());
            });
    connect(model_, &QAbstractItemModel::modelReset, this, &AccountsWindow::rebuildRows);
    setUsageStore(new ProviderUsageStore(endpoints_, now_, this));
    if (relay_) {
        connect(relay_, &GeminiRelayStore::changed, relayCoalescer_, &StoreChangeCoalescer::poke);
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

QLayout* AccountsWindow::makeHeader() {
    // The tabs have a row of their own, so that all five show at any width the screen
    // allows; the account actions share the next row with the note on where keys are kept.
    auto* header = new QVBoxLayout;
    auto* tabs = new QHBoxLayout;
    providers_->setObjectName(QStringLiteral("providerPicker"));
    providers_->setAccessibleName(tr("Provider"));
    providers_->setExpanding(false);
    providers_->setDrawBase(false);
    for (ApiAccountProvider provider : kAllApiAccountProviders) {
        providers_->addTab(ProviderUsageText::displayName(provider));
    }
    tabs->addWidget(providers_);
    tabs->addStretch(1);
    header->addLayout(tabs);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    header->addWidget(line);

    auto* actions = new QHBoxLayout;
    keyStorage_->setObjectName(QStringLiteral("keyStorageLabel"));
    WindowText::setColor(keyStorage_, WindowText::secondary(this));
    if (accounts_) keyStorage_->setText(keyStorageText(accounts_->keychain()));
    actions->addWidget(keyStorage_, 1);
    relayStatus_->setObjectName(QStringLiteral("relayStatus"));
    relayButton_->setObjectName(QStringLiteral("relayButton"));
    auto* add = new QPushButton(tr("+ Add"), this);
    add->setObjectName(QStringLiteral("addButton"));
    for (QWidget* control : std::initializer_list<QWidget*>{relayStatus_, relayButton_, add})
        actions->addWidget(control, 0, Qt::AlignVCenter);
    header->addLayout(actions);
    connect(add, &QPushButton::clicked, this, &AccountsWindow::openAddDialog);
    return header;
}

QWidget* AccountsWindow::makeEmptyPage() {
    auto* empty = new QWidget(body_);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->addStretch(1);
    auto* key = new QLabel(empty);
    key->setPixmap(keySymbol(WindowText::secondary(this), devicePixelRatioF()));
    key->setAlignment(Qt::AlignCenter);
    emptyLayout->addWidget(key);
    emptyText_->setObjectName(QStringLiteral("emptyLabel"));
    emptyText_->setAlignment(Qt::AlignCenter);
    WindowText::setColor(emptyText_, WindowText::secondary(this));
    emptyLayout->addWidget(emptyText_);
    auto* emptyAdd = new QPushButton(tr("+ Add Account"), empty);
    emptyAdd->setObjectName(QStringLiteral("emptyAddButton"));
    emptyLayout->addWidget(emptyAdd, 0, Qt::AlignHCenter);
    emptyLayout->addStretch(2);
    connect(emptyAdd, &QPushButton::clicked, this, &AccountsWindow::openAddDialog);
    return empty;
}

QWidget* AccountsWindow::makeRowsPage() {
    auto* scroll = new QScrollArea(body_);
    scroll->setObjectName(QStringLiteral("accountScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* list = new QWidget(scroll);
    rowsLayout_ = new QVBoxLayout(list);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    rowsLayout_->setSpacing(8);
    rowsLayout_->addStretch(1);
    scroll->setWidget(list);
    return scroll;
}

AccountsWindow::~AccountsWindow() {
    usage_->cancelAll();
    watchOtherRelays(false);
}

// On screen, the relay status also names a relay another process runs on the same data folder.
void AccountsWindow::watchOtherRelays(bool watching) {
    if (!relay_ || watching == watchingOtherRelays_) return;
    watchingOtherRelays_ = watching;
    relay_->watchOtherRuns(watching);
}

void AccountsWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    watchOtherRelays(false);
}

ApiAccountProvider AccountsWindow::provider() const {
    return model_->provider();
}

void AccountsWindow::setRemoteHosts(hosts::RemoteHostStore* store) {
    if (machines_) return;
    machines_ = new MachinesPage(store, body_, now_);
    machines_->setObjectName(QStringLiteral("machinesPage"));
    body_->addWidget(machines_);
    providers_->addTab(tr("Machines"));
}

bool AccountsWindow::machinesShown() const {
    return machines_ && providers_->currentIndex() >= int(kAllApiAccountProviders.size());
}

void AccountsWindow::showTab(int index) {
    const bool machines = machinesShown();
    // The accounts' own controls mean nothing beside the machines.
    const QList<QWidget*> controls{relayStatus_, relayButton_, keyStorage_,
                                   findChild<QPushButton*>(QStringLiteral("addButton"))};
    for (QWidget* control : controls) control->setVisible(!machines);
    if (machines) {
        body_->setCurrentWidget(machines_);
        return;
    }
    setProvider(kAllApiAccountProviders[std::size_t(std::max(0, index))]);
}

void AccountsWindow::setProvider(ApiAccountProvider provider) {
    const auto index =
        std::find(kAllApiAccountProviders.begin(), kAllApiAccountProviders.end(), provider) -
        kAllApiAccountProviders.begin();
    if (providers_->currentIndex() != int(index)) {
        providers_->setCurrentIndex(int(index));  // comes back here through currentChanged
        return;
    }
    model_->setProvider(provider);
    updateRelayStatus();
    updateEmptyState();
}

void AccountsWindow::setUsageStore(ProviderUsageStore* store) {
    if (usage_) retire(usage_);
    usage_ = store;
    connect(usage_, &ProviderUsageStore::changed, this, &AccountsWindow::updateUsage);
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
    setUsageStore(new ProviderUsageStore(endpoints_, now_, this));
    setProvider(ApiAccountProvider::gemini);
}

void AccountsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    usage_->attachHistoryStore(history_);
    watchOtherRelays(true);
}

void AccountsWindow::openAddDialog() {
    if (addDialog_) {
        addDialog_->raise();
        return;
    }
    const ApiAccountProvider provider = this->provider();
    auto* dialog = new AddAccountDialog(
        provider,
        [this, provider](const QString& alias, const QString& apiKey,
                         const std::optional<QString>& detail) -> std::optional<QString> {
            if (!accounts_) return tr("The account store is not available.");
            if (auto error = accounts_->addAccount(provider, alias, apiKey, detail)) {
                return error->description;
            }
            return std::nullopt;
        },
        this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    addDialog_ = dialog;
    dialog->open();
}

AccountRowWidget* AccountsWindow::makeRow(int row) {
    const ApiAccountProvider provider = this->provider();
    auto* widget = new AccountRowWidget(model_, row, this);
    const QString id = model_->at(row).summary.id;
    connect(widget, &AccountRowWidget::selectRequested, this, [this, provider, id] {
        perform([&] { return accounts_->setSelected(provider, id); });
    });
    connect(widget, &AccountRowWidget::primaryRequested, this,
            [this, provider, id] { perform([&] { return accounts_->setPrimary(provider, id); }); });
    connect(widget, &AccountRowWidget::activeRequested, this, [this, provider, id](bool active) {
        perform([&] { return accounts_->setActive(provider, id, active); });
    });
    connect(widget, &AccountRowWidget::deleteRequested, this, [this, provider, id] {
        perform([&] { return accounts_->removeAccount(provider, id); });
    });
    if (provider != ApiAccountProvider::grok) {
        widget->addBudgetEditor(
            new AccountBudgetEditor(accounts_, history_, provider, id, now_, widget));
    }
    AccountUsagePanel* panel = widget->usagePanel();
    connect(panel, &AccountUsagePanel::lookbackChanged, this,
            [this, provider, id](int days) { usage_->setLookbackDays(days, provider, id); });
    connect(panel, &AccountUsagePanel::validateRequested, this, [this, provider, id] {
        if (!accounts_) return;
        QCoro::connect(usage_->validate(provider, id, *accounts_), this, [] {});
    });
    connect(panel, &AccountUsagePanel::fetchRequested, this, [this, provider, id] {
        if (!accounts_) return;
        usage_->attachHistoryStore(history_);
        QCoro::connect(usage_->fetchUsage(provider, id, *accounts_), this, [] {});
    });
    panel->setState(usage_->state(provider, id), now());
    return widget;
}

void AccountsWindow::insertRows(int first, int last) {
    for (int row = first; row <= last; ++row) {
        AccountRowWidget* widget = makeRow(row);
        rows_.insert(rows_.begin() + row, widget);
        rowsLayout_->insertWidget(row, widget);
        widget->show();
    }
    updateEmptyState();
}

void AccountsWindow::removeRows(int first, int last) {
    for (int row = last; row >= first; --row) {
        dropRow(rows_[std::size_t(row)]);
        rows_.erase(rows_.begin() + row);
    }
    updateEmptyState();
}

void AccountsWindow::dropRow(AccountRowWidget* widget) {
    // Out of the layout at once, so that the next row inserted lands at its model position;
    // deleted later, since the request that removed it may be this row's own button.
    rowsLayout_->removeWidget(widget);
    widget->hide();
    widget->deleteLater();
}

void AccountsWindow::moveRow(int from, int to) {
    // Model move semantics: `to` is the index before which the row goes in the old order.
    const int target = to > from ? to - 1 : to;
    AccountRowWidget* widget = rows_[std::size_t(from)];
    rows_.erase(rows_.begin() + from);
    rows_.insert(rows_.begin() + target, widget);
    rowsLayout_->removeWidget(widget);
    rowsLayout_->insertWidget(target, widget);
}

void AccountsWindow::updateRows(int first, int last) {
    for (int row = first; row <= last && row < int(rows_.size()); ++row) {
        rows_[std::size_t(row)]->refresh();
    }
}

void AccountsWindow::rebuildRows() {
    for (AccountRowWidget* widget : rows_) dropRow(widget);
    rows_.clear();
    if (model_->rowCount() > 0) {
        insertRows(0, model_->rowCount() - 1);
    } else {
        updateEmptyState();
    }
}

void AccountsWindow::updateUsage() {
    const ApiAccountProvider provider = this->provider();
    const std::int64_t nowMs = now();
    for (AccountRowWidget* widget : rows_) {
        widget->usagePanel()->setState(usage_->state(provider, widget->accountId()), nowMs);
    }
}

void AccountsWindow::updateRelayStatus() {
    const bool gemini = provider() == ApiAccountProvider::gemini;
    relayStatus_->setVisible(gemini && relay_ && !machinesShown());
    relayButton_->setVisible(gemini && !machinesShown());
    if (relay_) {
        const std::vector<RelayRun>& others = relay_->otherRuns();
        relayStatus_->setStatus(relay_->isRunning(), relay_->port(),
                                int(relay_->activeClients().size()),
                                others.empty() ? std::nullopt : std::optional(others.front().port));
    }
}

void AccountsWindow::updateEmptyState() {
    emptyText_->setText(tr("No %1 accounts").arg(ProviderUsageText::displayName(provider())));
    if (machinesShown()) return;
    body_->setCurrentIndex(rows_.empty() ? 0 : 1);
}

void AccountsWindow::perform(const std::function<std::optional<AccountStoreError>()>& operation) {
    if (!accounts_) return;
    const std::optional<AccountStoreError> error = operation();
    if (!error) return;
    // The store kept its data; the controls the user changed go back to it.
    updateRows(0, int(rows_.size()) - 1);
    showError(error->description);
}

void AccountsWindow::showError(const QString& message) {
    errorMessage_ = message;
    if (alert_) {  // one alert at a time, with the latest failure
        alert_->setText(message);
        return;
    }
    auto* alert =
        new QMessageBox(QMessageBox::Warning, tr("Account Error"), message, QMessageBox::Ok, this);
    alert->setObjectName(QStringLiteral("accountErrorAlert"));
    alert->setAttribute(Qt::WA_DeleteOnClose);
    connect(alert, &QMessageBox::finished, this, [this] { errorMessage_.reset(); });
    alert_ = alert;
    alert->open();
}

std::int64_t AccountsWindow::now() const {
    return now_();
}

}  // namespace qm::gui
