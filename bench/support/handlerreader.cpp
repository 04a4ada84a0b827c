#include "handlerreader.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaObject>
#include <QMutexLocker>

HandlerReader::HandlerReader()
{
    moveToThread(&m_thread);
}

HandlerReader::~HandlerReader()
{
    m_thread.quit();
    m_thread.wait();
    qDeleteAll(m_frames);
}

bool HandlerReader::start(const QString &serverName)
{
    m_thread.start();
    QMetaObject::invokeMethod(this, "onListen", Qt::QueuedConnection, Q_ARG(QString, serverName));
    while (m_listening.load() == 0)
        QThread::msleep(1);
    return m_listening.load() > 0;
}

void HandlerReader::onListen(const QString &serverName)
{
    m_server = new QLocalServer(this);
    QLocalServer::removeServer(serverName);
    connect(m_server, SIGNAL(newConnection()), this, SLOT(onNewConnection()));
    m_listening = m_server->listen(serverName) ? 1 : -1;
}

void HandlerReader::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        socket->setReadBufferSize(0);
        connect(socket, SIGNAL(readyRead()), this, SLOT(onReadyRead()));
        QMutexLocker lock(&m_mutex);
        m_sockets.append(socket);
        m_frames.append(new std::atomic<qint64>(0));
    }
}

void HandlerReader::onReadyRead()
{
    QLocalSocket *socket = qobject_cast<QLocalSocket *>(sender());
    int index;
    {
        QMutexLocker lock(&m_mutex);
        index = m_sockets.indexOf(socket);
    }
    if (index < 0)
        return;
    const QByteArray data = socket->readAll();
    if (index == 0 && m_keepFirst.load()) {
        QMutexLocker lock(&m_mutex);
        m_firstBytes.append(data);
    }
    *m_frames.at(index) += data.count('$');
}

int HandlerReader::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_sockets.size();
}

qint64 HandlerReader::frames(int index) const
{
    QMutexLocker lock(&m_mutex);
    return index < m_frames.size() ? m_frames.at(index)->load() : 0;
}

void HandlerReader::setKeepFirst(bool keep)
{
    m_keepFirst = keep;
}

QByteArray HandlerReader::takeFirstBytes()
{
    QMutexLocker lock(&m_mutex);
    QByteArray out;
    out.swap(m_firstBytes);
    return out;
}
