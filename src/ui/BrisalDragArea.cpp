#include "ui/BrisalDragArea.h"

#include <QMouseEvent>
#include <QWindow>

namespace vessaro {

BrisalDragArea::BrisalDragArea(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_NoSystemBackground);
}

void BrisalDragArea::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    m_grabOffset.reset();
    QWidget* host = window();
    QWindow* handle = host->windowHandle();
    if (handle && handle->startSystemMove())
        return;
    m_grabOffset = event->globalPosition().toPoint() - host->frameGeometry().topLeft();
}

void BrisalDragArea::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_grabOffset) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    event->accept();
    window()->move(event->globalPosition().toPoint() - *m_grabOffset);
}

void BrisalDragArea::mouseReleaseEvent(QMouseEvent* event)
{
    m_grabOffset.reset();
    QWidget::mouseReleaseEvent(event);
}

} // namespace vessaro
