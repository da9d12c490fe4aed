#!/usr/bin/env python3
"""Plants known faults one at a time and reports which the test suite catches.

Each fault is a small edit of the source. For each one the script applies the
edit, rebuilds, runs the tests most likely to catch it, then (if they pass)
the rest of the suite: the tests without an audio server, then the server
tests against a private PulseAudio (or the server a fault names). The edit is always undone.

Not part of the default test command: a whole table takes about half an hour.

  tests/planted-faults.py [--build DIR] [--only NAME ...] [--every]

--every runs the whole suite for each fault and lists every test that failed,
instead of stopping at the first group that caught it.
"""

import argparse
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


class Fault:
    def __init__(self, name, path, edits, first, server="pulseaudio"):
        self.name = name
        self.path = path
        self.edits = edits  # (old, new) pairs; each old text must occur once
        self.first = first  # the tests to try first
        self.server = server  # the sound server those of them that need one run against


FAULTS = [
    Fault("ring wrap off by one", "src/media/AudioRing.cpp",
          [("std::memcpy(target + first, m_bytes.get(), bytes - first);",
            "std::memcpy(target + first, m_bytes.get() + 1, bytes - first);")],
          ["tst_audioring"]),
    Fault("float scale", "src/media/FfmpegMediaWriter.cpp",
          [("static_cast<double>(sample) * 8388608.0;", "static_cast<double>(sample) * 8388607.0;")],
          ["tst_ffmpegmediawriter"]),
    Fault("float clamp", "src/media/FfmpegMediaWriter.cpp",
          [("std::clamp(scaled, -8388608.0, 8388607.0)", "std::clamp(scaled, -8388608.0, 8388608.0)")],
          ["tst_ffmpegmediawriter"]),
    Fault("last packet's duration", "src/media/FfmpegMediaWriter.cpp",
          [("m_packet->duration = samples > 0 ? samples : m_packet->duration;",
            "m_packet->duration = samples > 0 ? m_samplesPerEncoderFrame : m_packet->duration;")],
          ["tst_ffmpegmediawriter"]),
    Fault("media writer's first failure overwritten", "src/media/FfmpegMediaWriter.cpp",
          [("    if (status() == Status::failed)\n        return;\n    m_errorText = text;",
            "    m_errorText = text;")],
          ["tst_ffmpegmediawriter"]),
    Fault("fragment not synced", "src/media/AlacMp4Muxer.cpp",
          [("    m_syncer->request(avio_tell(m_io.get()));\n", "")],
          ["tst_ffmpegmediawriter", "tst_verifycaptureprocess"]),
    Fault("interrupted conversion left uncommitted", "src/media/Mp4Flattener.cpp",
          [("            if (int error = writeAt(fd, region.offset, regionHeader(region.offset, box->offset)); error != 0)\n"
            "                return writeError(error);\n", "")],
          ["tst_ffmpegmediawriter"]),
    Fault("conversion's read error closes the file before the salvage", "src/media/AlacMp4Muxer.cpp",
          [("    if (!report)\n        return report; // the file stays open for salvage()",
            "    if (!report) {\n        (void)m_file.close();\n        return report;\n    }")],
          ["tst_ffmpegmediawriter"]),
    Fault("late close error loses the take", "src/media/AlacMp4Muxer.cpp",
          [("    if (const int error = m_file.close(); error != 0 && !report.value().conversionError)\n"
            "        report.value().conversionError = PlatformError::fromErrno(error, QStringLiteral(\"写入文件失败\"));",
            "    if (const int error = m_file.close(); error != 0)\n"
            "        return PlatformError::fromErrno(error, QStringLiteral(\"写入文件失败\"));")],
          ["tst_ffmpegmediawriter"]),
    Fault("unreadable file taken for one without audio", "src/media/FfmpegMediaWriter.cpp",
          [("m_holdsNoAudio = refusal && refusal->kind() == RecorderError::Case::invalidOutput;",
            "m_holdsNoAudio = refusal || !salvaged;")],
          ["tst_ffmpegmediawriter"]),
    Fault("unproven file removed", "src/capture/AudioSampleWriter.cpp",
          [("    if (m_writer->holdsNoAudio()) {", "    if (!m_writer->hasPlayableFile()) {")],
          ["tst_audiosamplewriter"]),
    Fault("fragment synced on the encoder thread", "src/media/AlacMp4Muxer.cpp",
          [("    m_syncer->request(avio_tell(m_io.get()));\n    return 0;", "    return flushToDisk();")],
          ["tst_ffmpegmediawriter"]),
    Fault("unsynced fragments salvaged", "src/media/AlacMp4Muxer.cpp",
          [("mp4::truncateTo(m_file.get(), m_syncer->syncedEnd())", "0")],
          ["tst_ffmpegmediawriter"]),
    Fault("leftover committed before its index is synced", "src/media/Mp4Flattener.cpp",
          [("            if (int error = syncData(fd); error != 0)\n                return writeError(error);\n"
            "            if (int error = writeAt(fd, region.offset, regionHeader(region.offset, box->offset)); error != 0)\n"
            "                return writeError(error);\n",
            "            if (int error = writeAt(fd, region.offset, regionHeader(region.offset, box->offset)); error != 0)\n"
            "                return writeError(error);\n"
            "            if (int error = syncData(fd); error != 0)\n                return writeError(error);\n")],
          ["tst_ffmpegmediawriter"]),
    Fault("runs share the mdat's bytes", "src/media/Mp4Track.cpp",
          [("if (start < claimed || start > mdat.end()", "if (start < mdat.payload() || start > mdat.end()")],
          ["tst_ffmpegmediawriter"]),
    Fault("timing sum unchecked", "src/media/Mp4OrdinaryMoov.cpp",
          [("        if (span > std::uint64_t(std::numeric_limits<std::int64_t>::max() - samples))\n"
            "            return std::nullopt;\n", "")],
          ["tst_ffmpegmediawriter"]),
    Fault("box size cut to 32 bits", "src/media/Mp4Bytes.h",
          [("if (payloadBytes + 8 <= 0xFFFFFFFFu) {", "if (true) {")],
          ["tst_ffmpegmediawriter"]),
    Fault("release order", "src/capture/CoreAudioTapDriver.cpp",
          [("    if (m_device != 0) {\n        if (m_io) {",
            "    if (m_tap != 0) {\n        if (OSStatus status = m_hardware->destroyProcessTap(m_tap); status == 0)\n"
            "            m_tap = 0;\n        else\n            remember(QStringLiteral(\"释放系统音频采集\"), status);\n    }\n"
            "    if (m_device != 0) {\n        if (m_io) {")],
          ["tst_coreaudiotapdriver"]),
    Fault("handle kept after a failed release", "src/capture/CoreAudioTapDriver.cpp",
          [("        if (OSStatus status = m_hardware->destroyProcessTap(m_tap); status == 0)\n            m_tap = 0;\n"
            "        else\n            remember(",
            "        OSStatus status = m_hardware->destroyProcessTap(m_tap);\n        m_tap = 0;\n"
            "        if (status != 0)\n            remember(")],
          ["tst_coreaudiotapdriver"]),
    Fault("driver's first failure overwritten", "src/capture/CoreAudioTapDriver.cpp",
          [("        if (!firstFailure)\n            firstFailure =", "        firstFailure =")],
          ["tst_coreaudiotapdriver"]),
    Fault("sample writer's first failure overwritten", "src/capture/AudioSampleWriter.cpp",
          [("    if (m_failure)\n        return;\n    m_failure = std::move(error);", "    m_failure = std::move(error);")],
          ["tst_audiosamplewriter"]),
    Fault("frames counted for a refused buffer", "src/capture/AudioSampleWriter.cpp",
          [("    // Back-pressure: never wait and never retry. One refusal ends the intake.\n",
            "    m_frames.store(frames + frameCount, std::memory_order_relaxed);\n")],
          ["tst_audiosamplewriter"]),
    Fault("cancellation during start ignored", "src/capture/SystemAudioCaptureService.cpp",
          [("            else if (cancelled())\n                failure = Error(CancellationError {});",
            "            else if (cancelled() && !token)\n                failure = Error(CancellationError {});")],
          ["tst_systemaudiocaptureservice"]),
    Fault("default source instead of the monitor", "src/capture/hal/PulseConnection.cpp",
          [("    output.monitorSource = sink.text;", "    output.monitorSource = QByteArray(\"@DEFAULT_SOURCE@\");")],
          ["tst_pulseaudiohardware"]),
    Fault("no flush at start", "src/capture/hal/PulseStream.cpp",
          [("acknowledged(m_stream.get(), pa_stream_flush);",
            "acknowledged(m_stream.get(), pa_stream_update_timing_info);")],
          ["tst_pulseaudiohardware"], server="pipewire"),
    Fault("new default output not followed", "src/capture/hal/PulseSupervisor.cpp",
          [("if (status == 0 && streamAlive && output.monitorSource == *m_monitorSource)",
            "if (status == 0 && streamAlive)")],
          ["tst_pulseaudiohardware"]),
    Fault("output chosen during the countdown dropped", "src/capture/hal/PulseSupervisor.cpp",
          [("    m_state = State::outputChanged;\n    // The thread begins",
            "    m_state = State::recording;\n    // The thread begins")],
          ["tst_pulseaudiohardware"]),
    Fault("self-test ignores a kept IO proc", "src/capture/Diagnostics.h",
          [("return tap == 0 && device == 0 && !ioProc;", "return tap == 0 && device == 0;")],
          ["tst_captureverification"]),
    Fault("validation order", "src/files/RecordingFile.cpp",
          [("    auto tracks = asset->loadAudioTracks();",
            "    if (auto early = Platform::fileSize(path); early && (!early.value() || *early.value() <= 0))\n"
            "        return RecorderError::invalidOutput(QStringLiteral(\"导出的 MP4 是空文件。\"));\n"
            "    auto tracks = asset->loadAudioTracks();")],
          ["tst_recordingfile"]),
    Fault("file name's padding", "src/files/RecordingFile.cpp",
          [("+ field(parts.month, 2)", "+ field(parts.month, 1)")],
          ["tst_recordingfile"]),
    Fault("negative year's sign outside the width", "src/files/RecordingFile.cpp",
          [("rightJustified(width - (number < 0 ? 1 : 0), ", "rightJustified(width, ")],
          ["tst_recordingfile"]),
    Fault("only the newest leftover recovered", "src/files/RecordingFile.cpp",
          [("recovered.push_back({ path, summary.value(), std::move(lock) });\n                continue;",
            "recovered.push_back({ path, summary.value(), std::move(lock) });\n                break;")],
          ["tst_recordingfile"]),
    Fault("a damaged leftover stops the rest", "src/files/RecordingFile.cpp",
          [("        (void)Platform::moveItem(path, path + QStringLiteral(\".damaged\"));\n",
            "        (void)Platform::moveItem(path, path + QStringLiteral(\".damaged\"));\n        break;\n")],
          ["tst_recordingfile"]),
    Fault("unparseable leftover removed", "src/files/RecordingFile.cpp",
          [("if (refused && *refused == Mp4Flattener::provedEmpty())", "if (refused)")],
          ["tst_recordingfile"]),
    Fault("torn first fragment not proof of no audio", "src/media/Mp4Flattener.cpp",
          [("(boxes.size() == 3 && boxes[2].type == kMoof) ? provedEmpty()", "(boxes.size() == 3 && boxes[2].type == kMoof) ? nothingWhole()")],
          ["tst_recordingfile"]),
    Fault("empty hidden recording file kept", "src/files/RecordingFile.cpp",
          [('{ QStringLiteral("recording-*.mp4"), QStringLiteral(".recording-*.mp4") }', '{ QStringLiteral("recording-*.mp4") }')],
          ["tst_recordingfile"]),
    Fault("leftover taken while locked", "src/base/FileLock.cpp",
          [("    if (error == EWOULDBLOCK)", "    if (error == EWOULDBLOCK && false)")],
          ["tst_recordingfile", "tst_platform"]),
    Fault("export's staging copy not locked", "src/base/Platform.cpp",
          [("    if (staging) {", "    if (staging && false) {")],
          ["tst_platform"]),
    Fault("stale staging copies kept", "src/base/Platform.cpp",
          [("            ::unlink(QFile::encodeName(folder.filePath(name)).constData());", "            continue;")],
          ["tst_platform"]),
    Fault("sweep takes any hidden part file", "src/base/Platform.cpp",
          [(r'QStringLiteral("\\.[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.part$")', r'QStringLiteral("\\..*\\.part$")')],
          ["tst_platform"]),
    Fault("export's folder not synced", "src/base/Platform.cpp",
          [("    if (!folder.isOpen() || (::fsync(folder.get()) != 0 && errno != EINVAL))\n"
            "        return PlatformError::fromErrno(errno, QStringLiteral(\"无法写入\") + quoted(destination));\n", "")],
          ["tst_platform"]),
    Fault("private directory not checked", "src/base/Platform.cpp",
          [("if (info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0700)", "if (info.st_uid != ::geteuid())")],
          ["tst_platform"]),
    Fault("path compared by prefix", "src/base/Platform.cpp",
          [("        if (inner.at(i) != outer.at(i))", "        if (!inner.at(i).startsWith(outer.at(i)))")],
          ["tst_platform"]),
    Fault("runtime folder's owner and mode unchecked", "src/app/SingleInstance.cpp",
          [("        && info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700)", ")")],
          ["tst_singleinstance"]),
    Fault("runtime folder's symbolic link followed", "src/app/SingleInstance.cpp",
          [("::lstat(QFile::encodeName(runtime)", "::stat(QFile::encodeName(runtime)")],
          ["tst_singleinstance"]),
    Fault("stop skips exporting", "src/recorder/RecorderViewModel.cpp",
          [("        return;\n    setPhase(Phase::exporting());\n", "        return;\n")],
          ["tst_recorderviewmodel"]),
    Fault("start keeps the pending file", "src/recorder/RecorderViewModel.cpp",
          [("        m_actionTask->cancel();\n    cleanupPendingTemporaryFile();\n    setElapsedSeconds(0);",
            "        m_actionTask->cancel();\n    setElapsedSeconds(0);")],
          ["tst_recorderviewmodel"]),
    Fault("an exported file removed as pending", "src/recorder/RecorderViewModel.cpp",
          [("if (m_pending && Platform::isInsideTemporaryDirectory(m_pending->path))", "if (m_pending)")],
          ["tst_recorderviewmodel"]),
    Fault("discard without confirmation", "src/recorder/RecorderViewModel.cpp",
          [("if (!self || answer != 0 || m_phase.isBusy() || m_terminating)",
            "if (!self || !answer || m_phase.isBusy() || m_terminating)")],
          ["tst_recorderviewmodel"]),
    # Nothing recorded is lost.
    Fault("a failed device stop discards the take", "src/capture/SystemAudioCaptureService.cpp",
          [("if (!stopped && state->driver->holdsCallbacks())", "if (!stopped)")],
          ["tst_systemaudiocaptureservice"]),
    Fault("a release discards a writer that holds audio", "src/capture/SystemAudioCaptureService.cpp",
          [("        if (writer->frames() <= 0) {", "        if (true) {")],
          ["tst_systemaudiocaptureservice", "tst_recorderviewmodel"]),
    Fault("a quit from the app discards the take", "src/recorder/RecorderViewModel.cpp",
          [("    if (recording) {\n        const Result<CaptureOutcome> stopped",
            "    if (recording && false) {\n        const Result<CaptureOutcome> stopped")],
          ["tst_recorderviewmodel"]),
    Fault("Return on the discard question deletes the take", "src/recorder/RecorderViewModel.cpp",
          [('{ QStringLiteral("取消"), false, true, true }', '{ QStringLiteral("取消"), false, true, false }')],
          ["tst_recorderviewmodel"]),
    Fault("an alert's named default button ignored", "src/ui/QtDesktopServices.cpp",
          [("if (button.isDefault || (i == 0 && !namedDefault))", "if (i == 0 && (namedDefault || !namedDefault))")],
          ["tst_qtdesktopservices"]),
    Fault("a quit waits on the save dialog", "src/recorder/RecorderViewModel.cpp",
          [("    m_desktop->closeModalDialogs();\n", "")],
          ["tst_recorderviewmodel"]),
    Fault("a dialog opens behind the help sheet", "src/ui/QtDesktopServices.cpp",
          [("            sheet->reject();", "            sheet->raise();")],
          ["tst_qtdesktopservices"]),
    Fault("SIGHUP kills the take", "src/app/VessaroApp.cpp",
          [("{ SIGINT, SIGTERM, SIGHUP }", "{ SIGINT, SIGTERM }")],
          ["tst_vessaroapp"]),
    Fault("a leftover found during a take is dropped", "src/recorder/RecorderViewModel.cpp",
          [("    m_waiting.push_back(std::move(leftover));",
            "    if (!m_phase.isBusy())\n        m_waiting.push_back(std::move(leftover));")],
          ["tst_recorderviewmodel"]),
    Fault("a kept take waits behind older leftovers", "src/recorder/RecorderViewModel.cpp",
          [("    m_waiting.push_front(PendingRecording {", "    m_waiting.push_back(PendingRecording {")],
          ["tst_recorderviewmodel"]),
    Fault("system error words fall back to the system's English", "src/base/SystemErrorText.cpp",
          [("#include <cerrno>\n", "#include <cerrno>\n#include <cstring>\n"),
           ("        return QStringLiteral(\"系统错误 \") + QString::number(errnoValue);",
            "        return QString::fromLocal8Bit(std::strerror(errnoValue));")],
          ["tst_errortext"]),
    Fault("file-system errors in the system's English", "src/base/PlatformError.cpp",
          [("#include \"base/SystemErrorText.h\"\n", "#include \"base/SystemErrorText.h\"\n#include <cstring>\n"),
           ("SystemErrorText::describe(errnoValue)", "QString::fromLocal8Bit(std::strerror(errnoValue))")],
          ["tst_platform"]),
    Fault("a full disk told in the system's English", "src/media/FfmpegError.cpp",
          [("        return SystemErrorText::describe(-averror);",
            "    {\n        char english[AV_ERROR_MAX_STRING_SIZE] = {};\n        av_strerror(averror, english, sizeof english);\n"
            "        return QString::fromUtf8(english);\n    }")],
          ["tst_ffmpegmediawriter"]),
    Fault("FFmpeg error words fall back to FFmpeg's English", "src/media/FfmpegError.cpp",
          [("    return QStringLiteral(\"FFmpeg 错误 \") + QString::number(averror);",
            "    char english[AV_ERROR_MAX_STRING_SIZE] = {};\n    av_strerror(averror, english, sizeof english);\n"
            "    return QString::fromUtf8(english);")],
          ["tst_errortext"]),
    Fault("AVERROR(e) not read as the errno", "src/media/FfmpegError.cpp",
          [("averror < 0 && averror >= -kLargestErrno", "averror < 0 && averror >= -kLargestErrno && false")],
          ["tst_errortext"]),
    Fault("an unknown option starts the window", "src/app/CommandLine.cpp",
          [("                complain(QStringLiteral(\"unknown option \") + argument);\n", "")],
          ["tst_verifycaptureprocess"]),
    Fault("a session manager's restore refused", "src/app/CommandLine.cpp",
          [("\"icon\", \"session\", ", "\"icon\", ")],
          ["tst_verifycaptureprocess"]),
    # Boundaries, identities, signals, what the desktop is handed, thresholds.
    Fault("the clock shows hours a second early", "src/ui/PhasePresentation.cpp",
          [("    if (whole < 3600)", "    if (whole < 3599)")],
          ["tst_phasepresentation"]),
    Fault("the same inode on another device taken for the same file", "src/base/Platform.cpp",
          [("&& a.st_dev == b.st_dev && a.st_ino == b.st_ino", "&& a.st_ino == b.st_ino")],
          ["tst_platform"]),
    Fault("SIGINT kills the take", "src/app/VessaroApp.cpp",
          [("{ SIGINT, SIGTERM, SIGHUP }", "{ SIGTERM, SIGHUP }")],
          ["tst_vessaroapp"]),
    Fault("the save dialog forgets the last export's folder", "src/recorder/RecorderViewModel.cpp",
          [("    (void)Platform::removeItem(pending.path); // a leftover is harmless and no longer tracked\n"
            "    m_lastExportDirectory = QFileInfo(destination).absolutePath();\n",
            "    (void)Platform::removeItem(pending.path); // a leftover is harmless and no longer tracked\n")],
          ["tst_recorderviewmodel"]),
    Fault("the save dialog refuses new folders", "src/recorder/RecorderViewModel.cpp",
          [("    panel.canCreateDirectories = true;", "    panel.canCreateDirectories = false;")],
          ["tst_recorderviewmodel"]),
    Fault("the save dialog offers any suffix", "src/recorder/RecorderViewModel.cpp",
          [("    panel.allowedSuffixes = { QStringLiteral(\"mp4\") };", "    panel.allowedSuffixes = {};")],
          ["tst_recorderviewmodel"]),
    Fault("the file is named by the system's clock", "src/recorder/RecorderViewModel.cpp",
          [("RecordingFile::suggestedFilename(m_clock->now(), m_calendar())",
            "RecordingFile::suggestedFilename(QDateTime::currentDateTimeUtc(), m_calendar())")],
          ["tst_recorderviewmodel"]),
    Fault("a note cleared a step early", "src/recorder/RecorderViewModel.h",
          [("noteDuration { 3'000'000'000 }", "noteDuration { 2'999'000'000 }")],
          ["tst_recorderviewmodel"]),
    Fault("the quietest sound taken for silence", "src/capture/AudioSampleWriter.cpp",
          [("if (std::fabs(sample) > smallestAudibleFloat)", "if (std::fabs(sample) > 2 * smallestAudibleFloat)")],
          ["tst_systemaudiocaptureservice"]),
    Fault("a sample that rounds to zero taken for sound", "src/capture/AudioSampleWriter.cpp",
          [("if (std::fabs(sample) > smallestAudibleFloat)", "if (std::fabs(sample) >= smallestAudibleFloat)")],
          ["tst_systemaudiocaptureservice"]),
    # The window from the keyboard.
    Fault("keyboard: the primary button takes no focus", "src/ui/OrloPrimaryButton.cpp",
          [("    setFocusPolicy(Qt::TabFocus);", "    setFocusPolicy(Qt::NoFocus);")],
          ["tst_contentview"]),
    Fault("keyboard: Return presses nothing", "src/ui/KeyboardAccess.cpp",
          [("if (event.key() != Qt::Key_Return && event.key() != Qt::Key_Enter)",
            "if (event.key() != Qt::Key_Enter)")],
          ["tst_contentview"]),
    Fault("keyboard: the focus ring is not blue", "src/ui/KeyboardAccess.cpp",
          [("    painter.strokePath(outline, QPen(BrisalTheme::blue(), 2.0));\n", "")],
          ["tst_contentview"]),
    Fault("keyboard: a disabled primary button hands the focus on", "src/ui/ContentView.cpp",
          [("    if (focused == m_primary && !shown.primary.enabled)\n        m_primary->clearFocus();\n", "")],
          ["tst_contentview"]),
    Fault("keyboard: the focus does not start on the primary button", "src/ui/ContentView.cpp",
          [("if (focusOnPhase && shown.primary.enabled && (rowChanged || !focusWidget()))",
            "if (focusOnPhase && shown.primary.enabled && false)")],
          ["tst_contentview"]),
    Fault("screen readers: the drag area is shown", "src/ui/ContentView.cpp",
          [("    QuietAccessibleWidget::hide(m_drag);\n", "")],
          ["accessibility_over_atspi"]),
    Fault("screen readers: the status symbol is shown", "src/ui/ContentView.cpp",
          [("    QuietAccessibleWidget::hide(m_symbol);\n", "")],
          ["accessibility_over_atspi"]),
    Fault("shape: the transparent margins belong to the body", "src/ui/BrisalTheme.cpp",
          [("qAlpha(scaled.pixel(x, y)) > 0", "qAlpha(scaled.pixel(x, y)) >= 0")],
          ["tst_contentview"]),
    Fault("shape: the window takes the pointer everywhere", "src/ui/ContentView.cpp",
          [("    BrisalWindowConfiguration::applyShape(this, shape);\n", "")],
          ["tst_contentview"]),
    Fault("shape: the notice card lets the pointer through", "src/ui/ContentView.cpp",
          [("        shape += QRegion(card.toFillPolygon().toPolygon());\n", "")],
          ["tst_contentview"]),
    Fault("intake loss tolerance a step too wide", "src/capture/hal/IntakeMonitor.cpp",
          [("constexpr double lossToleranceSeconds = 0.25;", "constexpr double lossToleranceSeconds = 0.26;")],
          ["tst_intakemonitor"]),
    Fault("intake loss counted in frames, not bytes", "src/capture/hal/IntakeMonitor.cpp",
          [("return static_cast<std::uint64_t>(missingFrames * m_bytesPerFrame);",
            "return static_cast<std::uint64_t>(missingFrames);")],
          ["tst_intakemonitor"]),
    Fault("the pulse runs on while hidden", "src/ui/StatusSymbol.cpp",
          [("    m_onScreen = false;\n    applyPulse();", "    applyPulse();")],
          ["tst_timedisplay"]),
    # The terminal's recorder.
    Fault("an existing file recorded over without --force", "src/app/CommandLineRecorder.cpp",
          [("    if (!force && Platform::fileExists(file))", "    if (!force && Platform::fileExists(file) && false)")],
          ["tst_verifycaptureprocess"]),
    Fault("--app ignored by the terminal's recorder", "src/app/CommandLineRecorder.cpp",
          [("= request.program.isEmpty() ? CaptureTarget::everything() : CaptureTarget::ofProgram(request.program);",
            "= CaptureTarget::everything();")],
          ["tst_verifycaptureprocess"]),
    Fault("SIGINT kills the terminal's take", "src/app/CommandLineRecorder.cpp",
          [("signals({ SIGINT, SIGTERM, SIGHUP })", "signals({ SIGTERM, SIGHUP })")],
          ["tst_verifycaptureprocess"]),
    Fault("--seconds accepted without --record", "src/app/CommandLine.cpp",
          [("    else if (!record && (", "    else if (false && (")],
          ["tst_verifycaptureprocess"]),
    Fault("--seconds counts from the start, not the audio", "src/app/CommandLineRecorder.cpp",
          [("std::chrono::duration<double> left(*request.seconds - now.seconds);",
            "std::chrono::duration<double> left(*request.seconds - 1e-3 * double(startedAt.msecsTo(clock->now())));")],
          ["tst_verifycaptureprocess"]),
    # Which sound the window records.
    Fault("the chosen program not passed to prepare", "src/recorder/RecorderViewModel.cpp",
          [("co_await m_recorder->prepare(m_target)", "co_await m_recorder->prepare()")],
          ["tst_contentview"]),
    Fault("the choice changes during a take", "src/recorder/RecorderViewModel.cpp",
          [("    if (m_phase.isBusy() || m_terminating || target == m_target)", "    if (m_terminating || target == m_target)")],
          ["tst_contentview"]),
    Fault("the chooser stays open during a take", "src/ui/PhasePresentation.cpp",
          [("{}, Action::chooseTarget, phase.kind() == RecorderPhase::Kind::idle };", "{}, Action::chooseTarget, true };")],
          ["tst_phasepresentation"]),
    Fault("the help sheet says every program's sound for one program", "src/ui/UsageSheet.cpp",
          [("m_source->setText(target.isEverything() ?", "m_source->setText(true ?")],
          ["tst_contentview"]),
    Fault("a new stream of the program not followed", "src/capture/hal/PulseSupervisor.cpp",
          [("    m_state = State::playbackChanged;\n", "")],
          ["tst_pulseaudiohardware"]),
    Fault("program matched by binary only", "src/capture/hal/PulseProgramStreams.cpp",
          [("stream.program.name != m_program", "stream.program.binary != m_program")],
          ["tst_pulseaudiohardware"]),
    Fault("second stream overwrites instead of mixing", "src/capture/hal/ProgramMixer.cpp",
          [("to[i] += from[i];", "to[i] = from[i];")],
          ["tst_programmixer"]),
    Fault("a first stream added to what the buffer held", "src/capture/hal/ProgramMixer.cpp",
          [("std::min(run, written > done ? written - done : 0U)", "run")],
          ["tst_programmixer"]),
    Fault("a full program queue drops the newest", "src/capture/hal/ProgramMixer.cpp",
          [("        queue.head = (queue.head + excess - m_capacityFrames) % m_capacityFrames;\n", "")],
          ["tst_programmixer"]),
    Fault("the program's player named by its binary though it has a name", "src/capture/hal/PulseConnection.cpp",
          [("    if (program.name.isEmpty())\n        program.name = program.binary;\n",
            "    program.name = program.binary;\n")],
          ["tst_pulseaudiohardware"]),
    Fault("level computed from the first channel only", "src/media/FfmpegMediaWriter.cpp",
          [("largest = std::max(largest, value < 0 ? 0U - kept : kept);",
            "largest = channel > 0 ? largest : std::max(largest, value < 0 ? 0U - kept : kept);")],
          ["tst_ffmpegmediawriter"]),
    Fault("level counts the bits the file drops", "src/media/FfmpegMediaWriter.cpp",
          [("static_cast<std::uint32_t>(value & keptBits);", "static_cast<std::uint32_t>(value & (keptBits | 0xFF));")],
          ["tst_ffmpegmediawriter"]),
    Fault("level not reset by a look", "src/media/FfmpegMediaWriter.cpp",
          [("m_peakMagnitude.exchange(0, std::memory_order_relaxed)", "m_peakMagnitude.load(std::memory_order_relaxed)")],
          ["tst_ffmpegmediawriter"]),
    Fault("level reported only when sound arrived", "src/capture/SystemAudioCaptureService.cpp",
          [("        Q_EMIT events->levelChanged(sink->takePeak());",
            "        if (const float peak = sink->takePeak(); peak > 0)\n            Q_EMIT events->levelChanged(peak);")],
          ["tst_recorderviewmodel"]),
    Fault("notice after 5 s even when sound arrived", "src/recorder/RecorderViewModel.cpp",
          [("    if (peak > 0)\n        m_recordingTimes->lastSoundAt = m_clock->now();\n", "")],
          ["tst_recorderviewmodel"]),
    Fault("silence notice a tick early", "src/recorder/RecorderViewModel.h",
          [("silenceNoticeAfter { 5000 }", "silenceNoticeAfter { 4900 }")],
          ["tst_recorderviewmodel"]),
    Fault("silence notice beside an interruption", "src/recorder/RecorderViewModel.cpp",
          [("m_recordingTimes && m_interruptionReason.isEmpty();", "m_recordingTimes;")],
          ["tst_recorderviewmodel"]),
    Fault("the window's meter ignores the level", "src/ui/ContentView.cpp",
          [("    connect(m_model, &RecorderViewModel::levelChanged, m_symbol, &StatusSymbol::setLevel);\n", "")],
          ["tst_contentview"]),
    Fault("the meter moves with reduced motion", "src/ui/StatusSymbol.cpp",
          [("m_wantsPulse && !m_reduceMotion && m_onScreen", "m_wantsPulse && m_onScreen")],
          ["tst_timedisplay", "tst_contentview"]),
    Fault("the window's status ignores the silence", "src/ui/ContentView.cpp",
          [("m_model->isSilent(), m_model->hearsNothing(),", "m_model->isSilent(), false,")],
          ["tst_contentview"]),
    Fault("a sample one step off 16 bits taken as fitting", "src/media/SixteenBitTranscoder.cpp",
          [("    return lowBits & 0xFFFFu;", "    return lowBits & 0xFE00u;")],
          ["tst_recordingexport"]),
    Fault("16-bit copy not compared before the 24-bit one is dropped", "src/files/RecordingExport.cpp",
          [("    auto same = SixteenBitTranscoder::sameSamples(source, staging, comparing, cancel);",
            "    Result<bool> same = true;\n    (void)comparing;")],
          ["tst_recordingexport"]),
    Fault("comparison misses a changed sample", "src/media/SixteenBitTranscoder.cpp",
          [("leftSamples.data(), rightSamples.data(), count * sizeof(std::int32_t)) != 0)",
            "leftSamples.data(), rightSamples.data(), count * sizeof(std::int32_t)) != 0 && count == 0)")],
          ["tst_recordingexport"]),
    Fault("progress not reported", "src/media/SixteenBitTranscoder.cpp",
          [("QStringLiteral(\"写入文件失败\"));\n        if (progress)\n            progress(fractionOf(done, total));",
            "QStringLiteral(\"写入文件失败\"));\n        (void)progress;\n        (void)total;")],
          ["tst_recordingexport"]),
    Fault("export progress not shown", "src/recorder/RecorderViewModel.cpp",
          [("            setPhase(Phase::exporting(percentDone));", "            (void)percentDone;")],
          ["tst_recorderviewmodel"]),
    Fault("exported summary is the recording's", "src/files/RecordingExport.cpp",
          [("return Exported { *attempt.reduced, 16 };", "return Exported { summary, 16 };")],
          ["tst_recordingexport"]),
    Fault("a quit during the export still copies", "src/files/RecordingExport.cpp",
          [("    if (cancel.isCancelled())\n        return Error(CancellationError {});\n", "")],
          ["tst_recorderviewmodel", "tst_recordingexport"]),
    Fault("a program's new streams not followed after a reconnection", "src/capture/hal/PulseConnection.cpp",
          [("m_uuid, m_onServerChange, m_onPlaybackChange);", "m_uuid, m_onServerChange);")],
          ["tst_pulseaudiohardware"]),
    # The window's cost.
    Fault("the clock reaches into the status row", "src/ui/TimeDisplay.h",
          [("static constexpr int heightPoints = 76;", "static constexpr int heightPoints = 80;")],
          ["tst_contentview"]),
    Fault("the clock's ticks redraw only the first second", "src/ui/ContentView.cpp",
          [("if (std::exchange(m_renderedSecond, std::floor(seconds)) != std::floor(seconds))",
            "if (std::exchange(m_renderedSecond, std::floor(seconds)) < 0)")],
          ["tst_contentview"]),
]


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)


def failed_tests(output):
    names = []
    for line in output.splitlines():
        line = line.strip()
        # ctest: "  7 - tst_x (Failed)" in the summary of failures
        if " - " in line and line.endswith(")") and line.split(" - ")[0].strip().isdigit():
            names.append(line.split(" - ")[1].split(" ")[0])
    return names


def ctest(build, args, server):
    command = ["ctest", "--test-dir", str(build), "--output-on-failure"] + args
    if server:
        command = ["scripts/audio-server.sh", "run", server, "--"] + command
    result = run(command)
    return result.returncode == 0, failed_tests(result.stdout)


def server_tests(build):
    listed = run(["ctest", "--test-dir", str(build), "-N", "-L", "server"]).stdout
    return {line.split(":")[1].strip() for line in listed.splitlines() if line.strip().startswith("Test #")}


def check(fault, build, every, on_server):
    if every:
        groups = [(["-LE", "server", "-j", "2"], None), (["-L", "server"], "pulseaudio")]
        if fault.server != "pulseaudio":
            groups.append((["-L", "server"], fault.server))
    else:
        first = "^(" + "|".join(fault.first) + ")$"
        groups = []
        local = [t for t in fault.first if t not in on_server]
        remote = [t for t in fault.first if t in on_server]
        if local:
            groups.append((["-R", "^(" + "|".join(local) + ")$"], None))
        if remote:
            groups.append((["-R", "^(" + "|".join(remote) + ")$"], fault.server))
        groups.append((["-LE", "server", "-E", first, "-j", "2", "--stop-on-failure"], None))
        groups.append((["-L", "server", "-E", first, "--stop-on-failure"], "pulseaudio"))
    caught = []
    for args, server in groups:
        passed, names = ctest(build, args, server)
        if not passed:
            caught += names or ["(ctest failed)"]
            if not every:
                break
    return caught


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--only", nargs="*", default=[])
    parser.add_argument("--every", action="store_true")
    options = parser.parse_args()
    build = (ROOT / options.build).resolve()
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

    if run(["cmake", "--build", str(build)]).returncode != 0:
        sys.exit("planted-faults: the unchanged tree does not build")
    on_server = server_tests(build)

    rows = []
    for fault in FAULTS:
        if options.only and not any(word.lower() in fault.name.lower() for word in options.only):
            continue
        path = ROOT / fault.path
        original = path.read_text()
        planted = original
        verdict = None
        for old, new in fault.edits:
            if planted.count(old) != 1:
                verdict = "does not apply"
                break
            planted = planted.replace(old, new)
        try:
            if verdict is None:
                path.write_text(planted)
                if run(["cmake", "--build", str(build)]).returncode != 0:
                    verdict = "does not build"
                else:
                    caught = check(fault, build, options.every, on_server)
                    verdict = "caught by " + ", ".join(caught) if caught else "NOT CAUGHT"
        finally:
            path.write_text(original)
        rows.append((fault.name, verdict))
        print(f"{fault.name}: {verdict}", flush=True)

    run(["cmake", "--build", str(build)])
    print()
    print("| fault | result |")
    print("|---|---|")
    for name, verdict in rows:
        print(f"| {name} | {verdict} |")
    missed = sum(1 for _, verdict in rows if not verdict.startswith("caught"))
    print(f"\n{len(rows) - missed} of {len(rows)} caught")
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
