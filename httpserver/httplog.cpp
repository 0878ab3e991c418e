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

} // namespace QuillonHttpd
