#include "ui/BrisalWindowControls.h"

#include "base/ProductName.h"
#include "ui/WindowButton.h"

#include <QEnterEvent>

namespace vessaro {
namespace {

struct Row {
    WindowButton::Kind kind;
    QStringView accessibleName;
    bool namesTheProgram;
    void (*act)(QWidget* window);
};

const Row kRows[] = {
    { WindowButton::Kind::close, u"关闭", true, [](QWidget* window) { window->close(); } },
    { WindowButton::Kind::minimize, u"最小化", false, [](QWidget* window) { window->showMinimized(); } },
    { WindowButton::Kind::zoom, u"缩放窗口", false,
        [](QWidget* window) { window->isMaximized() ? window->showNormal() : window->showMaximized(); } },
};

} // namespace

BrisalWindowControls::BrisalWindowControls(QWidget* parent)
    : QWidget(parent)
{
    setFixedSize(widthPoints, heightPoints);
    for (std::size_t i = 0; i < m_buttons.size(); ++i) {
        const Row& row = kRows[i]; // NOLINT(cppcoreguidelines-pro-bounds-constant-array-index)
        auto* button = new WindowButton(row.kind, this); // NOLINT(cppcoreguidelines-owning-memory): owned by this view
        button->move(4 + 24 * static_cast<int>(i), 6);
        button->setAccessibleName(
            row.accessibleName.toString() + (row.namesTheProgram ? kProductName.toString() : QString()));
        connect(button, &QAbstractButton::clicked, this, [this, act = row.act] {
            if (QWidget* host = window(); host && host != this)
                act(host);
        });
        m_buttons.at(i) = button;
    }
}

void BrisalWindowControls::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    showSigns(true);
}

void BrisalWindowControls::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    showSigns(false);
}

void BrisalWindowControls::showSigns(bool shows)
{
    for (WindowButton* button : m_buttons)
        button->setShowsSign(shows);
}

} // namespace vessaro
