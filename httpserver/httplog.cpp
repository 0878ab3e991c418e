#include "httplog.h"

namespace QuillonHttpd {

namespace {
LineFilter lineFilter;
}

void setLineFilter(LineFilter filter)
{
    lineFilter = std::move(filter);
}

bool lineWanted(const char* kind, int level)
{
    return !lineFilter || lineFilter(kind, level);
}

QString sizeText(qint64 bytes)
{
    if (bytes > 0 && bytes % (1 << 20) == 0) return QStringLiteral("%1 MiB").arg(bytes >> 20);
    if (bytes > 0 && bytes % 1024 == 0) return QStringLiteral("%1 KiB").arg(bytes >> 10);
    return QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace QuillonHttpd
