#pragma once

class QAbstractButton;
class QKeyEvent;
class QPainter;
class QPainterPath;

// What a painted button needs to serve the keyboard as Qt's own buttons do: a
// ring in the theme's blue while it has the focus, and Return and Enter
// pressing it as Space does. Main thread only.
namespace vessaro::KeyboardAccess {

// Draws the ring centred on `outline` when `button` has the focus: 2 points
// of blue between two 1-point edges of cream, so that it shows on the dark
// header as on the light body.
void paintFocusRing(QPainter& painter, const QAbstractButton& button, const QPainterPath& outline);
// Presses `button` on Return or Enter and says so; any other key is left to
// the caller.
bool pressOnReturn(QAbstractButton& button, const QKeyEvent& event);

} // namespace vessaro::KeyboardAccess
