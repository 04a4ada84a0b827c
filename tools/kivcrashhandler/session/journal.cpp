#include "session/journal.h"

#include "storage/privatefiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>

Journal::Journal(const QString &path)
{
    open(path);
}

bool Journal::open(const QString &path)
{
    m_file.close();
    m_path = path;
    m_error.clear();
    m_full = false;
    const int fd = PrivateFiles::openForAppend(path, &m_error);
    if (fd < 0 || !m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle))
        return false;
    // A handler killed mid-line left a partial last line: end it, so that ours stay readable.
    QFile reader(path);
    if (m_file.size() > 0 && reader.open(QIODevice::ReadOnly) && reader.seek(m_file.size() - 1) && reader.read(1) != "\n")
        m_file.write("\n");
    return true;
}

bool Journal::remove()
{
    m_file.close();
    return QFile::remove(m_path);
}

void Journal::append(const QString &event, QJsonObject fields)
{
    if (!m_file.isOpen() || m_full)
        return;
    fields.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    fields.insert(QStringLiteral("handlerPid"), double(QCoreApplication::applicationPid()));
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("seq"), double(m_sequence++));

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
