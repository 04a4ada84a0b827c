#ifndef OSTREL_TESTS_LOGCAPTURE_H
#define OSTREL_TESTS_LOGCAPTURE_H

// Captures every Qt message while alive (type and text, as the library's log lines are written),
// and forwards nothing. Use one per test; QTRY_VERIFY(capture.contains(...)) to wait for a line.

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    struct Entry
    {
        QtMsgType type;
        QString text;
        bool hasContext; // a file, line or function was attached
    };

    LogCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }

    const QList<Entry> &entries() const { return m_entries; }
    void clear() { m_entries.clear(); }

    // Lines whose text contains `part`, optionally of one message type only.
    QStringList lines(const QString &part = QString(), int type = -1) const
    {
        QStringList out;
        for (const Entry &e : m_entries) {
            if ((type < 0 || e.type == type) && e.text.contains(part))
                out.append(e.text);
        }
        return out;
    }
    bool contains(const QString &part, int type = -1) const { return !lines(part, type).isEmpty(); }
    int count(const QString &part, int type = -1) const { return lines(part, type).size(); }

    // Echo captured lines to stderr (for a failing test's diagnosis).
    void dump() const
    {
        for (const Entry &e : m_entries)
            fprintf(stderr, "  [%d] %s\n", int(e.type), qPrintable(e.text));
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (s_current)
            s_current->m_entries.append({type, text, context.file || context.line || context.function});
    }

    static inline LogCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    QList<Entry> m_entries;
};

#endif // OSTREL_TESTS_LOGCAPTURE_H
