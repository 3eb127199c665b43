#pragma once
// Small pieces the four windows share (the divider is in ui/Widgets.h).

#include <Qt>

class QLabel;
class QScrollArea;
class QWidget;

namespace keelbox::ui {

// A plain-text label that wraps onto as many lines as it needs, its text selectable with the mouse.
QLabel* wrappingLabel(QWidget* parent);
// A vertically scrolling area whose content takes the viewport's width and the height its
// wrapped texts need at that width. (A resizable scroll area alone gives the content its minimum
// height, for which Qt measures wrapped labels at a width of its own choosing: long texts get
// cut.)
QScrollArea* verticalScrollArea(QWidget* content, QWidget* parent,
                                Qt::ScrollBarPolicy bar = Qt::ScrollBarAlwaysOn);

} // namespace keelbox::ui
