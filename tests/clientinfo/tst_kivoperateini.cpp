// KivOperateIni on its own: the initial file's bytes, binding, reads and writes with their debug
// lines, values that need escaping, and files that change under the store between calls.

#include "clientinfo/kivoperateini.h"
#include "asordinaryuser.h"
#include "clientinfofile.h"
#include "logcapture.h"
#include "sdk/sdklog.h"

#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace ClientInfoFile;

namespace {

const QString kGroup = QStringLiteral("ClientInfo");
const QString kId = QStringLiteral("id");

// The store's lines: all debug level, none with a file/line/function context.
QStringList debugLines(const LogCapture &capture)
{
    QStringList out;
    for (const LogCapture::Entry &e : capture.entries())
        out.append(e.type == QtDebugMsg && !e.hasContext ? e.text : QStringLiteral("unexpected: ") + e.text);
    return out;
}

QStringList lines(const QString &text)
{
    return text.split(QLatin1Char('\n'));
}

} // namespace

class tst_KivOperateIni : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void initXmlBinding();
    void optionAndSetOption();
    void faultsBetweenCalls();
};

void tst_KivOperateIni::initTestCase()
{
    sdkSetLogEnabled(false); // the store's lines are not gated by the SDK logging switch
    QCOMPARE(KivOperateIni::staticMetaObject.className(), "KivOperateIni");
}

void tst_KivOperateIni::initXmlBinding()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("KivClientInfo_demo_1.xml"));
    const QString missing = dir.filePath(QStringLiteral("no/such/c.xml"));
    const QByteArray withValues = "<?xml version='1.0' encoding='UTF-8'?>\n<ClientInfo id=\"u1\" node=\"n\"/>\n";
    LogCapture capture;
    KivOperateIni store;
    // Unbound: every call only logs, and no file appears.
    store.initXml(QString(), true);
    store.setOption(kId, QStringLiteral("x"), kGroup);
    QCOMPARE(store.option(kId, kGroup), QString());
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    // keepExisting on a missing file creates it.
    store.initXml(path, true);
    QVERIFY2(isInitial(readAll(path)), readAll(path).constData());
    // keepExisting on an existing file leaves it untouched; an empty path later keeps the binding.
    QVERIFY(writeAll(path, withValues));
    store.initXml(path, true);
    QCOMPARE(readAll(path), withValues);
    store.initXml(QString(), false);
    QCOMPARE(store.option(QStringLiteral("node"), kGroup), QStringLiteral("n"));
    // Without keepExisting the file is emptied back to the initial document.
    store.initXml(path, false);
    QVERIFY2(isInitial(readAll(path)), readAll(path).constData());
    // A folder that does not exist: open failure, still bound, no file created by a later write.
    store.initXml(missing, false);
    store.setOption(kId, QStringLiteral("x"), kGroup);
    QVERIFY(!QFile::exists(missing));

    QCOMPARE(debugLines(capture), lines(QStringLiteral(R"(KivOperateIni::initXml  "" true
KivOperateIni::initXml path is empty.
KivOperateIni::setOption path is empty.
KivOperateIni::option path is empty.
KivOperateIni::initXml  "%1" true
KivOperateIni::initXml file success "%1"
KivOperateIni::initXml  "%1" true
KivOperateIni::initXml exit  "%1" true
KivOperateIni::initXml  "" false
KivOperateIni::initXml path is empty.
KivOperateIni::Option success "ClientInfo" "node" "n"
KivOperateIni::initXml  "%1" false
KivOperateIni::initXml file success "%1"
KivOperateIni::initXml  "%2" false
KivOperateIni::initXml file open failure  "%2"
KivOperateIni::setOption file open ReadOnly failure "%2")").arg(path, missing)));
}

void tst_KivOperateIni::optionAndSetOption()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("c.xml"));
    KivOperateIni store;
    store.initXml(path, false);

    LogCapture capture;
    store.setOption(QStringLiteral("logPath"), QStringLiteral("C:/log"), kGroup);
    QCOMPARE(store.option(QStringLiteral("logPath"), kGroup), QStringLiteral("C:/log"));
    QCOMPARE(store.option(QStringLiteral("node"), kGroup), QString());
    // Any non-empty group addresses the document element.
    store.setOption(QStringLiteral("node"), QStringLiteral("n1"), QStringLiteral("Other"));
    QCOMPARE(store.option(QStringLiteral("node"), QStringLiteral("Other")), QStringLiteral("n1"));
    store.setOption(QStringLiteral("logPath"), QStringLiteral("D:/log"), kGroup);
    // Argument checks run path, group, key; only the first failure is logged.
    store.setOption(QString(), QStringLiteral("v"), QString());
    store.setOption(QString(), QStringLiteral("v"), kGroup);
    QCOMPARE(store.option(QString(), QString()), QString());
    QCOMPARE(store.option(QString(), kGroup), QString());
    QCOMPARE(debugLines(capture), lines(QStringLiteral(R"(KivOperateIni::setOption success "ClientInfo" "logPath" "C:/log"
KivOperateIni::Option success "ClientInfo" "logPath" "C:/log"
KivOperateIni::Option success "ClientInfo" "node" ""
KivOperateIni::setOption success "Other" "node" "n1"
KivOperateIni::Option success "Other" "node" "n1"
KivOperateIni::setOption success "ClientInfo" "logPath" "D:/log"
KivOperateIni::setOption group is empty.
KivOperateIni::setOption key is empty.
KivOperateIni::option group is empty.
KivOperateIni::option key is empty.)")));
    // Added and replaced attributes; the others keep their values.
    QCOMPARE(attributes(path), initialWith({{"logPath", "D:/log"}, {"node", "n1"}}));

    // Values that need escaping read back unchanged, also after further parses and saves.
    const QStringList values = {QStringLiteral("say \"hi\" & 'bye' <c> &amp; ]]> </ClientInfo>"),
                                QString::fromUtf8("one\ntwo\r\nthree\tfour  five J\xc3\xbcrgen/\xe6\x97\xa5\xe5\xbf\x97 \xf0\x9f\x98\x80"),
                                QString(1 << 20, QLatin1Char('x')) + QStringLiteral("<&\">")};
    for (int i = 0; i < values.size(); ++i)
        store.setOption(QStringLiteral("v%1").arg(i), values[i], kGroup);
    store.setOption(QStringLiteral("liveid"), QStringLiteral("after"), kGroup);
    const QMap<QString, QString> stored = attributes(path);
    for (int i = 0; i < values.size(); ++i) {
        QCOMPARE(store.option(QStringLiteral("v%1").arg(i), kGroup), values[i]);
        QCOMPARE(stored.value(QStringLiteral("v%1").arg(i)), values[i]);
    }
    const QByteArray bytes = readAll(path);
    QCOMPARE(QString::fromUtf8(bytes).toUtf8(), bytes); // valid UTF-8
    QCOMPARE(bytes.count('\n'), 2);                       // still two lines: line ends in values are escaped
    QVERIFY(bytes.startsWith("<?xml version") && bytes.endsWith("/>\n"));
}

void tst_KivOperateIni::faultsBetweenCalls()
{
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther));
    const QString path = dir.filePath(QStringLiteral("c.xml"));
    KivOperateIni store;
    store.initXml(path, false);
    store.setOption(kId, QStringLiteral("u1"), kGroup);
    const QByteArray good = readAll(path);
    const QStringList openFailures = lines(QStringLiteral("KivOperateIni::setOption file open ReadOnly failure \"%1\"\n"
                                                          "KivOperateIni::option file open ReadOnly failure \"%1\"\n").arg(path));
    // One write and one read: their log lines, then the value read back.
    auto writeAndRead = [&] {
        LogCapture capture;
        store.setOption(kId, QStringLiteral("u2"), kGroup);
        const QString value = store.option(kId, kGroup);
        return debugLines(capture) << value;
    };

    // Deleted: never recreated by a write.
    QVERIFY(QFile::remove(path));
    QCOMPARE(writeAndRead(), openFailures);
    QVERIFY(!QFile::exists(path));
    // Content that does not parse (here a write cut short) is left exactly as it is.
    QVERIFY(writeAll(path, good.left(good.size() / 2)));
    QCOMPARE(writeAndRead(), lines(QStringLiteral("KivOperateIni::setOption doc setContent failure\n"
                                                  "KivOperateIni::option doc setContent failure\n")));
    QCOMPARE(readAll(path), good.left(good.size() / 2));

    QVERIFY(writeAll(path, good));
    {   // Read-only: the change is dropped, the former content stays, reads still work.
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        AsOrdinaryUser user;
        QVERIFY(user.ok);
        QCOMPARE(writeAndRead(), lines(QStringLiteral("KivOperateIni::setOption file open WriteOnly Truncate failure \"%1\"\n"
                                                      "KivOperateIni::Option success \"ClientInfo\" \"id\" \"u1\"\nu1").arg(path)));
        QCOMPARE(readAll(path), good);
    }
    {   // Unreadable.
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        AsOrdinaryUser user;
        QVERIFY(user.ok);
        QCOMPARE(writeAndRead(), openFailures);
    }
}

QTEST_GUILESS_MAIN(tst_KivOperateIni)
#include "tst_kivoperateini.moc"
