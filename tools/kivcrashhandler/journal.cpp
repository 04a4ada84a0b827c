#include "journal.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>

Journal::Journal(const QString &path)
    : m_file(path)
{
    m_file.open(QIODevice::WriteOnly | QIODevice::Append);
}

void Journal::append(const QString &event, QJsonObject fields)
{
    if (!m_file.isOpen() || m_full)
        return;
    fields.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    fields.insert(QStringLiteral("handlerPid"), double(QCoreApplication::applicationPid()));
    fields.insert(QStringLiteral("event"), event);

    const QString text = fields.value(QStringLiteral("text")).toString();
    if (text.size() > kMaxTextChars) {
        fields.insert(QStringLiteral("text"), text.left(kMaxTextChars));
        fields.insert(QStringLiteral("textCut"), true);
    }

    QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    line.append('\n');
    if (m_file.size() + line.size() > kMaxBytes) {
        m_full = true;
        line = QByteArrayLiteral("{\"event\":\"journalFull\"}\n");
    }
    m_file.write(line);
    m_file.flush();
}
