#ifndef KIVCRASHHANDLER_JOURNAL_H
#define KIVCRASHHANDLER_JOURNAL_H

#include <QFile>
#include <QJsonObject>
#include <QString>

// The session journal: one compact JSON object per line, appended and flushed as things happen, so
// it survives the handler itself. Every line carries "time" (UTC, ISO 8601 with milliseconds),
// "handlerPid", "event" and "seq", a number that grows by one per line over the whole file (a
// handler started again for the same host appends to the same file and goes on counting). The file
// is private (0600) and never a link or another user's (see PrivateFiles). Capped at kMaxBytes;
// past it one "journalFull" line is written and the rest is dropped.
class Journal
{
public:
    static constexpr qint64 kMaxBytes = 64 * 1024 * 1024;
    // Message texts longer than this are cut in the journal (the line says so).
    static constexpr int kMaxTextChars = 64 * 1024;

    explicit Journal(const QString &path);
    // Closes the current file and opens `path` instead (after a move to the fallback folder).
    bool open(const QString &path);

    void append(const QString &event, QJsonObject fields = QJsonObject());
    QString path() const { return m_path; }
    bool isOpen() const { return m_file.isOpen(); }
    // Why the file could not be opened; empty when it is open.
    QString error() const { return m_error; }
    // The number the next line gets (one past the last line already in the file).
    void setNextSequence(qint64 next) { m_sequence = next; }
    // Closes and deletes the file (a clean session's journal is not kept).
    bool remove();

private:
    QString m_path;
    QFile m_file;
    QString m_error;
    qint64 m_sequence = 1;
    bool m_full = false;
};

#endif // KIVCRASHHANDLER_JOURNAL_H
