#pragma once
// The window "config": the rules of the drive chosen in the panel, edited in a working copy and
// written to the drive only by Save, Save and run or Remove.

#include "ui/windows/ConfigDraft.h"

#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedLayout;
class QVBoxLayout;

namespace keelbox::app {
class AppState;
class Localizer;
} // namespace keelbox::app

namespace keelbox::ui {

class ElidedLabel;

// What a file panel is asked to show.
struct FilePanelRequest {
    std::filesystem::path startFolder;
    QString acceptText;
    QString message;
};

// The two panels of the window; tests replace them. Nothing chosen (cancelled) is nothing.
struct ConfigPanels {
    // Files and folders, several at once.
    std::function<std::optional<std::vector<std::filesystem::path>>(QWidget* parent,
                                                                    const FilePanelRequest&)>
        chooseItems;
    // One folder; offers to create one.
    std::function<std::optional<std::filesystem::path>(QWidget* parent, const FilePanelRequest&)>
        chooseFolder;
    // Qt's own dialog for the items (the desktop's native one cannot take files and folders
    // together), the desktop's dialog for the folder.
    static ConfigPanels desktop();
};

class ConfigWindow : public QWidget {
    Q_OBJECT
public:
    // `home` is the user's home folder ("~"); empty means the real one.
    ConfigWindow(app::AppState& state, app::Localizer& localizer,
                 ConfigPanels panels = ConfigPanels::desktop(), std::filesystem::path home = {},
                 QWidget* parent = nullptr);

    const ConfigDraft& draft() const { return m_draft; }

    // The window's routines, as its buttons call them.
    void addSources();
    void useWholeDrive();
    void removeSource(const Uuid& id);
    void chooseDestination();
    void save();
    void saveAndRun();
    void removeConfiguration();

protected:
    void changeEvent(QEvent* event) override;

private:
    // A caption with a warning sign, hidden while there is nothing to warn of.
    struct Warning {
        QWidget* row;
        QLabel* icon;
        QLabel* text;
    };
    void buildPlaceholder();
    void buildEditor();
    QWidget* buildSections();
    QVBoxLayout* addSection(QVBoxLayout* sections, const char* symbol, const char* key,
                            int spacing);
    void addSourcesSection(QVBoxLayout* sections);
    Warning addWarning(QWidget* parent, QVBoxLayout* section);
    void addShortcuts();
    void connectControls();
    void loadDraft();
    void showVolume();
    void showDraft();
    void showSources();
    void showOptions();
    void showDestinationWarning();
    void retranslate();
    void restyle();
    // Closes the window (after Remove and after Save and run).
    void dismiss();

    app::AppState& m_state;
    app::Localizer& m_localizer;
    ConfigPanels m_panels;
    std::filesystem::path m_home;
    ConfigDraft m_draft;

    QStackedLayout* m_pages;
    QWidget* m_placeholder;
    QLabel* m_placeholderIcon;
    QLabel* m_placeholderText;
    QWidget* m_editor;
    QLabel* m_driveIcon;
    ElidedLabel* m_driveName;
    ElidedLabel* m_drivePath;
    struct SectionTitle {
        QLabel* icon;
        QLabel* text;
        const char* symbol;
        const char* key;
    };
    std::vector<SectionTitle> m_titles;
    QLabel* m_sourcesHelp;
    QLabel* m_sourcesEmpty;
    QWidget* m_sourceList;
    QVBoxLayout* m_sourceLines;
    QPushButton* m_add;
    QPushButton* m_whole;
    QLineEdit* m_destination;
    QPushButton* m_choose;
    QLabel* m_destinationNote;
    Warning m_destinationWarning;
    QButtonGroup* m_modes;
    QRadioButton* m_sync;
    QRadioButton* m_dated;
    QCheckBox* m_autorun;
    QCheckBox* m_mirror;
    Warning m_mirrorWarning;
    QPushButton* m_remove;
    QPushButton* m_save;
    QPushButton* m_saveRun;
};

} // namespace keelbox::ui
