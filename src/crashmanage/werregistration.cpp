#include "crashmanage/werregistration.h"

#include "localdumpsettings.h"
#include "sdk/sdklog.h"
#include "wire.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

bool isLocalDumpRegistered(const QString &executableName, const QString &dmpPath, int dumpCount, int dumpType)
{
    const LocalDumpSettings current = readLocalDumpSettings(executableName);
    return !current.dumpFolder.isEmpty() && current.dumpFolder == dmpPath
            && current.dumpCount >= 0 && current.dumpCount == dumpCount
            && current.dumpType >= 0 && current.dumpType == dumpType;
}

void appendWerEntry(QJsonArray &entries, const QString &executableName, const QString &dmpPath,
                    int dumpCount, int dumpType)
{
    QJsonObject entry;
    entry.insert(QStringLiteral("m_appName"), executableName);
    entry.insert(QStringLiteral("m_dmpPath"), dmpPath);
    entry.insert(QStringLiteral("m_count"), dumpCount);
    entry.insert(QStringLiteral("m_type"), dumpType);
    entries.append(entry);
}

/*
 * The registration tool's command line: one argument, the compact JSON array of entries, members of
 * each entry in ascending key order ("m_appName", "m_count", "m_dmpPath", "m_type"), backslashes of a
 * folder escaped as JSON requires. The tool is started and forgotten.
 */
void checkCrashDmpWER(const QJsonArray &jsonArr)
{
    if (jsonArr.isEmpty()) {
        sdkLog(true, Q_FUNC_INFO, "jsonArr is empty");
        return;
    }
    const QString program = QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(Wire::kRegistrationProgram);
    const QStringList arguments {
        QString::fromUtf8(QJsonDocument(jsonArr).toJson(QJsonDocument::Compact)),
    };
    sdkLog(false, Q_FUNC_INFO, "start KivRegWER, args is:", arguments);
    QProcess::startDetached(program, arguments);
}
