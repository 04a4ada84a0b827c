// The Windows reader: the minidump that Windows Error Reporting writes, through the portable
// minidump reader.

#include "capture/coreanalysis.h"
#include "capture/minidump.h"

#include <QElapsedTimer>
#include <QFile>

#include <limits>

namespace CoreAnalysis {

namespace {

// The file mapped, not read: a full dump holds the process's whole memory, of which only the
// streams are looked at.
QByteArray mapped(QFile *file, QString *error)
{
    if (!file->open(QIODevice::ReadOnly)) {
        *error = file->errorString();
        return QByteArray();
    }
    const qint64 size = file->size();
    if (size <= 0)
        return QByteArray();
    uchar *data = file->map(0, qMin<qint64>(size, std::numeric_limits<int>::max()));
    if (!data) {
        *error = file->errorString();
        return QByteArray();
    }
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(qMin<qint64>(size, std::numeric_limits<int>::max())));
}

} // namespace

QJsonObject analyze(const QString &dumpPath, const QString &executable)
{
    Q_UNUSED(executable);
    QElapsedTimer clock;
    clock.start();
    QFile file(dumpPath);
    QString error;
    const QByteArray dump = mapped(&file, &error);
    QJsonObject result = error.isEmpty() ? Minidump::read(dump)
                                         : QJsonObject {{QStringLiteral("error"), QStringLiteral("cannot open the dump: ") + error}};
    result.insert(QStringLiteral("analysisMs"), double(clock.elapsed()));
    return result;
}

QString fileBuildId(const QString &path)
{
    QFile file(path);
    QString error;
    return Minidump::codeViewId(mapped(&file, &error));
}

} // namespace CoreAnalysis
