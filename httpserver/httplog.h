#pragma once
// Text that came from a client is cut to 1 KiB in a log line, saying so and giving its full
// length, so that no request can fill the log or push its history out through rotation.

#include <QString>

namespace QuillonHttpd {

constexpr int logTextMax = 1024;

inline QString logCut(const QString& text)
{
    if (text.size() <= logTextMax) return text;
    return text.left(logTextMax) + QStringLiteral("... (cut, %1 characters in all)").arg(text.size());
}

} // namespace QuillonHttpd
