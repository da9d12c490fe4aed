#include "ui/ReducedMotion.h"

#include <QProcess>
#include <QStandardPaths>

namespace vessaro::ReducedMotion {
namespace {

QByteArray readEnableAnimations()
{
    if (QStandardPaths::findExecutable(QStringLiteral("gsettings")).isEmpty())
        return {};
    QProcess gsettings;
    gsettings.start(QStringLiteral("gsettings"),
        { QStringLiteral("get"), QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("enable-animations") });
    // Asked once at start-up; a desktop that does not answer quickly has no say.
    if (!gsettings.waitForFinished(1000) || gsettings.exitCode() != 0) {
        gsettings.kill();
        gsettings.waitForFinished(100);
        return {};
    }
    return gsettings.readAllStandardOutput();
}

} // namespace

bool decide(const QByteArray& environmentValue, const std::function<QByteArray()>& enableAnimations)
{
    const QByteArray value = environmentValue.trimmed();
    if (value == "1")
        return true;
    if (value == "0")
        return false;
    return enableAnimations().trimmed() == "false";
}

bool requested()
{
    static const bool reduced = decide(qgetenv("VESSARO_REDUCE_MOTION"), readEnableAnimations);
    return reduced;
}

} // namespace vessaro::ReducedMotion
