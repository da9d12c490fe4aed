#pragma once

#include "capture/hal/CaptureTarget.h"
#include "capture/hal/PlayingProgram.h"

#include <QMenu>
#include <QPointer>
#include <QPushButton>

#include <vector>

namespace vessaro {

// The footer's chooser of which sound to record, drawn like the footer's
// link: its title says what is (or will be) recorded. Pressed, it asks for
// the programs playing; given them, it opens a menu with "全部声音" first.
// Main thread only.
class ProgramChooser final : public QPushButton {
    Q_OBJECT
public:
    // Long program names are cut to this width; the full title is the tool tip.
    static constexpr int maximumWidthPoints = 240;

    explicit ProgramChooser(const QFont& font, QWidget* parent = nullptr);

    // The title and whether it opens, as the window's presentation says.
    void setTitle(const QString& title, bool opens);
    // Opens the menu under the chooser: every program in `programs`, and
    // `current` among them even when it plays nothing now. Choosing one emits
    // chosen(); the menu closes itself.
    void openMenu(const std::vector<PlayingProgram>& programs, const CaptureTarget& current);
    // The open menu, or null.
    QMenu* menu() const { return m_menu; }

Q_SIGNALS:
    // Pressed: the menu waits for the programs playing.
    void programsWanted();
    void chosen(const vessaro::CaptureTarget& target);

private:
    QPointer<QMenu> m_menu;
};

} // namespace vessaro
