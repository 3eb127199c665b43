#pragma once
// The four auxiliary windows ("config", "log", "settings", "help"), each a single window opened by
// its identifier: opening one that is open already raises it and gives it keyboard focus.
//
// Registering a window's content: a content class is a QWidget that becomes the top-level window
// itself. Add its factory in `registerWindowContents()` (ui/WindowContents.cpp):
//
//     router.registerContent(QStringLiteral("log"), [](const UiContext& ui) -> QWidget* {
//         return new LogWindow(ui);
//     });
//
// The router creates the window on its first opening, gives it the declared title (a fixed Polish
// text, below) and keeps it after it is closed (hidden, not destroyed), so the next opening shows
// the same window. The content then owns its title: set `windowTitle` from the current language in
// the constructor and again on `Localizer::languageChanged`. It sets its own size too
// (`setFixedSize` for the fixed-size windows, `setMinimumSize` for the log window); the router
// only moves a new window to the centre of the screen.

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

namespace keelbox::app {
class AppState;
class Localizer;
} // namespace keelbox::app
namespace keelbox::update {
class UpdaterViewModel;
}

namespace keelbox::ui {

class WindowRouter;

// The shared objects every view receives; none is owned.
struct UiContext {
    app::AppState* state = nullptr;
    app::Localizer* localizer = nullptr;
    update::UpdaterViewModel* updater = nullptr;
    WindowRouter* router = nullptr;
};

// The identifiers, as the panel, the drive rows and `keelbox --show` name them.
inline const QString configWindow = QStringLiteral("config");
inline const QString logWindow = QStringLiteral("log");
inline const QString settingsWindow = QStringLiteral("settings");
inline const QString helpWindow = QStringLiteral("help");
bool isWindowId(const QString& id);
// The title a window is declared with; empty for an unknown identifier.
QString declaredTitle(const QString& id);

class WindowRouter : public QObject {
    Q_OBJECT

public:
    using Factory = std::function<QWidget*(const UiContext&)>;

    // `context.router` is set to this router.
    explicit WindowRouter(UiContext context, QObject* parent = nullptr);
    ~WindowRouter() override;

    // Replaces the content of `id` for windows not yet created. A window without content is
    // not opened.
    void registerContent(const QString& id, Factory factory);

    // Opens the window `id` (creating it the first time), then, queued behind the current work on
    // the main thread, raises it and gives it keyboard focus. Unknown identifiers are ignored.
    void showWindow(const QString& id);

    // The window of `id` if it was created; nullptr otherwise.
    QWidget* window(const QString& id) const;
    const UiContext& context() const { return m_context; }

    // A token from the launch that asked for the window (XDG_ACTIVATION_TOKEN on Wayland,
    // DESKTOP_STARTUP_ID on X11), so the desktop lets the window take the focus from the active
    // application. Used by the next showWindow only.
    void setActivationToken(const QString& token) { m_activationToken = token; }

signals:
    // The window was opened or brought forward.
    void windowShown(const QString& id);

private:
    QWidget* create(const QString& id);
    void bringForward(const QString& id);

    UiContext m_context;
    QHash<QString, Factory> m_factories;
    QHash<QString, QPointer<QWidget>> m_windows;
    QString m_activationToken;
};

// Installs the real contents of the four windows (ui/WindowContents.cpp).
void registerWindowContents(WindowRouter& router);

} // namespace keelbox::ui
