#include "ui/VolumeRow.h"

#include "app/AppState.h"
#include "app/LogText.h"
#include "ui/Icons.h"
#include "ui/PlainText.h"
#include "ui/Widgets.h"

#include <QDateTime>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace keelbox::ui {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QHBoxLayout* row(int spacing) {
    auto* layout = new QHBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

// "today 14:02", "yesterday 09:15" or "4 Dec 14:02" in local time, in the current language.
std::string lastBackupText(Date when, const app::Localizer& loc) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count());
    const QLocale locale(loc.language() == AppLanguage::polish ? QLocale::Polish
                                                               : QLocale::English);
    const QString time = locale.toString(local.time(), QStringLiteral("HH:mm"));
    const qint64 days = local.date().daysTo(QDate::currentDate());
    if (days == 0)
        return loc.text("row.today", {time.toStdString()});
    if (days == 1)
        return loc.text("row.yesterday", {time.toStdString()});
    return locale.toString(local, QStringLiteral("d MMM HH:mm")).toStdString();
}

} // namespace

VolumeRow::VolumeRow(const UiContext& ui, std::function<void(const VolumeInfo&)> openConfig,
                     QWidget* parent)
    : QFrame(parent), m_ui(ui), m_openConfig(std::move(openConfig)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(6);
    addSummary(column);
    addProgress(column);
    addCommands(column);
    connectControls();
    nameParts();
    restyle();
}

// Top line: icon, name / capacity / status, eject.
void VolumeRow::addSummary(QVBoxLayout* column) {
    auto* top = row(8);
    m_icon = new SymbolLabel("externaldrive.fill", Colour::secondary, TextStyle::title3, this);
    top->addWidget(m_icon, 0, Qt::AlignVCenter);
    auto* lines = new QVBoxLayout;
    lines->setSpacing(1);
    // Long labels end in an ellipsis rather than being cut at the row's edge.
    m_name = new ElidedLabel(this);
    m_name->setElideMode(Qt::ElideRight);
    m_capacity = new QLabel(this);
    m_status = new ElidedLabel(this);
    m_lastBackup = new QLabel(this);
    m_failed = new QPushButton(this);
    m_failed->setFlat(true);
    m_failed->setLayoutDirection(Qt::RightToLeft); // the chevron after the text
    m_failed->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; }"));
    // Absolute: the failed line is laid out right to left (to put its chevron last), which
    // would otherwise mirror its alignment too.
    for (QWidget* line : {static_cast<QWidget*>(m_name), static_cast<QWidget*>(m_capacity),
                          static_cast<QWidget*>(m_status), static_cast<QWidget*>(m_failed),
                          static_cast<QWidget*>(m_lastBackup)})
        lines->addWidget(line, 0, Qt::AlignLeft | Qt::AlignAbsolute);
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    lines->setAlignment(m_status, {});
    lines->setAlignment(m_name, {});
    top->addLayout(lines, 1);
    m_eject = new QToolButton(this);
    m_eject->setAutoRaise(true);
    top->addWidget(m_eject, 0, Qt::AlignVCenter);
    column->addLayout(top);
}

// Progress: the bar with its counts, or the spinner until the first snapshot.
void VolumeRow::addProgress(QVBoxLayout* column) {
    m_progressBlock = new QWidget(this);
    auto* progress = new QVBoxLayout(m_progressBlock);
    progress->setContentsMargins(0, 0, 0, 0);
    progress->setSpacing(3);
    m_bar = new QProgressBar(m_progressBlock);
    m_bar->setRange(0, 1000);
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(6);
    progress->addWidget(m_bar);
    auto* counts = row(6);
    m_files = new QLabel(m_progressBlock);
    m_bytes = new QLabel(m_progressBlock);
    counts->addWidget(m_files);
    counts->addStretch(1);
    counts->addWidget(m_bytes);
    progress->addLayout(counts);
    m_currentFile = new ElidedLabel(m_progressBlock);
    progress->addWidget(m_currentFile);
    column->addWidget(m_progressBlock);

    m_scanningBlock = new QWidget(this);
    auto* scanning = row(6);
    m_scanningBlock->setLayout(scanning);
    m_spinner = new Spinner(m_scanningBlock);
    m_scanning = new QLabel(m_scanningBlock);
    scanning->addWidget(m_spinner);
    scanning->addWidget(m_scanning);
    scanning->addStretch(1);
    column->addWidget(m_scanningBlock);
}

void VolumeRow::addCommands(QVBoxLayout* column) {
    auto* commands = row(8);
    m_configure = new QPushButton(this);
    m_backup = new QPushButton(this);
    m_stopRun = new QPushButton(this);
    m_openCopy = new QPushButton(this);
    for (QPushButton* button : {m_configure, m_backup, m_stopRun, m_openCopy})
        commands->addWidget(button);
    commands->addStretch(1);
    column->addLayout(commands);
}

void VolumeRow::connectControls() {
    connect(m_configure, &QPushButton::clicked, this, [this] {
        if (m_openConfig)
            m_openConfig(m_volume);
    });
    connect(m_backup, &QPushButton::clicked, this,
            [this] { m_ui.state->startBackup(m_volume.id); });
    connect(m_stopRun, &QPushButton::clicked, this,
            [this] { m_ui.state->stopBackup(m_volume.id); });
    connect(m_openCopy, &QPushButton::clicked, this,
            [this] { m_ui.state->openCopy(m_volume.copyFolder); });
    connect(m_eject, &QToolButton::clicked, this, [this] { m_ui.state->eject(m_volume.id); });
    connect(m_failed, &QPushButton::clicked, this, [this] { m_ui.router->showWindow(logWindow); });
}

QList<QWidget*> VolumeRow::tabChain() const {
    return {m_failed, m_eject, m_configure, m_backup, m_stopRun, m_openCopy};
}

// The names by which tests and inspection tools find the parts.
void VolumeRow::nameParts() {
    const std::pair<QWidget*, const char*> parts[] = {{m_status, "status"},
                                                      {m_failed, "failed"},
                                                      {m_eject, "eject"},
                                                      {m_bar, "bar"},
                                                      {m_progressBlock, "progress"},
                                                      {m_files, "files"},
                                                      {m_bytes, "bytes"},
                                                      {m_currentFile, "currentFile"},
                                                      {m_scanningBlock, "scanning"},
                                                      {m_configure, "configure"},
                                                      {m_backup, "backup"},
                                                      {m_stopRun, "stop"},
                                                      {m_openCopy, "openCopy"}};
    for (const auto& [part, name] : parts)
        part->setObjectName(QLatin1String(name));
}

void VolumeRow::restyle() {
    const QPalette& palette = this->palette();
    applyTextStyle(m_name, TextStyle::bodyMedium);
    applyTextStyle(m_capacity, TextStyle::caption2, Colour::secondary);
    applyTextStyle(m_failed, TextStyle::caption, Colour::red);
    for (QWidget* label : {static_cast<QWidget*>(m_files), static_cast<QWidget*>(m_bytes),
                           static_cast<QWidget*>(m_scanning)})
        applyTextStyle(label, TextStyle::caption2, Colour::secondary);
    applyTextStyle(m_currentFile, TextStyle::caption2, Colour::tertiary);
    applyTextStyle(m_lastBackup, TextStyle::caption2, Colour::secondary);
    m_openCopy->setIcon(icon("folder", palette));
    for (QPushButton* button : {m_configure, m_backup, m_stopRun, m_openCopy})
        applyTextStyle(button, TextStyle::callout);
    m_eject->setIcon(icon("eject.fill", palette));
    m_configure->setIcon(icon("slider.horizontal.3", palette));
    m_backup->setIcon(icon("arrow.down.doc", palette));
    m_stopRun->setIcon(icon("stop.circle", palette));
    m_failed->setIcon(icon("chevron.right.circle", colour(Colour::red, palette)));
}

void VolumeRow::setVolume(const VolumeInfo& volume) {
    m_volume = volume;
    m_icon->setColour(volume.isConfigured() ? Colour::accent : Colour::secondary);
    m_name->setText(shownName(volume.name)); // painted as plain text
    const auto capacity = volume.capacityText(m_ui.localizer->language());
    QStringList details;
    // Two drives of one label are told apart by their device (or mount folder).
    for (const VolumeInfo& other : m_ui.state->volumes())
        if (other.name == volume.name && other.id != volume.id) {
            details << qs(
                (volume.device.empty() ? volume.url : std::filesystem::path(volume.device))
                    .filename()
                    .string());
            break;
        }
    if (capacity)
        details << qs(*capacity);
    m_capacity->setVisible(!details.isEmpty());
    m_capacity->setText(details.join(QStringLiteral(" • ")));
    showStatus(volume);
    showProgress(volume);
    showCommands(volume);
    setAccessibleName(shownName(volume.name));
}

// The status line, or the button of a failed run that opens the log.
void VolumeRow::showStatus(const VolumeInfo& volume) {
    const app::Localizer& loc = *m_ui.localizer;
    using Tone = app::DriveStatusLine::Tone;
    const app::DriveStatusLine line = app::driveStatusLine(volume, loc.language());
    const bool failed = line.tone == Tone::failure;
    m_failed->setVisible(failed);
    m_status->setVisible(!failed && !line.text.empty());
    m_status->setText(failed ? QString() : qs(line.text));
    applyTextStyle(m_status, TextStyle::caption,
                   line.tone == Tone::success ? Colour::green : Colour::secondary);
    if (failed) {
        m_failed->setText(qs(line.text));
        m_failed->setToolTip(loc.qtext("status.showDetails"));
        m_failed->setAccessibleName(m_failed->text());
        m_failed->setAccessibleDescription(m_failed->toolTip());
    }
}

void VolumeRow::showProgress(const VolumeInfo& volume) {
    const app::Localizer& loc = *m_ui.localizer;
    const AppLanguage language = loc.language();
    const bool running = volume.status.kind == BackupStatus::Kind::running;
    m_progressBlock->setVisible(running && volume.progress.has_value());
    m_scanningBlock->setVisible(running && !volume.progress.has_value());
    if (volume.progress) {
        const BackupProgress& p = *volume.progress;
        m_bar->setValue(static_cast<int>(std::floor(p.fraction() * 1000.0)));
        m_files->setText(
            loc.qtext("progress.files",
                      {std::int64_t{p.filesDone}, std::int64_t{p.filesTotal}, p.percentText()}));
        m_bytes->setText(qs(formatFileSize(p.bytesDone, language)) + QStringLiteral(" / ") +
                         qs(formatFileSize(p.bytesTotal, language)));
        m_currentFile->setVisible(!p.currentFile.empty());
        m_currentFile->setText(shownText(p.currentFile));
        m_bar->setAccessibleName(m_files->text());
    }
    m_scanning->setText(loc.qtext("progress.scanning"));
}

// Configure stays available; eject and back-up-now wait until the drive's run is over, which
// Stop (in their place while it runs or waits) ends early.
void VolumeRow::showCommands(const VolumeInfo& volume) {
    const app::Localizer& loc = *m_ui.localizer;
    const bool running = m_ui.state->isRunning(volume.id);
    m_eject->setToolTip(loc.qtext("row.eject"));
    m_eject->setAccessibleName(m_eject->toolTip());
    m_eject->setEnabled(!running);
    m_configure->setText(loc.qtext(volume.isConfigured() ? "row.configure" : "row.setup"));
    m_backup->setText(loc.qtext("row.backupNow"));
    m_backup->setEnabled(volume.isConfigured() && !running);
    m_backup->setVisible(!running);
    m_stopRun->setVisible(running);
    m_stopRun->setEnabled(running && !m_ui.state->isStopping(volume.id));
    m_stopRun->setText(loc.qtext("row.stop"));
    m_stopRun->setAccessibleName(loc.qtext("row.stopName", {volume.name}));
    m_openCopy->setText(loc.qtext("row.openCopy"));
    m_openCopy->setVisible(volume.isConfigured() && !volume.copyFolder.empty());
    m_lastBackup->setVisible(volume.isConfigured() && volume.lastBackup && !running);
    if (volume.lastBackup)
        m_lastBackup->setText(
            loc.qtext("row.lastBackup", {lastBackupText(*volume.lastBackup, loc)}));
}

void VolumeRow::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 8, 8);
    painter.fillPath(shape,
                     tintedBackground(palette().color(QPalette::WindowText), 0.04, palette()));
    QFrame::paintEvent(event);
}

void VolumeRow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        restyle();
        setVolume(m_volume); // the status line's colour
    }
    QFrame::changeEvent(event);
}

} // namespace keelbox::ui
