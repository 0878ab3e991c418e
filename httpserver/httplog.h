#pragma once
// Text that came from a client is cut to 1 KiB in a log line, saying so and giving its full
// length, so that no request can fill the log or push its history out through rotation.

#include <QString>
#include <functional>

namespace QuillonHttpd {

// Lines a client can cause (a refused request, a reply it did not take, a failed handshake, a
// temporary file that could not be written) are asked for before they are written: clients can
// repeat them as fast as they connect, so an application limits them by kind. `level` is the
// line's weight: 2 error, 3 warning, 5 debug. Asked from connection threads too; without a filter
// every line is written. Set it before the server starts.
using LineFilter = std::function<bool(const char* kind, int level)>;
void setLineFilter(LineFilter filter);
bool lineWanted(const char* kind, int level);

constexpr int logTextMax = 1024;

// A byte count as an operator writes a bound: "64 MiB", "512 KiB", "1000 bytes".
QString sizeText(qint64 bytes);

inline QString logCut(const QString& text)
{
    if (text.size() <= logTextMax) return text;
    return text.left(logTextMax) + QStringLiteral("... (cut, %1 characters in all)").arg(text.size());
}

} // namespace QuillonHttpd
