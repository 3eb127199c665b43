#pragma once
// One connected drive in the panel: name, capacity, status, progress and its commands.

#include "core/Records.h"
#include "ui/WindowRouter.h"

#include <QFrame>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace keelbox::ui {

class ElidedLabel;
class Spinner;
class SymbolLabel;

class VolumeRow : public QFrame {
    Q_OBJECT

public:
    // `openConfig` selects the drive for editing and opens the configuration window.
    VolumeRow(const UiContext& ui, std::function<void(const VolumeInfo&)> openConfig,
              QWidget* parent = nullptr);

    // Shows `volume` in the current language (also after a language switch).
    void setVolume(const VolumeInfo& volume);
    const VolumeInfo& volume() const { return m_volume; }
    // The row's controls in the order they are drawn, for the panel's keyboard order.
    QList<QWidget*> tabChain() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void addSummary(QVBoxLayout* column);
    void addProgress(QVBoxLayout* column);
    void addCommands(QVBoxLayout* column);
    void connectControls();
    void nameParts();
    void showStatus(const VolumeInfo& volume);
    void showProgress(const VolumeInfo& volume);
    void showCommands(const VolumeInfo& volume);
    void restyle();

    UiContext m_ui;
    std::function<void(const VolumeInfo&)> m_openConfig;
    VolumeInfo m_volume;

    SymbolLabel* m_icon;
    ElidedLabel* m_name;
    QLabel* m_capacity;
    ElidedLabel* m_status;
    QPushButton* m_failed;
    QToolButton* m_eject;
    QWidget* m_progressBlock;
    QProgressBar* m_bar;
    QLabel* m_files;
    QLabel* m_bytes;
    ElidedLabel* m_currentFile;
    QWidget* m_scanningBlock;
    Spinner* m_spinner;
    QLabel* m_scanning;
    QPushButton* m_configure;
    QPushButton* m_backup;
    QPushButton* m_stopRun;
    QPushButton* m_openCopy;
    QLabel* m_lastBackup;
};

} // namespace keelbox::ui
