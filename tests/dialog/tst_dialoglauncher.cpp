// The handler's side of the dialog: the real KivCrashDialog.exe started without blocking, every
// way of getting no answer, the remembered "always send", and starting a host again.

#include "consentmemory.h"
#include "dialoglauncher.h"
#include "hostrestart.h"
#include "testfiles.h"

#include <QtTest>

class tst_DialogLauncher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<DialogAnswer>();
        qputenv("QT_QPA_PLATFORM", "offscreen"); // for the dialog, which inherits it
    }

    void unanswered_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no display") << OSTREL_DIALOG << QByteArray() << "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
        QTest::newRow("program missing") << "/nonexistent/KivCrashDialog.exe" << QByteArray(":99")
                                         << "the dialog program is missing: /nonexistent/KivCrashDialog.exe";
        QTest::newRow("program fails") << "/bin/false" << QByteArray(":99") << "the dialog ended without an answer (exit code 1): cannot open ";
        // The dialog's own time-out: its answer "none" read back from the file it wrote.
        QTest::newRow("left open") << OSTREL_DIALOG << QByteArray(":99") << "closed after 1 s without an answer";
    }

    // Each way to no answer ends in one "none" with its reason, and leaves no file behind.
    void unanswered()
    {
        QFETCH(QString, program);
        QFETCH(QByteArray, display);
        QFETCH(QString, reason);
        qunsetenv("WAYLAND_DISPLAY");
        if (display.isEmpty())
            qunsetenv("DISPLAY");
        else
            qputenv("DISPLAY", display);
        QTemporaryDir work;
        DialogLauncher launcher;
        launcher.setProgram(program);
        launcher.setWorkFolder(work.path());
        QSignalSpy answered(&launcher, SIGNAL(answered(DialogAnswer)));
        QVERIFY(answered.isValid());
        DialogRequest request;
        request.appName = QStringLiteral("Demo");
        request.timeoutSeconds = 1;

        QVERIFY(launcher.ask(request));
        QVERIFY(!launcher.ask(request)); // one question at a time
        QCOMPARE(answered.count(), 0);   // never from inside ask()
        if (program == QLatin1String(OSTREL_DIALOG) && !display.isEmpty()) {
            // While it is open: one private folder holding a private request.
            const QFileInfoList folders = QDir(work.path()).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
            QCOMPARE(folders.size(), 1);
            const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                    | QFile::WriteOther | QFile::ExeOther;
            QCOMPARE(folders[0].permissions() & others, QFile::Permissions());
            const QFileInfo requestFile(folders[0].filePath() + QStringLiteral("/request.json"));
            QVERIFY(requestFile.isFile());
            QCOMPARE(requestFile.permissions() & others, QFile::Permissions());
        }
        QVERIFY(answered.wait(20000));
        const DialogAnswer answer = answered.at(0).at(0).value<DialogAnswer>();
        QCOMPARE(int(answer.answer), int(DialogAnswer::None));
        QVERIFY2(answer.reason.startsWith(reason), qPrintable(answer.reason));
        QVERIFY(answer.comment.isEmpty() && !answer.restart);
        QVERIFY(!launcher.isAsking());
        QCOMPARE(QDir(work.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QTest::qWait(50);
        QCOMPARE(answered.count(), 1);
    }

    // Per app and user: names that differ only after a "/" are two keys; "no" removes the key.
    void alwaysSendRemembered()
    {
        QTemporaryDir settings;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
        QString error;
        const QString app = QString::fromUtf8("Démo/Éditeur");
        QVERIFY(!ConsentMemory::alwaysSend(app));
        QVERIFY2(ConsentMemory::setAlwaysSend(app, true, &error), qPrintable(error));
        QVERIFY(ConsentMemory::alwaysSend(app));
        QVERIFY(!ConsentMemory::alwaysSend(QString::fromUtf8("Démo")));
        QSettings file(settings.filePath(QStringLiteral("Ostrel/KivCrashHandler.conf")), QSettings::IniFormat);
        QCOMPARE(file.childGroups(), QStringList {"AlwaysSend"});
        file.beginGroup(QStringLiteral("AlwaysSend"));
        QCOMPARE(file.childKeys(), QStringList {QString::fromUtf8("Démo%2FÉditeur")});
        QVERIFY(ConsentMemory::setAlwaysSend(app, false, &error));
        QVERIFY(!ConsentMemory::alwaysSend(app));
    }

    void restart_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<bool>("folderKept");
        QTest::addColumn<QString>("error");
        QTest::newRow("as it ran") << "/bin/sh" << true << "";
        QTest::newRow("working folder gone") << "/bin/sh" << false << "";
        QTest::newRow("executable gone") << "/nonexistent/demo" << true << "the host's executable /nonexistent/demo is gone";
    }

    // Started again detached, with its arguments, in its working folder or else the executable's.
    void restart()
    {
        QFETCH(QString, executable);
        QFETCH(bool, folderKept);
        QFETCH(QString, error);
        QTemporaryDir out;
        QTemporaryDir cwd;
        const QString recordedFolder = folderKept ? cwd.path() : cwd.path() + QStringLiteral("/gone");
        const QString record = out.filePath(QStringLiteral("ran"));
        QString why, note;
        const qint64 pid = HostRestart::start(executable, {QStringLiteral("-c"), QStringLiteral("echo \"$0 $(pwd -P)\" > ") + record,
                                                           QStringLiteral("arg 0")},
                                              recordedFolder, &why, &note);
        QCOMPARE(why, error);
        if (!error.isEmpty()) {
            QCOMPARE(pid, -1);
            return;
        }
        QVERIFY(pid > 0);
        QTRY_VERIFY(QFileInfo(record).size() > 0);
        QCOMPARE(TestFiles::readAll(record), QStringLiteral("arg 0 %1\n").arg(QFileInfo(folderKept ? cwd.path() : QStringLiteral("/bin")).canonicalFilePath()).toUtf8());
        QCOMPARE(note.isEmpty(), folderKept);
    }
};

QTEST_GUILESS_MAIN(tst_DialogLauncher)
#include "tst_dialoglauncher.moc"
