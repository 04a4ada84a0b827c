#include "toolstreams.h"

#include <QDir>

#include <cstdio>

namespace ToolStreams {

bool redirectTo(const QString &path)
{
    std::fflush(stderr);
    return _wfreopen(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), L"a", stderr) != nullptr;
}

} // namespace ToolStreams
