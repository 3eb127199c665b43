#pragma once
// The window "settings", 480 × 460: a General tab with the switches, the language, the last error,
// the update state and the about block, and a Log tab with the log list.

#include <QWidget>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTabWidget;

namespace keelbox::app {
class AppState;
class Localizer;
} // namespace keelbox::app

namespace keelbox::update {
class UpdaterViewModel;
}

namespace keelbox::ui {

class LogListView;

// Who makes Keelbox, as the about block shows it; the build sets them (CMake options
// KEELBOX_MAKER_NAME, KEELBOX_SUPPORT_EMAIL, KEELBOX_WEBSITE). An empty address hides its row.
struct MakerInfo {
    QString name;
    QString supportEmail;
    QString website; // "https://…"
    static MakerInfo fromBuild();
};

// The application's version ("0.1.0"), or "1.0" when it has none.
QString appVersionText();
// Gives the application the build's version unless it has one already.
void useBuildVersion();

class SettingsView : public QWidget {
    Q_OBJECT
public:
    SettingsView(app::AppState& state, app::Localizer& localizer, update::UpdaterViewModel& updater,
                 MakerInfo maker = MakerInfo::fromBuild(), QWidget* parent = nullptr);

protected:
    void changeEvent(QEvent* event) override;

private:
    QWidget* buildGeneralTab();
    QGroupBox* buildAboutBox(QWidget* page);
    void retranslate();
    void restyle();
    void showState();
    void showUpdate();

    app::AppState& m_state;
    app::Localizer& m_localizer;
    update::UpdaterViewModel& m_updater;
    MakerInfo m_maker;

    QTabWidget* m_tabs;
    LogListView* m_log;
    QGroupBox* m_behaviour;
    QCheckBox* m_launchAtLogin;
    QCheckBox* m_autoBackup;
    QCheckBox* m_notify;
    QLabel* m_configNote;
    QGroupBox* m_language;
    QPushButton* m_polish;
    QPushButton* m_english;
    QButtonGroup* m_segments;
    QGroupBox* m_error;
    QLabel* m_errorIcon;
    QLabel* m_errorText;
    QGroupBox* m_updates;
    QLabel* m_updateIcon;
    QLabel* m_updateText;
    QPushButton* m_checkNow;
    QGroupBox* m_about;
    QLabel* m_logo;
    QLabel* m_makerName;
    QLabel* m_version;
    // Null where the build has no such address.
    QLabel* m_supportLabel = nullptr;
    QLabel* m_supportLink = nullptr;
    QLabel* m_websiteLabel = nullptr;
    QLabel* m_websiteLink = nullptr;
};

} // namespace keelbox::ui
