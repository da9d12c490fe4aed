#include "ServerAudio.h"

#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace vessaro::test {
namespace {

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

QString ServerAudio::sound(const QStringList& synth)
{
    // Removed at exit; the sounds are tiny.
    static QTemporaryDir directory;
    const QString path = directory.filePath(synth.join(QLatin1Char('_')) + QStringLiteral(".wav"));
    if (QFile::exists(path))
        return path;
    // 16-bit stereo at the output's rate; the server converts as it pleases.
    QStringList arguments { QStringLiteral("-n"), QStringLiteral("-r"), QString::number(outputSampleRate()),
        QStringLiteral("-c"), QStringLiteral("2"), QStringLiteral("-b"), QStringLiteral("16"), path,
        QStringLiteral("synth") };
    arguments += synth;
    arguments << QStringLiteral("vol") << QStringLiteral("0.5");
    return directory.isValid() && run(QStringLiteral("sox"), arguments) ? path : QString();
}

bool ServerAudio::play(const QString& file, const QString& sink)
{
    QStringList arguments;
    if (!sink.isEmpty())
        arguments << QStringLiteral("--device=") + sink;
    arguments << file;
    return run(QStringLiteral("paplay"), arguments);
}

} // namespace vessaro::test
