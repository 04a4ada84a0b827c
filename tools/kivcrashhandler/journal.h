#ifndef KIVCRASHHANDLER_JOURNAL_H
#define KIVCRASHHANDLER_JOURNAL_H

#include <QFile>
#include <QJsonObject>
#include <QString>

// The session journal: one compact JSON object per line, appended and flushed as things happen, so
// it survives the handler itself. Every line carries "time" (UTC, ISO 8601 with milliseconds),
// "handlerPid" and "event". A handler started again for the same host appends to the same file.
// Capped at kMaxBytes; past it one "journalFull" line is written and the rest is dropped.
class Journal
{
public:
    static constexpr qint64 kMaxBytes = 64 * 1024 * 1024;
    // Message texts longer than this are cut in the journal (the line says so).
    static constexpr int kMaxTextChars = 64 * 1024;

    explicit Journal(const QString &path);

    void append(const QString &event, QJsonObject fields = QJsonObject());
    QString path() const { return m_file.fileName(); }
    bool isOpen() const { return m_file.isOpen(); }

private:
    QFile m_file;
    bool m_full = false;
};

#endif // KIVCRASHHANDLER_JOURNAL_H
