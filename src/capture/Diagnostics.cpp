#include "capture/Diagnostics.h"

#include <QLocale>

#include <cmath>

namespace vessaro {

QMap<QString, QString> Diagnostics::entries() const
{
    // The shortest text that reads back as the same double, with ".0" on whole numbers.
    QString rate = QString::number(sampleRate, 'g', QLocale::FloatingPointShortest);
    if (std::isfinite(sampleRate) && !rate.contains(QLatin1Char('.')) && !rate.contains(QLatin1Char('e')))
        rate += QStringLiteral(".0");
    QMap<QString, QString> entries {
        { QStringLiteral("backend"), backend },
        { QStringLiteral("tap"), QString::number(tap) },
        { QStringLiteral("device"), QString::number(device) },
        { QStringLiteral("io"), ioProc ? QStringLiteral("allocated") : QStringLiteral("none") },
        { QStringLiteral("running"), running ? QStringLiteral("true") : QStringLiteral("false") },
        { QStringLiteral("sampleRate"), rate },
    };
    if (!program.isEmpty())
        entries.insert(QStringLiteral("program"), program);
    return entries;
}

} // namespace vessaro
