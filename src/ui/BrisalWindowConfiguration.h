#pragma once

class QWidget;

namespace vessaro {

// Strips a top-level window of its frame, title bar, shadow and background, so
// that only its painted content shows. Main thread only.
class BrisalWindowConfiguration {
public:
    // Idempotent: call it whenever the content updates. Does nothing without a
    // window. Changing window flags hides a shown window; it is shown again.
    static void apply(QWidget* window);
};

} // namespace vessaro
