#pragma once

#include <QAccessibleWidget>

namespace vessaro {

// The accessible face of a widget some of whose children are decoration. Qt
// shows screen readers every child widget; this leaves out those passed to
// hide(), such as the drag area, which serves only the pointer, and the
// pulsing dot, which says nothing its sentence does not. Main thread only.
class QuietAccessibleWidget final : public QAccessibleWidget {
public:
    // Keeps `decoration` out of what screen readers are shown. Call it before
    // its parent is first shown to them: the parent's face is made once.
    static void hide(QWidget* decoration);

    explicit QuietAccessibleWidget(QWidget* widget);

    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;

private:
    QList<QWidget*> shownChildren() const;
};

} // namespace vessaro
