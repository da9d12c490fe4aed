#include "ui/QuietAccessibleWidget.h"

#include <QVariant>
#include <QWidget>

namespace vessaro {
namespace {

constexpr char kHiddenProperty[] = "vessaroHiddenFromScreenReaders";

bool hidden(const QObject* object)
{
    return object->property(kHiddenProperty).toBool();
}

QAccessibleInterface* quietFace(const QString& className, QObject* object)
{
    // Asked first with the object's own class, then with each base class;
    // answering the first question is enough.
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget || className != QLatin1String(object->metaObject()->className()))
        return nullptr;
    for (const QObject* child : object->children()) {
        if (hidden(child))
            return new QuietAccessibleWidget(widget);
    }
    return nullptr;
}

} // namespace

void QuietAccessibleWidget::hide(QWidget* decoration)
{
    static const bool installed = [] {
        QAccessible::installFactory(quietFace);
        return true;
    }();
    Q_UNUSED(installed);
    decoration->setProperty(kHiddenProperty, true);
}

QuietAccessibleWidget::QuietAccessibleWidget(QWidget* widget)
    : QAccessibleWidget(widget)
{ }

QList<QWidget*> QuietAccessibleWidget::shownChildren() const
{
    // As Qt's own list: the child widgets that are not windows of their own.
    QList<QWidget*> shown;
    for (QObject* child : widget()->children()) {
        auto* childWidget = qobject_cast<QWidget*>(child);
        if (childWidget && !childWidget->isWindow() && !hidden(childWidget))
            shown.append(childWidget);
    }
    return shown;
}

int QuietAccessibleWidget::childCount() const
{
    return static_cast<int>(shownChildren().size());
}

QAccessibleInterface* QuietAccessibleWidget::child(int index) const
{
    const QList<QWidget*> shown = shownChildren();
    return index >= 0 && index < shown.size() ? QAccessible::queryAccessibleInterface(shown.at(index)) : nullptr;
}

int QuietAccessibleWidget::indexOfChild(const QAccessibleInterface* child) const
{
    if (!child)
        return -1;
    return static_cast<int>(shownChildren().indexOf(qobject_cast<QWidget*>(child->object())));
}

} // namespace vessaro
