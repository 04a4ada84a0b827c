#ifndef OSTREL_KIVOPERATEINI_H
#define OSTREL_KIVOPERATEINI_H

#include <QObject>
#include <QString>

// A store of named text values kept as attributes of the document element of one small XML file,
// the client info file. Nothing is cached: every read parses the file, every write parses it,
// changes one attribute and saves the whole document, so the file on disk always holds the latest
// values for readers outside the process. Failures are logged; option() answers them with "".
// Single instance (instance()), used only from the host's event-loop thread.
class KivOperateIni : public QObject
{
    Q_OBJECT

public:
    explicit KivOperateIni(QObject *parent = nullptr);
    ~KivOperateIni() override;

    // The client info store of this process, created on first use in the data folder under the
    // name made from the client name and process id (see clientinfowriters.cpp).
    static KivOperateIni *instance();

    void initXml(const QString &path, bool keepExisting);
    QString option(const QString &key, const QString &group);
    void setOption(const QString &key, const QString &value, const QString &group);

private:
    QString m_path;

    Q_DISABLE_COPY(KivOperateIni)
};

#endif // OSTREL_KIVOPERATEINI_H
