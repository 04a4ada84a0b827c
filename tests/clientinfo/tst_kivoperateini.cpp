// KivOperateIni on its own: the initial file's bytes, binding, reads and writes with their debug
// lines, values that need escaping, and files that change under the store between calls.

#include "clientinfo/kivoperateini.h"
#include "clientinfofile.h"
#include "logcapture.h"
#include "sdk/sdklog.h"

#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace ClientInfoFile;

namespace {

const QString kGroup = QStringLiteral("ClientInfo");

QString quoted(const QString &s)
{
    return QLatin1Char('"') + s + QLatin1Char('"');
}

// The store's lines: all debug level, none with a file/line/function context.
QStringList debugLines(const LogCapture &capture)
{
    QStringList out;
    for (const LogCapture::Entry &e : capture.entries()) {
        out.append(e.type == QtDebugMsg && !e.hasContext ? e.text : QStringLiteral("unexpected: ") + e.text);
    }
    return out;
}

// Root passes every permission check, so read-only and unreadable files need the effective uid of
// an ordinary user for as long as the store works on them.
class AsOrdinaryUser
{
public:
    AsOrdinaryUser() : m_wasRoot(geteuid() == 0)
    {
        m_ok = !m_wasRoot || (setegid(65534) == 0 && seteuid(65534) == 0);
    }
    ~AsOrdinaryUser()
    {
        if (m_wasRoot && (seteuid(0) != 0 || setegid(0) != 0))
            qFatal("cannot regain root");
    }
    bool ok() const { return m_ok; }

private:
    bool m_wasRoot;
    bool m_ok;
};

} // namespace

class tst_KivOperateIni : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void initialFileBytes();
    void initXmlBinding();
    void optionAndSetOption();
    void valuesReadBackUnchanged_data();
    void valuesReadBackUnchanged();
    void faultsBetweenCalls();
};

void tst_KivOperateIni::initTestCase()
{
    // The store's lines are plain debug messages: the SDK logging switch must not silence them.
    sdkSetLogEnabled(false);
    QVERIFY(KivOperateIni::staticMetaObject.className() == QByteArray("KivOperateIni"));
}

void tst_KivOperateIni::initialFileBytes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("KivClientInfo_demo_1.xml"));
    LogCapture capture;
    KivOperateIni store;
    store.initXml(path, false);

    const QByteArray bytes = readAll(path);
    QCOMPARE(canonicalClientInfo(bytes), initialBytes());
    QVERIFY(bytes.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ClientInfo "));
    QVERIFY(!bytes.contains('\r'));
    QVERIFY(isValidUtf8(bytes));
    QCOMPARE(debugLines(capture), QStringList({QStringLiteral("KivOperateIni::initXml  ") + quoted(path) + QStringLiteral(" false"),
                                               QStringLiteral("KivOperateIni::initXml file success ") + quoted(path)}));
}

void tst_KivOperateIni::initXmlBinding()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("c.xml"));
    const QByteArray withValues = "<?xml version='1.0' encoding='UTF-8'?>\n<ClientInfo id=\"u1\" node=\"n\"/>\n";

    {   // Unbound: every call only logs, and no file appears.
        LogCapture capture;
        KivOperateIni store;
        store.initXml(QString(), true);
        store.setOption(QStringLiteral("id"), QStringLiteral("x"), kGroup);
        QCOMPARE(store.option(QStringLiteral("id"), kGroup), QString());
        QCOMPARE(debugLines(capture), QStringList({QStringLiteral("KivOperateIni::initXml  \"\" true"),
                                                   QStringLiteral("KivOperateIni::initXml path is empty."),
                                                   QStringLiteral("KivOperateIni::setOption path is empty."),
                                                   QStringLiteral("KivOperateIni::option path is empty.")}));
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }
    {   // keepExisting on an existing file: untouched. An empty path later keeps the binding.
        QVERIFY(writeAll(path, withValues));
        LogCapture capture;
        KivOperateIni store;
        store.initXml(path, true);
        QCOMPARE(readAll(path), withValues);
        QCOMPARE(debugLines(capture).value(1), QStringLiteral("KivOperateIni::initXml exit  ") + quoted(path) + QStringLiteral(" true"));
        store.initXml(QString(), false);
        QCOMPARE(store.option(QStringLiteral("node"), kGroup), QStringLiteral("n"));
    }
    {   // Without keepExisting: the existing file is emptied back to the initial document.
        KivOperateIni store;
        store.initXml(path, false);
        QCOMPARE(canonicalClientInfo(readAll(path)), initialBytes());
    }
    {   // keepExisting on a missing file creates it.
        QVERIFY(QFile::remove(path));
        KivOperateIni store;
        store.initXml(path, true);
        QCOMPARE(canonicalClientInfo(readAll(path)), initialBytes());
    }
    {   // A folder that does not exist: open failure, still bound, no file created by later writes.
        const QString missing = dir.filePath(QStringLiteral("no/such/c.xml"));
        LogCapture capture;
        KivOperateIni store;
        store.initXml(missing, false);
        store.setOption(QStringLiteral("id"), QStringLiteral("x"), kGroup);
        QCOMPARE(debugLines(capture).mid(1), QStringList({QStringLiteral("KivOperateIni::initXml file open failure  ") + quoted(missing),
                                                          QStringLiteral("KivOperateIni::setOption file open ReadOnly failure ") + quoted(missing)}));
        QVERIFY(!QFile::exists(missing));
    }
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

    QCOMPARE(debugLines(capture), QStringList({
        QStringLiteral("KivOperateIni::setOption success \"ClientInfo\" \"logPath\" \"C:/log\""),
        QStringLiteral("KivOperateIni::Option success \"ClientInfo\" \"logPath\" \"C:/log\""),
        QStringLiteral("KivOperateIni::Option success \"ClientInfo\" \"node\" \"\""),
        QStringLiteral("KivOperateIni::setOption success \"Other\" \"node\" \"n1\""),
        QStringLiteral("KivOperateIni::Option success \"Other\" \"node\" \"n1\""),
        QStringLiteral("KivOperateIni::setOption success \"ClientInfo\" \"logPath\" \"D:/log\""),
        QStringLiteral("KivOperateIni::setOption group is empty."),
        QStringLiteral("KivOperateIni::setOption key is empty."),
        QStringLiteral("KivOperateIni::option group is empty."),
        QStringLiteral("KivOperateIni::option key is empty.")}));

    // Added and replaced attributes; the others keep their values.
    QMap<QString, QString> expected = initialAttributes();
    expected.insert(QStringLiteral("logPath"), QStringLiteral("D:/log"));
    expected.insert(QStringLiteral("node"), QStringLiteral("n1"));
    QCOMPARE(attributes(path), expected);
    const QByteArray bytes = readAll(path);
    QCOMPARE(bytes.count('\n'), 2);
    QVERIFY(bytes.startsWith("<?xml version"));
    QVERIFY(bytes.endsWith("/>\n"));
}

void tst_KivOperateIni::valuesReadBackUnchanged_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("quotes") << QStringLiteral("say \"hi\" and 'bye'");
    QTest::newRow("markup") << QStringLiteral("a & b <c> &amp; ]]> </ClientInfo>");
    QTest::newRow("line ends") << QStringLiteral("one\ntwo\r\nthree\tfour  five ");
    QTest::newRow("non-ASCII") << QString::fromUtf8("C:/Users/J\xc3\xbcrgen/\xe6\x97\xa5\xe5\xbf\x97 \xf0\x9f\x98\x80");
    QTest::newRow("1 MB") << QString(1 << 20, QLatin1Char('x')) + QStringLiteral("<&\">");
}

void tst_KivOperateIni::valuesReadBackUnchanged()
{
    QFETCH(QString, value);
    LogCapture quiet; // the 1 MB value would flood the test output
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("c.xml"));
    KivOperateIni store;
    store.initXml(path, false);
    store.setOption(QStringLiteral("id"), value, kGroup);
    store.setOption(QStringLiteral("liveid"), QStringLiteral("after"), kGroup); // one more parse + save

    QCOMPARE(store.option(QStringLiteral("id"), kGroup), value);
    QCOMPARE(attributes(path).value(QStringLiteral("id")), value);
    const QByteArray bytes = readAll(path);
    QVERIFY(isValidUtf8(bytes));
    QCOMPARE(bytes.count('\n'), 2); // line ends inside values are escaped
}

void tst_KivOperateIni::faultsBetweenCalls()
{
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther));
    const QString path = dir.filePath(QStringLiteral("c.xml"));
    KivOperateIni store;
    store.initXml(path, false);
    store.setOption(QStringLiteral("id"), QStringLiteral("u1"), kGroup);
    const QByteArray good = readAll(path);
    const QString setOpenFailure = QStringLiteral("KivOperateIni::setOption file open ReadOnly failure ") + quoted(path);
    const QString optionOpenFailure = QStringLiteral("KivOperateIni::option file open ReadOnly failure ") + quoted(path);

    {   // Deleted: never recreated by a write.
        QVERIFY(QFile::remove(path));
        LogCapture capture;
        store.setOption(QStringLiteral("id"), QStringLiteral("u2"), kGroup);
        QCOMPARE(store.option(QStringLiteral("id"), kGroup), QString());
        QCOMPARE(debugLines(capture), QStringList({setOpenFailure, optionOpenFailure}));
        QVERIFY(!QFile::exists(path));
    }
    // Content that does not parse is left exactly as it is.
    for (const QByteArray &bad : {good.left(good.size() / 2), QByteArray(), QByteArray("<ClientInfo id=\"u1\"><x></ClientInfo>\n"),
                                  QByteArray("not xml at all\n")}) {
        QVERIFY(writeAll(path, bad));
        LogCapture capture;
        store.setOption(QStringLiteral("id"), QStringLiteral("u2"), kGroup);
        QCOMPARE(store.option(QStringLiteral("id"), kGroup), QString());
        QCOMPARE(debugLines(capture), QStringList({QStringLiteral("KivOperateIni::setOption doc setContent failure"),
                                                   QStringLiteral("KivOperateIni::option doc setContent failure")}));
        QCOMPARE(readAll(path), bad);
    }
    QVERIFY(writeAll(path, good));
    {   // Read-only: the change is dropped, the former content stays, reads still work.
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        AsOrdinaryUser user;
        QVERIFY(user.ok());
        LogCapture capture;
        store.setOption(QStringLiteral("id"), QStringLiteral("u2"), kGroup);
        QCOMPARE(store.option(QStringLiteral("id"), kGroup), QStringLiteral("u1"));
        QCOMPARE(debugLines(capture).value(0), QStringLiteral("KivOperateIni::setOption file open WriteOnly Truncate failure ") + quoted(path));
        QCOMPARE(readAll(path), good);
    }
    {   // Unreadable.
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        AsOrdinaryUser user;
        QVERIFY(user.ok());
        LogCapture capture;
        store.setOption(QStringLiteral("id"), QStringLiteral("u2"), kGroup);
        QCOMPARE(store.option(QStringLiteral("id"), kGroup), QString());
        QCOMPARE(debugLines(capture), QStringList({setOpenFailure, optionOpenFailure}));
    }
    // Once the file is usable again, so is the store.
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    store.setOption(QStringLiteral("id"), QStringLiteral("u3"), kGroup);
    QCOMPARE(store.option(QStringLiteral("id"), kGroup), QStringLiteral("u3"));
}

QTEST_GUILESS_MAIN(tst_KivOperateIni)
#include "tst_kivoperateini.moc"
