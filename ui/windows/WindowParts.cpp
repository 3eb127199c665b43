#include "ui/windows/WindowParts.h"
#include "ui/PlainText.h"

#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QScrollArea>
#include <QScrollBar>

namespace keelbox::ui {

namespace {

// Sets the content's minimum height from its height for the viewport's width, whenever either
// changes.
class HeightForWidthFit : public QObject {
public:
    HeightForWidthFit(QScrollArea* area, QWidget* content)
        : QObject(area), m_area(area), m_content(content) {
        area->viewport()->installEventFilter(this);
        content->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest ||
            event->type() == QEvent::Show) {
            const int width = m_area->viewport()->width();
            const int height = m_content->heightForWidth(width);
            if (height > 0 && height != m_content->minimumHeight())
                m_content->setMinimumHeight(height);
            if (event->type() == QEvent::Show && m_content->layout())
                m_content->layout()->invalidate();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QScrollArea* m_area;
    QWidget* m_content;
};

} // namespace

QLabel* wrappingLabel(QWidget* parent) {
    QLabel* label = plainLabel(parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QScrollArea* verticalScrollArea(QWidget* content, QWidget* parent, Qt::ScrollBarPolicy bar) {
    auto* area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setVerticalScrollBarPolicy(bar);
    area->setWidget(content);
    new HeightForWidthFit(area, content);
    return area;
}

} // namespace keelbox::ui
