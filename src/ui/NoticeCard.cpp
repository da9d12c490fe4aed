#include "ui/NoticeCard.h"

#include "ui/BrisalTheme.h"
#include "ui/OrloSecondaryButton.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

namespace vessaro {

NoticeCard::NoticeCard(QWidget* parent)
    : QWidget(parent)
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);

    // Children are owned by the widget tree.
    m_scroll = new QScrollArea(this); // NOLINT(cppcoreguidelines-owning-memory)
    m_content = new QWidget; // NOLINT(cppcoreguidelines-owning-memory): taken by the scroll area
    m_message = new QLabel(m_content); // NOLINT(cppcoreguidelines-owning-memory)
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    m_usage = new OrloSecondaryButton(QStringLiteral("查看使用帮助"), m_content);

    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setFont(BrisalTheme::systemFont(13));
    QPalette palette = m_message->palette();
    palette.setColor(QPalette::WindowText, BrisalTheme::ink());
    m_message->setPalette(palette);

    auto* stack = new QVBoxLayout(m_content); // NOLINT(cppcoreguidelines-owning-memory)
    stack->setContentsMargins(marginPoints, marginPoints, marginPoints, marginPoints);
    stack->setSpacing(spacingPoints);
    stack->addWidget(m_message);
    stack->addWidget(m_usage, 0, Qt::AlignLeft);

    m_scroll->setWidget(m_content);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // A Tab stop with nothing to press and no ring would only confuse; the
    // message reaches screen readers through its label.
    m_scroll->setFocusPolicy(Qt::NoFocus);
    // The card paints its own background under a transparent scroll area.
    m_scroll->setAutoFillBackground(false);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_content->setAutoFillBackground(false);
    m_scroll->verticalScrollBar()->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 14px 4px 14px 0; }"
        "QScrollBar::handle:vertical { background: rgba(19, 38, 64, 0.32); border-radius: 3px; min-height: 24px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }"));

    connect(m_usage, &QAbstractButton::clicked, this, &NoticeCard::usageRequested);
}

void NoticeCard::setMessage(const QString& message)
{
    m_message->setText(message);
    updateGeometry();
    fitHeight();
}

QString NoticeCard::message() const
{
    return m_message->text();
}

int NoticeCard::heightForWidth(int width) const
{
    return std::min(maximumHeightPoints, m_content->layout()->heightForWidth(width));
}

QSize NoticeCard::sizeHint() const
{
    const int width = std::max(this->width(), 200);
    return { width, heightForWidth(width) };
}

void NoticeCard::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitHeight();
}

void NoticeCard::fitHeight()
{
    // A width too narrow for the margins has no height yet.
    if (const int height = heightForWidth(width()); height > 0)
        setFixedHeight(height);
    // The scroll area covers the card's face, also when the height did not
    // change and no further resize event comes.
    m_scroll->setGeometry(rect());
}

void NoticeCard::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    // The outline is drawn half a point inside so all of its width shows.
    const QRectF outline = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    card.addRoundedRect(outline, cornerRadiusPoints, cornerRadiusPoints);
    painter.fillPath(card, BrisalTheme::cream());
    QColor line = BrisalTheme::blue();
    line.setAlphaF(0.1F);
    painter.setPen(QPen(line, 1.0));
    painter.drawPath(card);
}

} // namespace vessaro
