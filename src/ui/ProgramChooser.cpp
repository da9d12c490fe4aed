#include "ui/ProgramChooser.h"

#include "ui/BrisalTheme.h"

#include <QFontMetrics>
#include <QIcon>

namespace vessaro {

ProgramChooser::ProgramChooser(const QFont& font, QWidget* parent)
    : QPushButton(parent)
{
    setFont(font);
    setCursor(Qt::PointingHandCursor);
    setFlat(true);
    setFocusPolicy(Qt::TabFocus);
    // Outside a dialog a push button ignores Return unless it is an auto default.
    setAutoDefault(true);
    // Drawn like the footer's link; closed during a take, it reads as text.
    setStyleSheet(QStringLiteral("QPushButton { border: 2px solid transparent; border-radius: 5px; "
                                 "background: transparent; padding: 0 2px; color: %1; }"
                                 "QPushButton:focus { border-color: %1; }"
                                 "QPushButton:disabled { color: %2; }")
                      .arg(BrisalTheme::blue().name(), BrisalTheme::secondaryInk().name()));
    connect(this, &QPushButton::clicked, this, &ProgramChooser::programsWanted);
}

void ProgramChooser::setTitle(const QString& title, bool opens)
{
    setText(QFontMetrics(font()).elidedText(title, Qt::ElideMiddle, maximumWidthPoints));
    setToolTip(text() == title ? QString() : title);
    setAccessibleName(title);
    setEnabled(opens);
    if (!opens && m_menu)
        m_menu->close();
}

void ProgramChooser::openMenu(const std::vector<PlayingProgram>& programs, const CaptureTarget& current)
{
    if (!isEnabled() || !isVisible())
        return;
    if (m_menu)
        m_menu->deleteLater();
    m_menu = new QMenu(this); // NOLINT(cppcoreguidelines-owning-memory): owned by the chooser
    m_menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto add = [this, &current](const QString& title, const QIcon& icon, const CaptureTarget& target) {
        QAction* action = m_menu->addAction(icon, title);
        action->setCheckable(true);
        action->setChecked(target == current);
        connect(action, &QAction::triggered, this, [this, target] { Q_EMIT chosen(target); });
    };
    add(QStringLiteral("全部声音"), {}, CaptureTarget::everything());
    m_menu->addSeparator();
    bool currentListed = current.isEverything();
    for (const PlayingProgram& program : programs) {
        add(program.name, QIcon::fromTheme(program.iconName), CaptureTarget::ofProgram(program.name));
        currentListed = currentListed || program.name == current.program;
    }
    // The chosen program plays nothing now, but stays the choice until changed.
    if (!currentListed)
        add(current.program, {}, current);
    m_menu->popup(mapToGlobal(QPoint(0, height())));
}

} // namespace vessaro
