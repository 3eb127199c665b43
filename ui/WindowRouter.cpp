#include "ui/WindowRouter.h"

#include "app/Localizer.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace keelbox::ui {

namespace {

struct WindowRow {
    const QString& id;
    const char* title; // UTF-8
};

const WindowRow windowRows[] = {
    {configWindow, "Keelbox — Konfiguracja nośnika"},
    {logWindow, "Dziennik Keelbox"},
    {settingsWindow, "Ustawienia Keelbox"},
    {helpWindow, "Pomoc Keelbox"},
};

// Escape closes the window as it closes the panel; a control that uses the key itself (an open
// list) has taken it before it gets here.
class EscapeCloses : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
            static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
            static_cast<QWidget*>(watched)->close();
            return true;
        }
        return false;
    }
};

} // namespace

bool isWindowId(const QString& id) {
    return !declaredTitle(id).isEmpty();
}

QString declaredTitle(const QString& id) {
    for (const WindowRow& row : windowRows)
        if (row.id == id)
            return QString::fromUtf8(row.title);
    return {};
}

WindowRouter::WindowRouter(UiContext context, QObject* parent)
    : QObject(parent), m_context(context) {
    m_context.router = this;
}

WindowRouter::~WindowRouter() {
    for (const QPointer<QWidget>& window : std::as_const(m_windows))
        delete window.data();
}

void WindowRouter::registerContent(const QString& id, Factory factory) {
    m_factories.insert(id, std::move(factory));
}

QWidget* WindowRouter::window(const QString& id) const {
    return m_windows.value(id).data();
}

QWidget* WindowRouter::create(const QString& id) {
    const auto factory = m_factories.constFind(id);
    QWidget* window = factory != m_factories.cend() && *factory ? (*factory)(m_context) : nullptr;
    if (!window)
        return nullptr;
    window->setParent(nullptr);
    window->setWindowFlags(Qt::Window);
    window->setObjectName(id + QStringLiteral("Window"));
    // The configuration window keeps Escape for its own controls.
    if (id != configWindow)
        window->installEventFilter(new EscapeCloses(window));
    // The declared title, unless the content has given its own already.
    if (window->windowTitle().isEmpty())
        window->setWindowTitle(declaredTitle(id));
    window->adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    m_windows.insert(id, window);
    return window;
}

void WindowRouter::showWindow(const QString& id) {
    if (!isWindowId(id))
        return;
    QWidget* target = window(id);
    if (!target)
        target = create(id);
    if (!target)
        return;
    if (!m_activationToken.isEmpty()) {
        // Best effort: where the platform plugin reads it when it activates a window, the desktop
        // lets the window take the focus from the application that is active.
        const QByteArray token = m_activationToken.toUtf8();
        qputenv(QGuiApplication::platformName() == QLatin1String("wayland") ? "XDG_ACTIVATION_TOKEN"
                                                                            : "DESKTOP_STARTUP_ID",
                token);
        m_activationToken.clear();
    }
    if (target->isMinimized())
        target->showNormal();
    else
        target->show();
    // Raising and focusing waits until the window system has seen the window shown.
    QTimer::singleShot(0, this, [this, id] { bringForward(id); });
}

void WindowRouter::bringForward(const QString& id) {
    QWidget* target = window(id);
    if (!target || !target->isVisible())
        return;
    target->raise();
    target->activateWindow();
    if (QWindow* handle = target->windowHandle())
        handle->requestActivate();
    emit windowShown(id);
}

} // namespace keelbox::ui
