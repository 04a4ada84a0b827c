#include "capture/dumpreader.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace DumpReader {

namespace {

const char kChildFlag[] = "--read-dump";

} // namespace

QJsonObject analyzeIsolated(const QString &program, const QString &dumpPath, const QString &executable, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(program, {QString::fromLatin1(kChildFlag), dumpPath, executable}, QIODevice::ReadOnly);
    const auto failed = [&](const QString &reason) {
        return QJsonObject {{QStringLiteral("error"), reason}, {QStringLiteral("analysisMs"), double(clock.elapsed())}};
    };
    if (!child.waitForStarted(timeoutMs))
        return failed(QStringLiteral("the analysis process did not start: ") + child.errorString());
    if (!child.waitForFinished(timeoutMs)) {
        child.kill();
        child.waitForFinished(1000);
        return failed(QStringLiteral("reading the dump took longer than %1 ms").arg(timeoutMs));
    }
    if (child.exitStatus() != QProcess::NormalExit)
        return failed(QStringLiteral("the dump made the reader crash"));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(child.readAllStandardOutput(), &error);
    if (!doc.isObject())
        return failed(QStringLiteral("the reader gave no result (exit code %1)").arg(child.exitCode()));
    return doc.object();
}

QString debugIdFromBuildId(const QString &buildId)
{
    QByteArray bytes = QByteArray::fromHex(buildId.toLatin1()).left(16);
    if (bytes.isEmpty())
        return QString();
    bytes.append(QByteArray(16 - bytes.size(), '\0'));
    std::reverse(bytes.begin(), bytes.begin() + 4);
    std::reverse(bytes.begin() + 4, bytes.begin() + 6);
    std::reverse(bytes.begin() + 6, bytes.begin() + 8);
    const QString hex = QString::fromLatin1(bytes.toHex());
    return QStringLiteral("%1-%2-%3-%4-%5").arg(hex.mid(0, 8), hex.mid(8, 4), hex.mid(12, 4), hex.mid(16, 4), hex.mid(20));
}

bool runChild(int argc, char **argv, int *exitCode)
{
    if (argc != 4 || std::strcmp(argv[1], kChildFlag) != 0)
        return false;
    const QJsonObject result = analyze(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    const QByteArray json = QJsonDocument(result).toJson(QJsonDocument::Compact);
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    std::fflush(stdout);
    *exitCode = result.contains(QStringLiteral("error")) ? 1 : 0;
    return true;
}

} // namespace DumpReader
