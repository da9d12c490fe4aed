#pragma once

#include <QObject>

namespace vessaro {

// Carries an export's progress from the thread that exports to the model:
// advanced() may be emitted from any thread; connect it with the model as
// context, so that it arrives queued on the main thread.
class ExportProgress final : public QObject {
    Q_OBJECT
Q_SIGNALS:
    void advanced(int percentDone);
};

} // namespace vessaro
