// Writes the fuzzers' seeds with the real writer, so they follow its format:
// a take left as a crash leaves it (two whole fragments, never finished) and
// a finished one, a few kilobytes each: the fuzzer spends its time on the
// boxes, not on the audio.
// Usage: make_seeds DIRECTORY

#include "support/TestSupport.h"

#include <QDir>
#include <QString>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIRECTORY\n");
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    using vessaro::test::writeRecording;
    if (!QDir().mkpath(directory) || writeRecording(directory + QStringLiteral("/fragmented.mp4"), 2) < 0
        || writeRecording(directory + QStringLiteral("/finished.mp4"), 1, true) < 0) {
        std::fprintf(stderr, "make_seeds: the writer failed\n");
        return 1;
    }
    return 0;
}
