// Fuzzes the minidump reader and the PE CodeView reader with any bytes. Checks: a result is either
// {"error": "dump unreadable: ..."} alone or a reading with no error; every thread has a tid and a
// frames array, and the crashing one (when there is an exception) comes first with the exception
// address as its frame; at most the analysis's limits of threads and modules.

#include "capture/dumpreader.h"
#include "capture/minidump.h"

#include <QByteArray>
#include <QJsonArray>

#include <cstdint>
#include <cstdlib>

static void check(bool condition) { if (!condition) std::abort(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const QJsonObject result = Minidump::read(bytes);
    Minidump::codeViewId(bytes);
    if (result.contains(QStringLiteral("error"))) {
        check(result.size() == 1 && result.value(QStringLiteral("error")).toString().startsWith(QLatin1String("dump unreadable: ")));
        return 0;
    }
    const QJsonArray threads = result.value(QStringLiteral("threads")).toArray();
    check(threads.size() <= DumpReader::kMaxThreads + 1);
    check(result.value(QStringLiteral("modules")).toArray().size() <= DumpReader::kMaxModules);
    for (const QJsonValue &t : threads)
        check(t.toObject().contains(QStringLiteral("tid")) && t.toObject().value(QStringLiteral("frames")).isArray());
    if (result.contains(QStringLiteral("exceptionCode"))) {
        const QJsonObject first = threads.first().toObject();
        check(first.value(QStringLiteral("crashing")).toBool());
        check(first.value(QStringLiteral("frames")).toArray().first().toObject().value(QStringLiteral("pc"))
              == result.value(QStringLiteral("exceptionAddress")));
    }
    return 0;
}
