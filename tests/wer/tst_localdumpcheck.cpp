// When the library counts an executable's local-dump settings as registered: folder non-empty and
// equal character for character, count and type 0 or more and equal. Anything absent, unreadable
// or corrupt counts as different.

#include "crashmanage/localdumpsettings.h"
#include "crashmanage/werregistration.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class tst_LocalDumpCheck : public QObject
{
    Q_OBJECT

private slots:
    void matchRules_data();
    void matchRules();
};

void tst_LocalDumpCheck::matchRules_data()
{
    // `ini`: the settings file of "app.exe" as it lies on disk (no file when empty, a directory in
    // its place for "<dir>"), then the wanted folder, count and type.
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("registered");

    const QByteArray full = R"([General]
DumpFolder=C:\\Dumps\\app
DumpCount=10
DumpType=2
)";
    const QString wanted = QStringLiteral(R"(C:\Dumps\app)");
    QTest::newRow("equal") << full << wanted << 10 << 2 << true;
    QTest::newRow("folder case differs") << full << QStringLiteral(R"(c:\dumps\app)") << 10 << 2 << false;
    QTest::newRow("folder separators differ") << full << QStringLiteral("C:/Dumps/app") << 10 << 2 << false;
    QTest::newRow("trailing backslash") << full << QStringLiteral(R"(C:\Dumps\app\)") << 10 << 2 << false;
    QTest::newRow("count differs") << full << wanted << 11 << 2 << false;
    QTest::newRow("type differs") << full << wanted << 10 << 1 << false;
    QTest::newRow("count stored as text") << QByteArray("[General]\nDumpFolder=C:\\\\Dumps\\\\app\nDumpCount=\"10\"\nDumpType=\"2\"\n")
                                          << wanted << 10 << 2 << true;
    QTest::newRow("zero count and type") << QByteArray("[General]\nDumpFolder=d\nDumpCount=0\nDumpType=0\n")
                                         << QStringLiteral("d") << 0 << 0 << true;
    QTest::newRow("environment reference kept")
            << QByteArray("[General]\nDumpFolder=%LOCALAPPDATA%\\\\d\nDumpCount=1\nDumpType=1\n")
            << QStringLiteral(R"(%LOCALAPPDATA%\d)") << 1 << 1 << true;

    const QByteArray noCount = "[General]\nDumpFolder=d\nDumpType=2\n";
    QTest::newRow("count absent") << noCount << QStringLiteral("d") << 10 << 2 << false;
    QTest::newRow("count absent, wanted -1") << noCount << QStringLiteral("d") << -1 << 2 << false;
    QTest::newRow("negative count on both sides") << QByteArray("[General]\nDumpFolder=d\nDumpCount=-5\nDumpType=2\n")
                                                  << QStringLiteral("d") << -5 << 2 << false;
    QTest::newRow("negative type on both sides") << QByteArray("[General]\nDumpFolder=d\nDumpCount=5\nDumpType=-3\n")
                                                 << QStringLiteral("d") << 5 << -3 << false;
    QTest::newRow("empty folder on both sides") << QByteArray("[General]\nDumpFolder=\nDumpCount=5\nDumpType=2\n")
                                                << QString() << 5 << 2 << false;
    QTest::newRow("no settings, empty folder wanted") << QByteArray() << QString() << 5 << 2 << false;
    QTest::newRow("no settings") << QByteArray() << wanted << 10 << 2 << false;
    QTest::newRow("unreadable") << QByteArray("<dir>") << wanted << 10 << 2 << false;
    QTest::newRow("corrupt") << QByteArray("\xff\xfe\x00[Gen\x01\x02=", 10) << wanted << 10 << 2 << false;
}

void tst_LocalDumpCheck::matchRules()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, folder);
    QFETCH(int, count);
    QFETCH(int, type);
    QFETCH(bool, registered);

    QTemporaryDir settingsDir;
    QVERIFY(settingsDir.isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, settingsDir.path());

    const QString keyDir = settingsDir.path() + QLatin1Char('/') + localDumpsOrganization();
    QVERIFY(QDir().mkpath(keyDir));
    const QString file = keyDir + QLatin1String("/app.exe.ini");
    if (ini == "<dir>") {
        QVERIFY(QDir().mkpath(file));
    } else if (!ini.isEmpty()) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(ini), qint64(ini.size()));
    }

    QCOMPARE(isLocalDumpRegistered(QStringLiteral("app.exe"), folder, count, type), registered);
}

QTEST_GUILESS_MAIN(tst_LocalDumpCheck)
#include "tst_localdumpcheck.moc"
