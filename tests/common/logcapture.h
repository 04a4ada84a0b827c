#ifndef OSTREL_TESTS_LOGCAPTURE_H
#define OSTREL_TESTS_LOGCAPTURE_H

// Captures every Qt message while alive and forwards nothing. Use one per test;
// QTRY_VERIFY(capture.contains(...)) waits for a line.

#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    LogCapture() : m_previous(qInstallMessageHandler(&LogCapture::handler)) { s_current = this; }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    void clear() { m_entries.clear(); }

    // Lines whose text contains `part`, optionally of one message type only.
    QStringList lines(const QString &part = QString(), int type = -1) const
    {
        QStringList out;
        for (const Entry &e : m_entries)
            if ((type < 0 || e.type == type) && e.text.contains(part))
                out.append(e.text);
        return out;
    }
    bool contains(const QString &part, int type = -1) const { return !lines(part, type).isEmpty(); }
    int count(const QString &part, int type = -1) const { return lines(part, type).size(); }

    // Every line with its level in front ("!" critical, "" info, "-" debug, "?" other, and "context "
    // when a file, line or function came with it), `prefix` cut off where a line starts with it.
    QStringList tagged(const QString &prefix = QString()) const
    {
        QStringList out;
        for (const Entry &e : m_entries)
            out.append(QLatin1String(e.hasContext ? "context " : "")
                       + QLatin1String(e.type == QtCriticalMsg ? "!" : e.type == QtInfoMsg ? "" : e.type == QtDebugMsg ? "-" : "?")
                       + (!prefix.isEmpty() && e.text.startsWith(prefix) ? e.text.mid(prefix.size()) : e.text));
        return out;
    }

private:
    struct Entry
    {
        QtMsgType type;
        QString text;
        bool hasContext;
    };
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (s_current)
            s_current->m_entries.append({type, text, context.file || context.line || context.function});
    }

    static inline LogCapture *s_current = nullptr;
    QtMessageHandler m_previous;
    QList<Entry> m_entries;
};

#endif // OSTREL_TESTS_LOGCAPTURE_H
