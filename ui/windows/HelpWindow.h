#pragma once
// The window "help": an introduction and eight short sections, 520 × 560, scrolling.

#include <QWidget>

#include <array>
#include <string_view>
#include <vector>

class QLabel;

namespace keelbox::app {
class Localizer;
}

namespace keelbox::ui {

struct HelpSection {
    std::string_view symbol;
    std::string_view titleKey;
    std::string_view bodyKey;
};

inline constexpr std::array<HelpSection, 8> helpSections{{
    {"externaldrive.badge.plus", "help.connect.title", "help.connect.body"},
    {"slider.horizontal.3", "help.setup.title", "help.setup.body"},
    {"arrow.triangle.2.circlepath", "help.modes.title", "help.modes.body"},
    {"bolt.badge.clock", "help.auto.title", "help.auto.body"},
    {"eject", "help.eject.title", "help.eject.body"},
    {"lock.shield", "help.perm.title", "help.perm.body"},
    {"list.bullet.rectangle", "help.errors.title", "help.errors.body"},
    {"doc.text", "help.config.title", "help.config.body"},
}};

class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(app::Localizer& localizer, QWidget* parent = nullptr);

protected:
    void changeEvent(QEvent* event) override;

private:
    void retranslate();
    void restyle();

    app::Localizer& m_localizer;
    QLabel* m_headerIcon;
    QLabel* m_intro;
    struct SectionLabels {
        QLabel* icon;
        QLabel* title;
        QLabel* body;
    };
    std::vector<SectionLabels> m_sections;
};

} // namespace keelbox::ui
