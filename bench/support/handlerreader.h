#ifndef OSTREL_BENCH_HANDLERREADER_H
#define OSTREL_BENCH_HANDLERREADER_H

// A reading crash handler for the benchmarks: serves the local server "Kiv_Crash_Handler_<pid>"
// from its own thread (so the reading cost stays off the host thread) and counts the frames of
// every connection in the order they were accepted. Optionally keeps the bytes of connection 0 (the
// library's, which connects first) for checking what arrived.

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QThread>
#include <QVector>

#include <atomic>

class QLocalServer;
class QLocalSocket;

class HandlerReader : public QObject
{
    Q_OBJECT

public:
    HandlerReader();
    ~HandlerReader() override;

    // Starts the reader thread and listens under `serverName`. False when it cannot listen.
    bool start(const QString &serverName);

    int connectionCount() const;
    // Frames ('$' bytes) received so far on connection `index`; 0 when there is no such connection.
    qint64 frames(int index) const;
    // Keep (or stop keeping) the bytes that arrive on connection 0.
    void setKeepFirst(bool keep);
    QByteArray takeFirstBytes();

private slots:
    void onListen(const QString &serverName);
    void onNewConnection();
    void onReadyRead();

private:
    QThread m_thread;
    QLocalServer *m_server = nullptr;
    mutable QMutex m_mutex;
    QVector<QLocalSocket *> m_sockets;
    QVector<std::atomic<qint64> *> m_frames;
    std::atomic<bool> m_keepFirst {false};
    QByteArray m_firstBytes;
    std::atomic<int> m_listening {0}; // 0 pending, 1 listening, -1 failed
};

#endif // OSTREL_BENCH_HANDLERREADER_H
