#include "gui/TrayIcon.h"

#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QEvent>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <array>

#include "alerts/LimitReadings.h"
#include "claude/ClaudeUsageStore.h"
#include "core/Clock.h"
#include "gui/UsageText.h"
#include "gui/WindowRegistry.h"
#include "gui/mascot/CorgiMascot.h"
#include "gui/panel/MenuBarPanel.h"
#include "gui/widgets/Look.h"
#include "ledger/UsageAggregator.h"

namespace qm::gui {

namespace {

// Notices the popup closing, so the click on the icon that closed it does not reopen it.
class CloseWatch : public QObject {
public:
    CloseWatch(QElapsedTimer* closedAt, QObject* parent) : QObject(parent), closedAt_(closedAt) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Hide) closedAt_->start();
        return QObject::eventFilter(watched, event);
    }

private:
    QElapsedTimer* closedAt_;
};

// Every size a tray or a window frame asks for, at scale 1 and 2, drawn for its pixels rather
// than stretched from another.
constexpr std::array<int, 10> kTrayIconSizes{16, 22, 24, 32, 44, 48, 64, 96, 128, 256};

QImage trayGauge() {
    QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0xE0, 0x8A, 0x3C), 8, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(8, 8, 48, 48), 200 * 16, -220 * 16);
    p.setPen(QPen(QColor(0x33, 0x33, 0x33), 6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(32, 34), QPointF(46, 20));
    return image;
}

const QImage& trayBaseImage() {
    static const QImage image = [] {
        QImage loaded(QStringLiteral(":/menubar-corgi.png"));
        return loaded.isNull() ? trayGauge() : loaded;
    }();
    return image;
}

QImage trayFaceAt(int size) {
    return CorgiMascotAssets::scaled(trayBaseImage(), QSize(size, size))
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// The dot with its ring spans half the icon's side; the ring is wide enough to show at 16
// pixels.
constexpr double kTrayDotShare = 0.5;
double trayRingWidth(int side) {
    return std::max(1.5, side / 12.0);
}

// The level's dot in the bottom right corner, inside a ring of `ring` that parts it from the
// corgi's coat (orange on orange otherwise) at every size.
void drawTrayLevelDot(QImage& image, const QColor& dot, const QColor& ring) {
    const double side = image.width();
    const double outer = side * kTrayDotShare;
    const double width = trayRingWidth(image.width());
    const QRectF disc(side - outer, side - outer, outer, outer);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(ring);
    p.drawEllipse(disc);
    p.setBrush(dot);
    p.drawEllipse(disc.adjusted(width, width, -width, -width));
}

}  // namespace

TrayIcon::TrayIcon(UsageAggregator* aggregator, ClaudeUsageStore* claude, WindowRegistry* windows,
                   QObject* parent)
    : QObject(parent),
      aggregator_(aggregator),
      claude_(claude),
      claudeSources_{claude, nullptr, nullptr},
      windows_(windows),
      menu_(new QMenu()) {
    menu_->setObjectName(QStringLiteral("trayMenu"));
    const auto opener = [this](const char* id) {
        return [this, id] { windows_->open(QString::fromLatin1(id)); };
    };
    // Some StatusNotifierItem hosts (GNOME's AppIndicator extension among them) open the menu
    // on every click and never send the activation that toggles the panel.
    menu_->addAction(tr("Show Panel"), this, [this] { showPanel(anchor()); });
    menu_->addAction(tr("Open Dashboard"), this, opener("dashboard"));
    menu_->addAction(tr("Refresh"), aggregator_, &UsageAggregator::refreshInBackground);
    menu_->addSeparator();
    menu_->addAction(tr("Claude Login"), this, opener("claude-login"));
    menu_->addAction(tr("API Accounts"), this, opener("accounts"));
    menu_->addAction(tr("Gemini Relay"), this, opener("relay"));
    menu_->addAction(tr("Usage Trends"), this, opener("trends"));
    menu_->addSeparator();
    menu_->addAction(tr("Quit"), qApp, &QCoreApplication::quit);
    tray_.setContextMenu(menu_);
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) togglePanel(anchor());
    });
    connect(aggregator_, &UsageAggregator::changed, this, &TrayIcon::update);
    connect(claude_, &ClaudeUsageStore::changed, this, &TrayIcon::update);
    update();
}

TrayIcon::~TrayIcon() {
    delete panel_.data();
    delete menu_;
}

QString TrayIcon::title() const {
    const TimeMs now = systemNow();
    const std::optional<LimitReading> session = fiveHourOf(claudeLimitsNow(claudeSources_, now));
    // A session past its reset shows as the new one it is.
    return aggregator_->menuBarTitle(
        session ? std::optional<double>(currentWindow(*session, now).percent) : std::nullopt);
}

void TrayIcon::setClaudeLimitSources(const ClaudeLimitSources& sources) {
    claudeSources_ = sources;
    claudeSources_.claude = claude_;
    whenClaudeLimitSourcesChange(sources, this, [this] { update(); });
    if (panel_) panel_->setClaudeLimitSources(claudeSources_);
    update();
}

void TrayIcon::show() {
    tray_.show();
}

QRect TrayIcon::anchor() const {
    const QRect icon = tray_.geometry();
    if (icon.isValid() && !icon.isEmpty()) return icon;
    return QRect(QCursor::pos(), QSize(1, 1));
}

void TrayIcon::togglePanel(const QRect& anchor) {
    if (panel_ && panel_->isVisible()) {
        panel_->hide();
        return;
    }
    // A click on the icon while the panel is open first closes the popup, then arrives here.
    if (panelClosed_.isValid() && panelClosed_.elapsed() < 250) return;
    showPanel(anchor);
}

void TrayIcon::showPanel(const QRect& anchor) {
    if (!panel_) {
        panel_ = new MenuBarPanel(aggregator_, claude_,
                                  [this](const QString& id) { windows_->open(id); });
        panel_->setClaudeLimitSources(claudeSources_);
        panel_->installEventFilter(new CloseWatch(&panelClosed_, panel_));
    }
    panel_->popUpAt(anchor);
}

void TrayIcon::update() {
    const TimeMs now = systemNow();
    std::vector<LimitReading> codex;
    if (const auto usage = aggregator_->usage(ProviderKind::codex); usage && usage->planLimits)
        codex = codexLimitReadings(*usage->planLimits);
    // The title keeps its fixed form and counts Codex, Grok and Gemini; the tool tip adds what
    // each tool it leaves out used in the five hours, and the Codex limits, below it. Before the
    // first scan the counts are not zeros but unknown.
    QStringList tip{title()};
    for (ProviderKind kind :
         {ProviderKind::claudeCode, ProviderKind::openCode, ProviderKind::qwenCode}) {
        if (QString line = UsageText::fiveHourUse(aggregator_->usage(kind)); !line.isEmpty())
            tip << line;
    }
    if (QString line = codexLimitsLine(codex, now); !line.isEmpty()) tip << line;
    if (!aggregator_->lastRefreshAt())
        tray_.setToolTip(tr("Reading logs\u2026"));
    else
        tray_.setToolTip(tip.join(QLatin1Char('\n')));
    // The dot shows the fullest limit of either subscription.
    std::vector<LimitReading> limits = codex;
    for (LimitReading& reading : claudeLimitsNow(claudeSources_, now))
        limits.push_back(std::move(reading));
    const std::optional<UsageStatusLevel> level = limitsLevel(limits, now);
    if (iconSet_ && level == shownLevel_) return;
    shownLevel_ = level;
    iconSet_ = true;
    tray_.setIcon(iconWithLevel(level));
}

QIcon TrayIcon::appIcon() {
    static const QIcon icon = [] {
        QIcon made;
        for (int size : kTrayIconSizes) made.addPixmap(QPixmap::fromImage(trayFaceAt(size)));
        return made;
    }();
    return icon;
}

QIcon TrayIcon::iconWithLevel(std::optional<UsageStatusLevel> level) {
    if (!level) return appIcon();
    // The ring in the window colour of the palette in use: white on a light one, dark on a
    // dark one, either way apart from the coat and the dot.
    const QColor ring = QApplication::palette().color(QPalette::Window);
    const QColor dot = Look::levelColour(*level);
    QIcon icon;
    for (int size : kTrayIconSizes) {
        QImage face = trayFaceAt(size);
        drawTrayLevelDot(face, dot, ring);
        icon.addPixmap(QPixmap::fromImage(face));
    }
    return icon;
}

}  // namespace qm::gui
