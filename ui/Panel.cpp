#include "ui/Panel.h"

#include "app/AppState.h"
#include "ui/Icons.h"
#include "ui/PlainText.h"
#include "ui/VolumeRow.h"
#include "ui/Widgets.h"
#include "update/UpdaterViewModel.h"

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace keelbox::ui {

namespace {

constexpr int recentCount = 3;
constexpr int margin = 16;
constexpr int gap = 8; // between the popup and the tray icon or the screen's edge

QHBoxLayout* line(int spacing) {
    auto* layout = new QHBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QToolButton* iconButton(QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::StrongFocus);
    return button;
}

} // namespace

Panel::Panel(const UiContext& ui, QWidget* parent) : QFrame(parent), m_ui(ui) {
    setObjectName(QStringLiteral("panel"));
    setFixedWidth(fixedWidth);
    setFrameShape(QFrame::StyledPanel);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(12);
    addHeader(column);
    addDrives(column);
    addRecent(column);
    addFooter(column);
    connectControls();
    m_autoBackup->setChecked(m_ui.state->autoBackup());
    restyle();
    retranslate();
    setPopup(true);
}

// The name with the help and refresh buttons, and the update line below.
void Panel::addHeader(QVBoxLayout* column) {
    auto* header = line(8);
    header->addWidget(new SymbolLabel("externaldrive.badge.timemachine", Colour::accent,
                                      TextStyle::title3, this));
    m_title = new QLabel(QStringLiteral("Keelbox"), this);
    header->addWidget(m_title);
    header->addStretch(1);
    m_help = iconButton(this);
    m_help->setObjectName(QStringLiteral("help"));
    m_refresh = iconButton(this);
    header->addWidget(m_help);
    header->addWidget(m_refresh);
    column->addLayout(header);
    column->addWidget(divider(this));

    m_update = new QPushButton(this);
    m_update->setObjectName(QStringLiteral("update"));
    m_update->setFlat(true);
    column->addWidget(m_update);
}

// A row per drive, or the line that says there is none, then the automatic backup switch.
void Panel::addDrives(QVBoxLayout* column) {
    // The rows scroll once they would make the panel taller than the screen; header and footer
    // stay in place.
    m_driveScroll = new QScrollArea(this);
    m_driveScroll->setFrameShape(QFrame::NoFrame);
    m_driveScroll->setWidgetResizable(true);
    m_driveScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_driveScroll->setFocusPolicy(Qt::NoFocus);
    m_driveScroll->setFixedHeight(0); // set by fitToContent
    m_drives = new QWidget(m_driveScroll);
    m_drives->setObjectName(QStringLiteral("drives"));
    m_driveList = new QVBoxLayout(m_drives);
    m_driveList->setContentsMargins(0, 0, 0, 0);
    m_driveList->setSpacing(10);
    m_driveScroll->setWidget(m_drives);
    m_driveScroll->viewport()->setAutoFillBackground(false);
    m_drives->setAutoFillBackground(false);
    column->addWidget(m_driveScroll);
    m_emptyBlock = new QWidget(this);
    auto* empty = line(6);
    m_emptyBlock->setLayout(empty);
    empty->setContentsMargins(0, 4, 0, 4);
    empty->addWidget(new SymbolLabel("externaldrive.badge.questionmark", Colour::secondary,
                                     TextStyle::callout, m_emptyBlock));
    m_empty = new QLabel(m_emptyBlock);
    m_empty->setObjectName(QStringLiteral("empty"));
    empty->addWidget(m_empty, 1);
    column->addWidget(m_emptyBlock);
    column->addWidget(divider(this));

    m_autoBackup = new QCheckBox(this);
    m_autoBackup->setObjectName(QStringLiteral("autoBackup"));
    column->addWidget(m_autoBackup);
}

// The newest log entries.
void Panel::addRecent(QVBoxLayout* column) {
    m_recent = new QWidget(this);
    m_recent->setObjectName(QStringLiteral("recent"));
    auto* recent = new QVBoxLayout(m_recent);
    recent->setContentsMargins(0, 0, 0, 0);
    recent->setSpacing(4);
    m_recentTitle = new QLabel(m_recent);
    recent->addWidget(m_recentTitle);
    for (int i = 0; i < recentCount; ++i) {
        auto* entry = line(6);
        auto* dot = new Dot(Colour::secondary, m_recent);
        auto* text = new ElidedLabel(m_recent);
        text->setObjectName(QStringLiteral("recentLine"));
        entry->addWidget(dot, 0, Qt::AlignVCenter);
        entry->addWidget(text, 1);
        recent->addLayout(entry);
        m_recentLines.append({dot, text});
    }
    column->addWidget(m_recent);
    column->addWidget(divider(this));
}

void Panel::addFooter(QVBoxLayout* column) {
    auto* footer = line(-1);
    m_settings = new QPushButton(this);
    m_log = new QPushButton(this);
    m_quit = new QPushButton(this);
    m_quit->setObjectName(QStringLiteral("quit"));
    footer->addWidget(m_settings);
    footer->addWidget(m_log);
    footer->addStretch(1);
    footer->addWidget(m_quit);
    column->addLayout(footer);
}

void Panel::connectControls() {
    app::AppState* state = m_ui.state;
    WindowRouter* router = m_ui.router;
    connect(m_help, &QToolButton::clicked, this, [router] { router->showWindow(helpWindow); });
    connect(m_refresh, &QToolButton::clicked, state, &app::AppState::refreshVolumes);
    connect(m_update, &QPushButton::clicked, m_ui.updater,
            &update::UpdaterViewModel::checkForUpdates);
    connect(m_autoBackup, &QCheckBox::toggled, state, &app::AppState::setAutoBackup);
    connect(m_settings, &QPushButton::clicked, this,
            [router] { router->showWindow(settingsWindow); });
    connect(m_log, &QPushButton::clicked, this, [router] { router->showWindow(logWindow); });
    connect(m_quit, &QPushButton::clicked, this, &Panel::quitRequested);
    auto* quitKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    quitKey->setContext(Qt::WindowShortcut);
    connect(quitKey, &QShortcut::activated, this, &Panel::quitRequested);

    connect(state, &app::AppState::volumesChanged, this, &Panel::showVolumes);
    connect(state, &app::AppState::runningChanged, this, &Panel::showVolumes);
    connect(state, &app::AppState::logChanged, this, &Panel::showLog);
    connect(state, &app::AppState::autoBackupChanged, this, [this] {
        const QSignalBlocker quiet(m_autoBackup);
        m_autoBackup->setChecked(m_ui.state->autoBackup());
    });
    connect(m_ui.updater, &update::UpdaterViewModel::updateAvailableChanged, this,
            &Panel::showUpdate);
    connect(m_ui.updater, &update::UpdaterViewModel::availableVersionStringChanged, this,
            &Panel::showUpdate);
    connect(m_ui.localizer, &app::Localizer::languageChanged, this, &Panel::retranslate);
    // A row reached by Tab scrolls into view.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && m_drives->isAncestorOf(now))
            m_driveScroll->ensureWidgetVisible(now, 0, 10);
    });
    m_fit.setSingleShot(true);
    connect(&m_fit, &QTimer::timeout, this, &Panel::fitToContent);
}

void Panel::setPopup(bool popup) {
    m_popup = popup;
    const bool visible = isVisible();
    // A frameless tool window rather than a Qt::Popup: Wayland refuses grabbing popups that have
    // no parent window with input, and this closes on focus loss all the same.
    setWindowFlags(popup ? Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                         : Qt::Window);
    setWindowTitle(QStringLiteral("Keelbox"));
    if (visible)
        QFrame::show();
}

void Panel::open(std::optional<QPoint> position) {
    fitToContent();
    if (m_popup && position && QGuiApplication::platformName() != QLatin1String("wayland"))
        move(*position);
    QFrame::show();
    raise();
    activateWindow();
    // The first control of the panel takes the keyboard, so it can be used without a pointer.
    m_help->setFocus(Qt::PopupFocusReason);
}

bool Panel::closedByFocusLossJustNow() const {
    return m_focusLost.isValid() && m_focusLost.elapsed() < 400;
}

void Panel::showVolumes() {
    const std::vector<VolumeInfo>& volumes = m_ui.state->volumes();
    QHash<QString, VolumeRow*> kept;
    for (const VolumeInfo& volume : volumes) {
        const QString id = QString::fromStdString(volume.id);
        VolumeRow* row = m_rows.take(id);
        if (!row) {
            row = new VolumeRow(
                m_ui,
                [this](const VolumeInfo& chosen) {
                    m_ui.state->setEditingVolumeID(chosen.id);
                    m_ui.router->showWindow(configWindow);
                },
                m_drives);
        }
        row->setVolume(volume);
        kept.insert(id, row);
    }
    for (VolumeRow* gone : std::as_const(m_rows))
        delete gone;
    m_rows = kept;
    // The list's order, rows that stayed included.
    for (const VolumeInfo& volume : volumes) {
        VolumeRow* row = m_rows.value(QString::fromStdString(volume.id));
        m_driveList->removeWidget(row);
        m_driveList->addWidget(row);
    }
    m_driveScroll->setVisible(!volumes.empty());
    m_emptyBlock->setVisible(volumes.empty());
    updateTabOrder();
    if (isVisible())
        fitToContent();
}

QList<VolumeRow*> Panel::rows() const {
    QList<VolumeRow*> rows;
    for (int i = 0; i < m_driveList->count(); ++i)
        if (auto* row = qobject_cast<VolumeRow*>(m_driveList->itemAt(i)->widget()))
            rows << row;
    return rows;
}

// Tab follows what is drawn, top to bottom and left to right: the rows in list order, however
// long ago each was made.
void Panel::updateTabOrder() {
    QList<QWidget*> chain{m_help, m_refresh, m_update};
    for (VolumeRow* row : rows())
        chain << row->tabChain();
    chain << m_autoBackup << m_settings << m_log << m_quit;
    for (qsizetype i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void Panel::fitToContent() {
    if (QLayout* column = layout())
        column->activate();
    const QScreen* here = screen() ? screen() : QGuiApplication::primaryScreen();
    const int available = here ? here->availableGeometry().height() - 2 * gap : 100000;
    const int rows = m_drives->sizeHint().height();
    // The drive area has a fixed height, so the rest is what the panel needs beside it.
    const int others =
        sizeHint().height() - (m_driveScroll->isHidden() ? 0 : m_driveScroll->minimumHeight());
    // At least about one row, however small the screen.
    const int room = std::max(available - others, std::min(rows, 120));
    m_driveScroll->setVerticalScrollBarPolicy(rows > room ? Qt::ScrollBarAsNeeded
                                                          : Qt::ScrollBarAlwaysOff);
    m_driveScroll->setFixedHeight(std::min(rows, room));
    if (QLayout* column = layout())
        column->activate();
    adjustSize();
}

void Panel::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    // Before the first showing, the parts not shown yet count as hidden for the layouts: the
    // height is measured again now that they are there.
    fitToContent();
}

bool Panel::event(QEvent* event) {
    // A row grew or shrank (a progress block came or went): the panel follows, once per turn.
    if (event->type() == QEvent::LayoutRequest && isVisible())
        m_fit.start(0);
    return QFrame::event(event);
}

void Panel::showLog() {
    const std::vector<LogEntry>& log = m_ui.state->log();
    m_recent->setVisible(!log.empty());
    for (int i = 0; i < recentCount; ++i) {
        auto [dot, text] = m_recentLines[i];
        const bool present = static_cast<std::size_t>(i) < log.size();
        dot->setVisible(present);
        text->setVisible(present);
        if (present) {
            dot->setColour(dotColour(log[static_cast<std::size_t>(i)].kind));
            text->setText(shownText(log[static_cast<std::size_t>(i)].message));
        }
    }
    if (isVisible())
        fitToContent();
}

void Panel::showUpdate() {
    const update::UpdaterViewModel& updater = *m_ui.updater;
    m_update->setVisible(updater.updateAvailable());
    m_update->setText(buttonText(m_ui.localizer->qtext(
        "menu.updateAvailable", {updater.availableVersionString().toStdString()})));
    m_update->setAccessibleName(m_ui.localizer->qtext(
        "menu.updateAvailable", {updater.availableVersionString().toStdString()}));
    if (isVisible())
        fitToContent();
}

void Panel::retranslate() {
    const app::Localizer& loc = *m_ui.localizer;
    m_help->setToolTip(loc.qtext("menu.help"));
    m_refresh->setToolTip(loc.qtext("menu.refresh"));
    m_empty->setText(loc.qtext("menu.empty"));
    m_autoBackup->setText(loc.qtext("menu.autoBackup"));
    m_recentTitle->setText(loc.qtext("menu.recent"));
    m_settings->setText(loc.qtext("menu.settings"));
    m_log->setText(loc.qtext("menu.log"));
    m_quit->setText(loc.qtext("menu.quit"));
    m_quit->setToolTip(QKeySequence(Qt::CTRL | Qt::Key_Q).toString(QKeySequence::NativeText));
    for (QToolButton* button : {m_help, m_refresh})
        button->setAccessibleName(button->toolTip());
    showUpdate();
    showVolumes();
    showLog();
}

void Panel::restyle() {
    const QPalette& palette = this->palette();
    applyTextStyle(m_title, TextStyle::headline);
    applyTextStyle(m_empty, TextStyle::callout, Colour::secondary);
    applyTextStyle(m_autoBackup, TextStyle::callout);
    applyTextStyle(m_recentTitle, TextStyle::caption, Colour::secondary);
    for (const auto& [dot, text] : m_recentLines)
        applyTextStyle(text, TextStyle::caption);
    for (QPushButton* button : {m_settings, m_log, m_quit})
        applyTextStyle(button, TextStyle::callout);
    applyTextStyle(m_update, TextStyle::callout);
    m_help->setIcon(icon("questionmark.circle", palette));
    m_refresh->setIcon(icon("arrow.clockwise", palette));
    m_settings->setIcon(icon("gearshape", palette));
    m_log->setIcon(icon("list.bullet.rectangle", palette));
    const QColor green = colour(Colour::green, palette);
    m_update->setIcon(icon("arrow.down.circle.fill", green));
    const QColor background = tintedBackground(green, 0.12, palette);
    m_update->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; border: none; "
                                           "border-radius: 8px; padding: 8px; text-align: left; }")
                                .arg(background.name()));
}

void Panel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && m_popup) {
        hide();
        return;
    }
    QFrame::keyPressEvent(event);
}

void Panel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && m_popup && isVisible() && !isActiveWindow()) {
        m_focusLost.start();
        hide();
    }
    if (event->type() == QEvent::PaletteChange)
        restyle();
    QFrame::changeEvent(event);
}

QPoint panelPosition(QSize panel, const QRect& available, const QRect& iconGeometry,
                     std::optional<QPoint> pointer) {
    QPoint at;
    if (iconGeometry.isValid() && !iconGeometry.isEmpty() && iconGeometry.topLeft() != QPoint()) {
        // Below an icon in a top panel, above one in a bottom panel; its left edge under the icon.
        const bool top = iconGeometry.center().y() < available.center().y();
        at = {iconGeometry.left(),
              top ? iconGeometry.bottom() + gap : iconGeometry.top() - gap - panel.height()};
    } else if (pointer) {
        const bool top = pointer->y() < available.center().y();
        at = {pointer->x() - panel.width() / 2,
              top ? pointer->y() + gap : pointer->y() - gap - panel.height()};
    } else {
        at = {available.right() - gap - panel.width(), available.top() + gap};
    }
    at.setX(std::clamp(at.x(), available.left(),
                       std::max(available.left(), available.right() + 1 - panel.width())));
    at.setY(std::clamp(at.y(), available.top(),
                       std::max(available.top(), available.bottom() + 1 - panel.height())));
    return at;
}

} // namespace keelbox::ui
