#include "ui/windows/ConfigWindow.h"

#include "app/AppState.h"
#include "app/Localizer.h"
#include "core/ShownText.h"
#include "engine/Destination.h"
#include "engine/PathSafety.h"
#include "ui/Icons.h"
#include "ui/PlainText.h"
#include "ui/Style.h"
#include "ui/Widgets.h"
#include "ui/windows/WindowParts.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStackedLayout>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace fs = std::filesystem;

namespace keelbox::ui {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

QString q(const fs::path& path) {
    return QString::fromStdString(path.string());
}

QPixmap symbolPixmap(std::string_view symbol, const QColor& colour, TextStyle style,
                     const QWidget* widget) {
    const int size = QFontMetrics(ui::font(style, widget->font())).height();
    return icon(symbol, colour).pixmap(QSize(size, size), widget->devicePixelRatioF());
}

// Qt's own dialog opens too narrow for its detail view: made wide enough for the size, type and
// date columns to show whole, the name column taking the rest. (Nothing to do for a native one.)
void fitColumns(QFileDialog& dialog) {
    auto* tree = dialog.findChild<QTreeView*>();
    if (!tree)
        return;
    dialog.resize(dialog.size().expandedTo(QSize(760, 460)));
    QHeaderView* header = tree->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < header->count(); ++column)
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
}

// Qt's own file dialog, made to accept folders as well as files: the accept button takes the
// selected entries of its list as they are instead of opening a selected folder.
std::optional<std::vector<fs::path>> chooseFilesAndFolders(QWidget* parent,
                                                           const FilePanelRequest& request) {
    QFileDialog dialog(parent, QString(), q(request.startFolder));
    setPlainWindowTitle(&dialog, request.message);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setLabelText(QFileDialog::Accept, request.acceptText);
    const auto views = dialog.findChildren<QAbstractItemView*>();
    for (QAbstractItemView* view : views) {
        if (qobject_cast<QFileSystemModel*>(view->model()))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }
    std::optional<std::vector<fs::path>> chosen;
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    if (buttons && !buttons->buttons().isEmpty()) {
        // The dialog renames its button to "Open" (and may disable it) whenever a folder is
        // selected; here a folder is a fine answer. Runs after the dialog's own handlers.
        QAbstractButton* acceptButton = buttons->buttons().constFirst();
        auto keepButton = [&dialog, acceptButton, text = request.acceptText] {
            if (dialog.fileMode() == QFileDialog::ExistingFiles) {
                acceptButton->setText(text);
                acceptButton->setEnabled(true);
            }
        };
        for (QAbstractItemView* view : views) {
            if (qobject_cast<QFileSystemModel*>(view->model()) && view->selectionModel())
                QObject::connect(view->selectionModel(), &QItemSelectionModel::selectionChanged,
                                 &dialog, keepButton);
        }
        QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog, keepButton);
        QObject::disconnect(buttons, &QDialogButtonBox::accepted, &dialog, nullptr);
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
            // The list and the detail view share one selection.
            std::vector<fs::path> items;
            for (QAbstractItemView* view : views) {
                if (!qobject_cast<QFileSystemModel*>(view->model()) || !view->selectionModel())
                    continue;
                for (const QModelIndex& index : view->selectionModel()->selectedRows())
                    items.emplace_back(
                        index.data(QFileSystemModel::FilePathRole).toString().toStdString());
                break;
            }
            if (items.empty()) {
                // A typed name: the dialog's own handling.
                static_cast<QDialog&>(dialog).accept();
                return;
            }
            chosen = std::move(items);
            static_cast<QDialog&>(dialog).done(QDialog::Accepted);
        });
    }
    fitColumns(dialog);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    if (!chosen) {
        std::vector<fs::path> items;
        for (const QString& file : dialog.selectedFiles())
            items.emplace_back(file.toStdString());
        chosen = std::move(items);
    }
    return chosen;
}

std::optional<fs::path> chooseOneFolder(QWidget* parent, const FilePanelRequest& request) {
    // The folder as the directory, never as a name typed into the dialog's name field.
    QFileDialog dialog(parent);
    setPlainWindowTitle(&dialog, request.message);
    dialog.setDirectory(q(request.startFolder));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setLabelText(QFileDialog::Accept, request.acceptText);
    QTimer::singleShot(0, &dialog, [&dialog] { fitColumns(dialog); });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return fs::path(dialog.selectedFiles().front().toStdString());
}

} // namespace

ConfigPanels ConfigPanels::desktop() {
    return {chooseFilesAndFolders, chooseOneFolder};
}

ConfigWindow::ConfigWindow(app::AppState& state, app::Localizer& localizer, ConfigPanels panels,
                           fs::path home, QWidget* parent)
    : QWidget(parent), m_state(state), m_localizer(localizer), m_panels(std::move(panels)),
      m_home(homeFolder(home)) {
    m_pages = new QStackedLayout(this);
    buildPlaceholder();
    buildEditor();
    addShortcuts();
    connectControls();
    restyle();
    retranslate();
    loadDraft();
}

// What the window shows while no drive is chosen.
void ConfigWindow::buildPlaceholder() {
    m_placeholder = new QWidget(this);
    auto* placeholder = new QVBoxLayout(m_placeholder);
    placeholder->setContentsMargins(40, 40, 40, 40);
    placeholder->setSpacing(12);
    m_placeholderIcon = new QLabel(m_placeholder);
    m_placeholderText = wrappingLabel(m_placeholder);
    placeholder->addStretch(1);
    for (QLabel* label : {m_placeholderIcon, m_placeholderText}) {
        label->setAlignment(Qt::AlignCenter);
        placeholder->addWidget(label);
    }
    placeholder->addStretch(1);
    m_pages->addWidget(m_placeholder);
}

// The drive's name, its sections in a scrolling area, and the buttons.
void ConfigWindow::buildEditor() {
    m_editor = new QWidget(this);
    auto* editor = new QVBoxLayout(m_editor);
    editor->setContentsMargins(0, 0, 0, 0);
    editor->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(20, 20, 20, 20);
    header->setSpacing(10);
    m_driveIcon = new QLabel(m_editor);
    m_driveName = new ElidedLabel(m_editor);
    m_driveName->setElideMode(Qt::ElideRight);
    m_drivePath = new ElidedLabel(m_editor);
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    names->addWidget(m_driveName);
    names->addWidget(m_drivePath);
    header->addWidget(m_driveIcon);
    header->addLayout(names, 1);
    editor->addLayout(header);
    editor->addWidget(divider(m_editor));
    editor->addWidget(verticalScrollArea(buildSections(), m_editor), 1);
    editor->addWidget(divider(m_editor));

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(20, 20, 20, 20);
    footer->setSpacing(8); // not the editor's 0: the buttons would touch
    m_remove = new QPushButton(m_editor);
    m_save = new QPushButton(m_editor);
    m_saveRun = new QPushButton(m_editor);
    m_saveRun->setDefault(true);
    footer->addWidget(m_remove);
    footer->addStretch(1);
    footer->addWidget(m_save);
    footer->addWidget(m_saveRun);
    editor->addLayout(footer);
    m_pages->addWidget(m_editor);
}

ConfigWindow::Warning ConfigWindow::addWarning(QWidget* parent, QVBoxLayout* section) {
    Warning warning{new QWidget(parent), nullptr, nullptr};
    auto* row = new QHBoxLayout(warning.row);
    row->setContentsMargins(0, 0, 0, 0);
    warning.icon = new QLabel(warning.row);
    warning.text = wrappingLabel(warning.row);
    row->addWidget(warning.icon, 0, Qt::AlignTop);
    row->addWidget(warning.text, 1);
    section->addWidget(warning.row);
    return warning;
}

// A section at the end of `sections`: a title with a symbol, above what the caller adds to the
// layout returned.
QVBoxLayout* ConfigWindow::addSection(QVBoxLayout* sections, const char* symbol, const char* key,
                                      int spacing) {
    QWidget* page = sections->parentWidget();
    auto* box = new QVBoxLayout;
    box->setSpacing(spacing);
    auto* title = new QHBoxLayout;
    title->setSpacing(6);
    SectionTitle labels{new QLabel(page), new QLabel(page), symbol, key};
    title->addWidget(labels.icon);
    title->addWidget(labels.text, 1);
    box->addLayout(title);
    m_titles.push_back(labels);
    sections->addLayout(box);
    return box;
}

void ConfigWindow::addSourcesSection(QVBoxLayout* sections) {
    QWidget* sectionsPage = sections->parentWidget();
    QVBoxLayout* sources = addSection(sections, "folder", "cfg.sources.title", 8);
    m_sourcesHelp = wrappingLabel(sectionsPage);
    sources->addWidget(m_sourcesHelp);
    m_sourcesEmpty = wrappingLabel(sectionsPage);
    m_sourcesEmpty->setContentsMargins(0, 8, 0, 8);
    sources->addWidget(m_sourcesEmpty);
    m_sourceList = new QWidget(sectionsPage);
    m_sourceLines = new QVBoxLayout(m_sourceList);
    m_sourceLines->setContentsMargins(0, 0, 0, 0);
    m_sourceLines->setSpacing(0);
    sources->addWidget(m_sourceList);
    auto* sourceButtons = new QHBoxLayout;
    m_add = new QPushButton(sectionsPage);
    m_whole = new QPushButton(sectionsPage);
    sourceButtons->addWidget(m_add);
    sourceButtons->addWidget(m_whole);
    sourceButtons->addStretch(1);
    sources->addLayout(sourceButtons);
}

// The sources, the destination, the mode and the options, each under a title with a symbol.
QWidget* ConfigWindow::buildSections() {
    auto* sectionsPage = new QWidget;
    auto* sections = new QVBoxLayout(sectionsPage);
    sections->setContentsMargins(20, 20, 20, 20);
    sections->setSpacing(20);
    addSourcesSection(sections);

    QVBoxLayout* destination = addSection(sections, "internaldrive", "cfg.dest.title", 8);
    auto* destinationRow = new QHBoxLayout;
    m_destination = new QLineEdit(sectionsPage);
    m_choose = new QPushButton(sectionsPage);
    destinationRow->addWidget(m_destination, 1);
    destinationRow->addWidget(m_choose);
    destination->addLayout(destinationRow);
    m_destinationWarning = addWarning(sectionsPage, destination);
    m_destinationNote = wrappingLabel(sectionsPage);
    destination->addWidget(m_destinationNote);

    QVBoxLayout* mode = addSection(sections, "arrow.triangle.2.circlepath", "cfg.mode.title", 8);
    m_modes = new QButtonGroup(this);
    m_sync = new QRadioButton(sectionsPage);
    m_dated = new QRadioButton(sectionsPage);
    m_modes->addButton(m_sync, 0);
    m_modes->addButton(m_dated, 1);
    mode->addWidget(m_sync);
    mode->addWidget(m_dated);

    QVBoxLayout* options = addSection(sections, "switch.2", "cfg.options.title", 10);
    m_autorun = new QCheckBox(sectionsPage);
    m_mirror = new QCheckBox(sectionsPage);
    options->addWidget(m_autorun);
    options->addWidget(m_mirror);
    m_mirrorWarning = addWarning(sectionsPage, options);
    sections->addStretch(1);
    return sectionsPage;
}

void ConfigWindow::addShortcuts() {
    // Not the button's own shortcut: a button's text replaces that with its mnemonic.
    auto* saveShortcut = new QShortcut(QKeySequence::Save, m_editor);
    connect(saveShortcut, &QShortcut::activated, this, [this] {
        if (m_editor->isVisible())
            save();
    });
    m_save->setToolTip(QKeySequence(QKeySequence::Save).toString(QKeySequence::NativeText));
    // Return is the window's default action wherever the focus is.
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), m_editor);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (m_saveRun->isEnabled() && m_editor->isVisible())
                saveAndRun();
        });
    }
}

void ConfigWindow::connectControls() {
    connect(m_add, &QPushButton::clicked, this, &ConfigWindow::addSources);
    connect(m_whole, &QPushButton::clicked, this, &ConfigWindow::useWholeDrive);
    connect(m_choose, &QPushButton::clicked, this, &ConfigWindow::chooseDestination);
    connect(m_destination, &QLineEdit::textEdited, this, [this](const QString& text) {
        m_draft.draft.destinationPath = text.toStdString();
        showDestinationWarning();
    });
    // On `toggled`: a screen reader's toggle action emits no `clicked`. The draft is shown with
    // the signals blocked.
    connect(m_modes, &QButtonGroup::idToggled, this, [this](int id, bool on) {
        if (!on)
            return;
        m_draft.draft.mode = id == 1 ? BackupMode::dated : BackupMode::sync;
        showOptions();
    });
    connect(m_autorun, &QCheckBox::toggled, this,
            [this](bool on) { m_draft.draft.autoRunOnMount = on; });
    connect(m_mirror, &QCheckBox::toggled, this, [this](bool on) {
        m_draft.draft.deleteRemovedFiles = on;
        showOptions();
    });
    connect(m_remove, &QPushButton::clicked, this, &ConfigWindow::removeConfiguration);
    connect(m_save, &QPushButton::clicked, this, &ConfigWindow::save);
    connect(m_saveRun, &QPushButton::clicked, this, &ConfigWindow::saveAndRun);

    connect(&m_state, &app::AppState::editingVolumeIDChanged, this, &ConfigWindow::loadDraft);
    connect(&m_state, &app::AppState::volumesChanged, this, &ConfigWindow::loadDraft);
    connect(&m_localizer, &app::Localizer::languageChanged, this, &ConfigWindow::retranslate);
}

void ConfigWindow::loadDraft() {
    if (const auto volume = m_state.editingVolume()) {
        if (m_draft.load(*volume, [this](const VolumeInfo& v) { return m_state.draftConfig(v); }))
            showDraft();
    }
    showVolume();
}

void ConfigWindow::showVolume() {
    const auto volume = m_state.editingVolume();
    if (!volume) {
        setWindowTitle(QStringLiteral("Keelbox"));
        m_pages->setCurrentWidget(m_placeholder);
        setFixedSize(520, 240);
        return;
    }
    setPlainWindowTitle(this, shownName(volume->name));
    m_driveName->setText(shownName(volume->name)); // elided labels paint plain text
    m_drivePath->setText(shownText(volume->url.string()));
    m_remove->setVisible(volume->isConfigured());
    m_pages->setCurrentWidget(m_editor);
    setFixedSize(560, 620);
    showDestinationWarning();
}

void ConfigWindow::showDraft() {
    const DriveConfig& draft = m_draft.draft;
    m_destination->setText(q(draft.destinationPath));
    {
        const QSignalBlocker quietModes(m_modes), quietAutorun(m_autorun);
        m_sync->setChecked(draft.mode == BackupMode::sync);
        m_dated->setChecked(draft.mode == BackupMode::dated);
        m_autorun->setChecked(draft.autoRunOnMount);
    }
    showSources();
    showOptions();
    showDestinationWarning();
}

void ConfigWindow::showSources() {
    while (QLayoutItem* item = m_sourceLines->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const auto& sources = m_draft.draft.sources;
    m_sourcesEmpty->setVisible(sources.empty());
    m_sourceList->setVisible(!sources.empty());
    const QColor secondary = colour(Colour::secondary, palette());
    const QColor red = colour(Colour::red, palette());
    for (const SourceItem& source : sources) {
        auto* line = new QWidget(m_sourceList);
        auto* row = new QHBoxLayout(line);
        row->setContentsMargins(0, 5, 0, 5);
        auto* symbol = new QLabel(line);
        symbol->setPixmap(symbolPixmap("doc.on.doc", secondary, TextStyle::body, this));
        auto* path = new ElidedLabel(line);
        const QString shown = source.relativePath.empty() ? m_localizer.qtext("cfg.wholeName")
                                                          : shownText(source.relativePath);
        path->setText(shown);
        auto* remove = new QToolButton(line);
        remove->setAutoRaise(true);
        remove->setIcon(icon("minus.circle.fill", red));
        remove->setAccessibleName(m_localizer.qtext("cfg.sources.remove", {shown.toStdString()}));
        setPlainToolTip(remove, remove->accessibleName());
        connect(remove, &QToolButton::clicked, this, [this, id = source.id] { removeSource(id); });
        row->addWidget(symbol);
        row->addWidget(path, 1);
        row->addWidget(remove);
        m_sourceLines->addWidget(line);
        m_sourceLines->addWidget(divider(m_sourceList));
    }
    m_saveRun->setEnabled(!sources.empty());
}

void ConfigWindow::showOptions() {
    const DriveConfig& draft = m_draft.draft;
    const bool sync = draft.mode == BackupMode::sync;
    m_mirror->setVisible(sync);
    {
        const QSignalBlocker quiet(m_mirror);
        m_mirror->setChecked(draft.deleteRemovedFiles);
    }
    m_mirrorWarning.row->setVisible(sync && draft.deleteRemovedFiles);
}

void ConfigWindow::showDestinationWarning() {
    const auto volume = m_state.editingVolume();
    const auto warning = volume ? destinationWarning(m_draft.draft.destinationPath, *volume, m_home,
                                                     m_localizer.language())
                                : std::nullopt;
    m_destinationWarning.row->setVisible(warning.has_value());
    if (warning)
        setPlainText(m_destinationWarning.text, shownText(*warning));
}

void ConfigWindow::addSources() {
    const auto volume = m_state.editingVolume();
    if (!volume || !m_panels.chooseItems)
        return;
    const FilePanelRequest request{
        volume->url, m_localizer.qtext("cfg.panel.addPrompt"),
        m_localizer.qtext("cfg.panel.addMsg", {keelbox::shownName(volume->name)})};
    const auto items = m_panels.chooseItems(this, request);
    if (!items)
        return;
    if (const auto rejected = m_draft.addSources(*items, volume->url))
        m_state.setLastError(m_localizer.text("cfg.err.notOnDrive", {*rejected}));
    showSources();
}

void ConfigWindow::useWholeDrive() {
    m_draft.useWholeDrive();
    showSources();
}

void ConfigWindow::removeSource(const Uuid& id) {
    m_draft.removeSource(id);
    showSources();
}

void ConfigWindow::chooseDestination() {
    if (!m_panels.chooseFolder)
        return;
    // At the destination when it is there already, else at the home folder (a new destination
    // has not been made yet).
    std::error_code error;
    fs::path start = expandDestination(m_draft.draft.destinationPath, m_home);
    if (!fs::is_directory(start, error))
        start = m_home;
    const FilePanelRequest request{start, m_localizer.qtext("cfg.panel.choosePrompt"),
                                   m_localizer.qtext("cfg.panel.chooseTitle")};
    const auto folder = m_panels.chooseFolder(this, request);
    if (!folder)
        return;
    m_draft.draft.destinationPath = abbreviatedHome(*folder, m_home);
    m_destination->setText(q(m_draft.draft.destinationPath));
    showDestinationWarning();
}

void ConfigWindow::save() {
    if (const auto volume = m_state.editingVolume())
        m_state.saveDriveConfig(m_draft.draft, volume->id);
}

void ConfigWindow::saveAndRun() {
    const auto volume = m_state.editingVolume();
    if (!volume || m_draft.draft.sources.empty())
        return;
    m_state.saveDriveConfig(m_draft.draft, volume->id);
    // Whatever the save's outcome: a failed save is in the log and the error line.
    m_state.startBackup(volume->id);
    dismiss();
}

void ConfigWindow::removeConfiguration() {
    const auto volume = m_state.editingVolume();
    if (!volume || !volume->isConfigured())
        return;
    m_state.removeDriveConfig(volume->id);
    dismiss();
}

void ConfigWindow::dismiss() {
    window()->close();
}

void ConfigWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange)
        restyle();
}

void ConfigWindow::retranslate() {
    const auto& loc = m_localizer;
    m_placeholderText->setText(loc.qtext("cfg.placeholder"));
    for (const SectionTitle& title : m_titles)
        title.text->setText(loc.qtext(title.key));
    m_sourcesHelp->setText(loc.qtext("cfg.sources.help"));
    m_sourcesEmpty->setText(loc.qtext("cfg.sources.empty"));
    m_add->setText(loc.qtext("cfg.sources.add"));
    m_whole->setText(loc.qtext("cfg.sources.whole"));
    m_whole->setToolTip(loc.qtext("cfg.sources.wholeHelp"));
    m_destination->setPlaceholderText(loc.qtext("cfg.dest.field"));
    m_choose->setText(loc.qtext("cfg.dest.choose"));
    m_destinationNote->setText(loc.qtext("cfg.dest.note"));
    m_sync->setText(loc.qtext("mode.sync.long"));
    m_dated->setText(loc.qtext("mode.dated.long"));
    m_autorun->setText(loc.qtext("cfg.options.autorun"));
    m_mirror->setText(loc.qtext("cfg.options.mirror"));
    m_mirrorWarning.text->setText(loc.qtext("cfg.options.mirrorWarn"));
    m_remove->setText(loc.qtext("cfg.remove"));
    m_save->setText(loc.qtext("cfg.save"));
    m_saveRun->setText(loc.qtext("cfg.saveRun"));
    showSources();
    showDestinationWarning();
}

void ConfigWindow::restyle() {
    const QPalette& palette = this->palette();
    const QColor secondary = colour(Colour::secondary, palette);
    const QColor accent = colour(Colour::accent, palette);
    const QColor orange = colour(Colour::orange, palette);
    m_placeholderIcon->setPixmap(
        symbolPixmap("externaldrive.badge.questionmark", secondary, TextStyle::largeTitle, this));
    applyTextStyle(m_placeholderText, TextStyle::body, Colour::secondary);
    m_driveIcon->setPixmap(symbolPixmap("externaldrive.fill", accent, TextStyle::title2, this));
    QFont name = ui::font(TextStyle::title3, font());
    name.setWeight(QFont::DemiBold);
    m_driveName->setFont(name);
    applyTextStyle(m_drivePath, TextStyle::caption, Colour::secondary);
    const QColor primary = colour(Colour::primary, palette);
    for (const SectionTitle& title : m_titles) {
        title.icon->setPixmap(symbolPixmap(title.symbol, primary, TextStyle::headline, this));
        applyTextStyle(title.text, TextStyle::headline);
    }
    applyTextStyle(m_sourcesHelp, TextStyle::caption, Colour::secondary);
    applyTextStyle(m_sourcesEmpty, TextStyle::callout, Colour::secondary);
    m_add->setIcon(icon("plus", palette));
    m_whole->setIcon(icon("externaldrive", palette));
    applyTextStyle(m_destinationNote, TextStyle::caption, Colour::secondary);
    for (const Warning& warning : {m_destinationWarning, m_mirrorWarning}) {
        warning.icon->setPixmap(
            symbolPixmap("exclamationmark.triangle.fill", orange, TextStyle::caption, this));
        applyTextStyle(warning.text, TextStyle::caption, Colour::orange);
    }
    m_remove->setIcon(icon("trash", colour(Colour::red, palette)));
    showSources();
}

} // namespace keelbox::ui
