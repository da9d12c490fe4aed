// Usage: make_seeds DIRECTORY. The fuzzers' seeds, from the real writer so they follow its format: a take left
// as a crash leaves it (two whole fragments, never finished) and a finished one.

#include "support/TestSupport.h"

#include <QDir>

#include <cstdio>

int main(int argc, char** argv)
{
    using vessaro::test::writeRecording;
    const QString directory = argc == 2 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (directory.isEmpty() || !QDir().mkpath(directory) || writeRecording(directory + "/fragmented.mp4", 2) < 0
        || writeRecording(directory + "/finished.mp4", 1, true) < 0) {
        std::fprintf(stderr, "usage: make_seeds DIRECTORY (the writer must succeed)\n");
        return 1;
    }
    return 0;
}
