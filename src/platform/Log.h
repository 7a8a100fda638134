#pragma once

#include <QString>
#include <functional>

// Diagnostic lines: one line each on standard output, beginning with the component's name in
// square brackets ("[FolderSync] ..."). Safe to call from any thread.
void logLine(const QString& line);

// Replaces where lines go (nullptr restores standard output); returns the previous sink.
// For embedding programs and tests that assert on log lines.
using LogSink = std::function<void(const QString&)>;
LogSink setLogSink(LogSink sink);
