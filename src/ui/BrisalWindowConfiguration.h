#pragma once

class QRegion;
class QWidget;

namespace vessaro {

// Strips a top-level window of its frame, title bar, shadow and background, so
// that only its painted content shows. Main thread only.
class BrisalWindowConfiguration {
public:
    // Idempotent: call it whenever the content updates. Does nothing without a
    // window. Changing window flags hides a shown window; it is shown again.
    static void apply(QWidget* window);
    // Lets the pointer through `window` outside `shape` (window coordinates),
    // to the windows behind; an empty shape takes it everywhere again.
    static void applyShape(QWidget* window, const QRegion& shape);
};

} // namespace vessaro
