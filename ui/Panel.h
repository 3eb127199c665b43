#pragma once
// The panel the tray icon opens: header, update line, drive rows, the automatic-backup switch,
// recent activity and the footer. It keeps no state of its own beyond its widgets; it follows
// the application state, the language and the update state as they change.

#include "ui/WindowRouter.h"

#include <QElapsedTimer>
#include <QFrame>
#include <QHash>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTimer>

#include <optional>

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace keelbox::ui {

class Dot;
class ElidedLabel;
class VolumeRow;

class Panel : public QFrame {
    Q_OBJECT

public:
    static constexpr int fixedWidth = 380;

    explicit Panel(const UiContext& ui, QWidget* parent = nullptr);

    // A popup next to the tray icon (frameless, closes on Escape and when it loses focus), or a
    // normal window where the desktop has no tray.
    void setPopup(bool popup);
    bool isPopup() const { return m_popup; }
    // Shows the panel, raised and with keyboard focus; `position` is ignored in window mode and
    // where the desktop places windows itself.
    void open(std::optional<QPoint> position = std::nullopt);
    // Takes the height the content needs, at most the screen's available height: the rows scroll.
    void fitToContent();
    // The popup closed because it lost the focus a moment ago (to a click on the tray icon, say).
    bool closedByFocusLossJustNow() const;

    // The rows in the order they are drawn.
    QList<VolumeRow*> rows() const;

signals:
    void quitRequested();

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void addHeader(QVBoxLayout* column);
    void addDrives(QVBoxLayout* column);
    void addRecent(QVBoxLayout* column);
    void addFooter(QVBoxLayout* column);
    void connectControls();
    void showVolumes();
    void showLog();
    void showUpdate();
    void retranslate();
    void restyle();
    void updateTabOrder();

    UiContext m_ui;
    QTimer m_fit;
    bool m_popup = true;
    QElapsedTimer m_focusLost;

    QLabel* m_title;
    QToolButton* m_help;
    QToolButton* m_refresh;
    QPushButton* m_update;
    QScrollArea* m_driveScroll;
    QWidget* m_drives;
    QVBoxLayout* m_driveList;
    QHash<QString, VolumeRow*> m_rows;
    QWidget* m_emptyBlock;
    QLabel* m_empty;
    QCheckBox* m_autoBackup;
    QWidget* m_recent;
    QLabel* m_recentTitle;
    QList<QPair<Dot*, ElidedLabel*>> m_recentLines;
    QPushButton* m_settings;
    QPushButton* m_log;
    QPushButton* m_quit;
};

// Where the popup goes: next to the tray icon when its place is known, else at the pointer (where
// the user just clicked the icon), else in the top right corner; always within `available`.
QPoint panelPosition(QSize panel, const QRect& available, const QRect& iconGeometry,
                     std::optional<QPoint> pointer);

} // namespace keelbox::ui
