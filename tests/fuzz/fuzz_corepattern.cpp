// Fuzzes the reading of /proc/sys/kernel/core_pattern into a core location. Checks, for any
// pattern: a pipe pattern and an empty one give no file location; a usable one gives an absolute,
// clean folder and a valid file-name expression; a pattern with no '%' and no '/' names exactly
// itself in the working folder (with ".<pid>" when core_uses_pid asks for it).

#include "capture/corepattern.h"

#include <QByteArray>
#include <QDir>

#include <cstdint>
#include <cstdlib>

static void check(bool condition) { if (!condition) std::abort(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool usesPid = data[0] & 1;
    const QString pattern = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), int(size - 1));

    CorePattern::Process process;
    process.pid = 4242;
    process.executable = QStringLiteral("/opt/app/bin/app host");
    process.workingFolder = QStringLiteral("/home/user/work");
    process.hostname = QStringLiteral("box");
    process.uid = 1000;
    const CorePattern parsed = CorePattern::parse(pattern, usesPid, process);

    const QString trimmed = pattern.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('|')))
        check(!parsed.usable() && parsed.pipe == trimmed.startsWith(QLatin1Char('|')));
    if (!parsed.usable())
        return 0;
    check(parsed.folder.startsWith(QLatin1Char('/')) && parsed.folder == QDir::cleanPath(parsed.folder));
    check(parsed.fileName.isValid());
    if (!trimmed.contains(QLatin1Char('%')) && !trimmed.contains(QLatin1Char('/'))) {
        const QString name = usesPid ? trimmed + QStringLiteral(".4242") : trimmed;
        check(parsed.folder == process.workingFolder);
        check(parsed.fileName.match(name).hasMatch());
    }
    return 0;
}
