#include "ui/Icons.h"

#include <QFile>
#include <QIconEngine>
#include <QPainter>

#include <algorithm>
#include <array>

// The icons are a resource of a static library: registered by hand before the first look-up.
static void initIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace keelbox::ui {

namespace {

constexpr std::array mappings{
    IconMapping{"externaldrive.badge.timemachine", "", "keelbox"},
    IconMapping{"arrow.triangle.2.circlepath", "emblem-synchronizing-symbolic", "keelbox-busy"},
    IconMapping{"externaldrive", "drive-removable-media-symbolic", "drive"},
    IconMapping{"externaldrive.fill", "drive-removable-media-symbolic", "drive"},
    IconMapping{"externaldrive.badge.questionmark", "", "drive-question"},
    IconMapping{"externaldrive.badge.plus", "", "drive-plus"},
    IconMapping{"internaldrive", "drive-harddisk-symbolic", "harddisk"},
    IconMapping{"questionmark.circle", "help-about-symbolic", "help"},
    IconMapping{"arrow.clockwise", "view-refresh-symbolic", "refresh"},
    IconMapping{"arrow.down.circle.fill", "software-update-available-symbolic", "update"},
    IconMapping{"eject", "media-eject-symbolic", "eject"},
    IconMapping{"eject.fill", "media-eject-symbolic", "eject"},
    IconMapping{"stop.circle", "process-stop-symbolic", "stop"},
    IconMapping{"slider.horizontal.3", "preferences-system-symbolic", "sliders"},
    IconMapping{"arrow.down.doc", "document-save-symbolic", "save"},
    IconMapping{"chevron.right.circle", "go-next-symbolic", "chevron"},
    IconMapping{"gearshape", "emblem-system-symbolic", "gear"},
    IconMapping{"list.bullet.rectangle", "view-list-symbolic", "list"},
    IconMapping{"folder", "folder-symbolic", "folder"},
    IconMapping{"doc.on.doc", "edit-copy-symbolic", "copy"},
    IconMapping{"minus.circle.fill", "list-remove-symbolic", "remove"},
    IconMapping{"plus", "list-add-symbolic", "add"},
    IconMapping{"trash", "user-trash-symbolic", "trash"},
    IconMapping{"exclamationmark.triangle", "dialog-warning-symbolic", "warning"},
    IconMapping{"exclamationmark.triangle.fill", "dialog-warning-symbolic", "warning"},
    IconMapping{"switch.2", "preferences-other-symbolic", "switches"},
    IconMapping{"lightbulb", "", "bulb"},
    IconMapping{"bolt.badge.clock", "", "bolt-clock"},
    IconMapping{"lock.shield", "channel-secure-symbolic", "lock-shield"},
    IconMapping{"doc.text", "text-x-generic-symbolic", "text"},
};

QString resourcePath(std::string_view name) {
    static const bool registered = (initIconResources(), true);
    (void)registered;
    return QStringLiteral(":/keelbox/icons/%1.svg").arg(QLatin1String(name.data(), name.size()));
}

// Draws another icon with every opaque pixel in one colour: symbolic theme icons carry their own
// grey, and our SVGs are black.
class TintedIconEngine : public QIconEngine {
public:
    TintedIconEngine(QIcon base, QColor colour) : m_base(std::move(base)), m_colour(colour) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size(), mode, state, dpr));
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        QPixmap pixmap = m_base.pixmap(size, scale, QIcon::Normal, state);
        if (pixmap.isNull())
            return pixmap;
        QColor colour = m_colour;
        if (mode == QIcon::Disabled)
            colour.setAlphaF(colour.alphaF() * 0.4f);
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), colour);
        return pixmap;
    }

    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return m_base.actualSize(size, mode, state);
    }

    QIconEngine* clone() const override { return new TintedIconEngine(m_base, m_colour); }
    QString key() const override { return QStringLiteral("keelbox-tinted"); }

private:
    QIcon m_base;
    QColor m_colour;
};

QIcon baseIcon(const IconMapping& mapping, bool allowTheme) {
    const QIcon bundled(resourcePath(mapping.resource));
    if (!allowTheme || mapping.themeName.empty())
        return bundled;
    const QString name = QString::fromLatin1(mapping.themeName.data(), mapping.themeName.size());
    return QIcon::hasThemeIcon(name) ? QIcon::fromTheme(name) : bundled;
}

} // namespace

std::span<const IconMapping> iconMappings() {
    return mappings;
}

const IconMapping* findIconMapping(std::string_view symbol) {
    for (const IconMapping& mapping : mappings)
        if (mapping.symbol == symbol)
            return &mapping;
    return nullptr;
}

QIcon icon(std::string_view symbol, const QColor& colour) {
    const IconMapping* mapping = findIconMapping(symbol);
    if (!mapping)
        return {};
    return QIcon(new TintedIconEngine(baseIcon(*mapping, true), colour));
}

QIcon icon(std::string_view symbol, const QPalette& palette) {
    return icon(symbol, palette.color(QPalette::WindowText));
}

QIcon bundledIcon(std::string_view symbol, const QColor& colour) {
    const IconMapping* mapping = findIconMapping(symbol);
    if (!mapping)
        return {};
    return QIcon(new TintedIconEngine(baseIcon(*mapping, false), colour));
}

QIcon applicationIcon() {
    return QIcon::fromTheme(QStringLiteral("keelbox"),
                            QIcon(QStringLiteral(":/keelbox/app/keelbox.svg")));
}

QIcon trayIcon(bool busy, TrayHost host, const QColor& panelText) {
    const char* symbol = busy ? "arrow.triangle.2.circlepath" : "externaldrive.badge.timemachine";
    if (host == TrayHost::recoloursSymbolic)
        return QIcon::fromTheme(busy ? QStringLiteral("keelbox-busy-symbolic")
                                     : QStringLiteral("keelbox-symbolic"),
                                bundledIcon(symbol, panelText));
    // The application icon's tile with the state's glyph in white: it reads on a light panel and
    // on a dark one alike.
    const QIcon glyph = bundledIcon(symbol, Qt::white);
    QIcon result;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient sea(0, 0, 0, size);
        sea.setColorAt(0, QColor(0x2b, 0x8f, 0xb3));
        sea.setColorAt(1, QColor(0x17, 0x60, 0x7d));
        painter.setPen(Qt::NoPen);
        painter.setBrush(sea);
        painter.drawRoundedRect(QRectF(0, 0, size, size), size * 0.2, size * 0.2);
        const int inner = size - 2 * std::max(2, size / 8);
        const int offset = (size - inner) / 2;
        painter.drawPixmap(QPoint(offset, offset), glyph.pixmap(QSize(inner, inner)));
        painter.end();
        result.addPixmap(pixmap);
    }
    return result;
}

} // namespace keelbox::ui
