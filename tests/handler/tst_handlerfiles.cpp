// The crash handler's files: private modes whatever the umask, the fallback folder, planted links,
// restoring an earlier handler's session, and where reports and their dumps go.

#include "capture/capture.h"
#include "report/crashreport.h"
#include "storage/dumpfolder.h"
#include "storage/privatefiles.h"
#include "storage/retention.h"
#include "session/session.h"
#include "session/sessionrestore.h"
#include "testfiles.h"

#include <QtTest>

using TestFiles::modeOf;

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QByteArray journalLine(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject message(const QString &text)
{
    return {{"event", "message"}, {"text", text}};
}

} // namespace

class tst_HandlerFiles : public QObject
{
    Q_OBJECT

private slots:
    // A wide umask does not widen what the handler creates (Windows has no modes and no umask: a
    // folder it makes gets a user-only DACL, read back as 0700, which Wine stores but does not
    // enforce); an existing file is reopened, a report replaced whole; an existing open folder is
    // used and said to be open; a folder that is a file sends everything to the per-user folder.
    void privateByDefault()
    {
        QTemporaryDir dir;
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath("state")));
#ifndef Q_OS_WIN
        const mode_t old = ::umask(0);
#endif
        const PrivateFiles::Folder made = PrivateFiles::chooseFolder(dir.filePath("a/b"));
        QVERIFY(made.created && !made.isFallback());
        const QJsonObject again = PrivateFiles::chooseFolder(dir.filePath("a/b")).toJson();
        QCOMPARE(QJsonArray({again["created"], again["mode"], again["private"]}), QJsonArray({false, "0700", true}));
        QString error;
        for (int i = 0; i < 2; ++i) {
            const int fd = PrivateFiles::openForAppend(dir.filePath("a/b/j"), &error);
            QVERIFY2(fd >= 0, qPrintable(error));
            ::close(fd);
            QVERIFY2(PrivateFiles::writeAtomically(dir.filePath("a/b"), "r.json", QByteArray::number(i), &error), qPrintable(error));
        }
        QCOMPARE(TestFiles::readAll(dir.filePath("a/b/r.json")), QByteArray("1"));
        QCOMPARE(QDir(dir.filePath("a/b")).entryList(QDir::Files | QDir::Hidden), QStringList({"j", "r.json"}));
        QVERIFY(TestFiles::writeAll(dir.filePath("file"), "x"));
        const PrivateFiles::Folder fallback = PrivateFiles::chooseFolder(dir.filePath("file"));
        QCOMPARE(fallback.fallbackReason, dir.filePath("file") + " is not a folder");
#ifndef Q_OS_WIN
        QCOMPARE(QList<int>({modeOf(dir.filePath("a")), modeOf(dir.filePath("a/b")), modeOf(dir.filePath("a/b/j")), modeOf(dir.filePath("a/b/r.json"))}),
                 QList<int>({0700, 0700, 0600, 0600}));
        QCOMPARE(fallback.path, dir.filePath("state/OstrelSDK/reports"));
        QCOMPARE(modeOf(fallback.path), 0700);
        ::umask(old);

        QVERIFY(QDir().mkdir(dir.filePath("open")));
        QVERIFY(QFile::setPermissions(dir.filePath("open"), QFileDevice::Permissions(0x7755)));
        const QJsonObject open = PrivateFiles::chooseFolder(dir.filePath("open")).toJson();
        QCOMPARE(QJsonArray({open["path"], open["mode"], open["private"], open["created"]}),
                 QJsonArray({dir.filePath("open"), "0755", false, false}));
        QVERIFY(open["note"].toString().contains("open to other users"));
#endif
        qunsetenv("XDG_STATE_HOME");
    }

#ifdef Q_OS_WIN
    // QFile::link makes a shell shortcut on Windows; Wine runs everything as one user.
    void plantedLinks() { QSKIP("QFile::link makes shortcuts on Windows, not links the file system follows"); }
#else
    // A link planted under a name the handler writes is never written through.
    void plantedLinks()
    {
        QTemporaryDir dir, outside;
        const QString victim = outside.filePath("victim");
        QVERIFY(TestFiles::writeAll(victim, "keep"));
        QVERIFY(QFile::link(victim, dir.filePath("app-1.journal.jsonl")));
        QVERIFY(QFile::link(victim, dir.filePath("app-1-20260101T000000Z.json")));

        QString error;
        QCOMPARE(PrivateFiles::openForAppend(dir.filePath("app-1.journal.jsonl"), &error), -1);
        QCOMPARE(error, dir.filePath("app-1.journal.jsonl") + " is a symbolic link");
        Session session;
        const SessionRestore::Result read = SessionRestore::fromJournal(dir.filePath("app-1.journal.jsonl"), HostProcess::learn(QCoreApplication::applicationPid()).identity(), &session);
        QCOMPARE(read.notes, QStringList("earlier journal not read: " + error));

        HandlerArgs args;
        QVERIFY(HandlerArgs::parse({"1", dir.path(), "app", "c", "", "", ""}, &args, &error));
        QCOMPARE(DumpFolder(args).reserveReport(QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC)).path, dir.filePath("app-1-20260101T000000Z-2.json"));
        QVERIFY(PrivateFiles::writeAtomically(dir.path(), "app-1-20260101T000000Z.json", "{}", &error));
        QVERIFY(!QFileInfo(dir.filePath("app-1-20260101T000000Z.json")).isSymLink());
        QCOMPARE(TestFiles::readAll(victim), QByteArray("keep"));

        // Another user's file under the journal's name is neither read nor appended to.
        if (geteuid() != 0)
            return;
        QVERIFY(TestFiles::writeAll(dir.filePath("app-2.journal.jsonl"), "{}\n") && ::chown(QFile::encodeName(dir.filePath("app-2.journal.jsonl")), 65534, 65534) == 0);
        QCOMPARE(PrivateFiles::openForAppend(dir.filePath("app-2.journal.jsonl"), &error), -1);
        QCOMPARE(error, dir.filePath("app-2.journal.jsonl") + ": owned by uid 65534, not by this user");
    }
#endif

    // Only this host's lines are replayed, marked as restored; a partial last line ends the reading.
    void restoreFromJournal()
    {
        QTemporaryDir dir;
        const HostIdentity self = HostProcess::learn(QCoreApplication::applicationPid()).identity();
        QVERIFY(!self.startedAt.isEmpty());
        QJsonObject other = self.toJson();
        other.insert("hostStartedAt", "2001-01-01T00:00:00.000Z");
        QJsonObject start = self.toJson();
        start.insert("event", "start");
        other.insert("event", "start");
        QByteArray bytes = journalLine(other) + journalLine(message("ClientLogin@old@@0"));
        bytes += journalLine(start) + journalLine(message("ClientLogin@u1@L1@1")) + journalLine(message("ExceptionCheck@a@b"))
                + journalLine(message("cloudConfig@dsn=http://k@127.0.0.1:9/1;upload=on@"))
                + "not json\n" + journalLine(message("subProcessInfo@{\"appName\":\"w\",\"subProcessPid\":\"77\"}"))
                + journalLine({{"event", "message"}, {"text", "StreamNode@n"}, {"seq", 41}}) + "{\"event\":\"message\",\"te";
        QVERIFY(TestFiles::writeAll(dir.filePath("j"), bytes));

        Session session;
        const SessionRestore::Result r = SessionRestore::fromJournal(dir.filePath("j"), self, &session);
        QCOMPARE(QJsonArray({r.source, r.messages, double(r.lastSequence), r.sameHost, r.otherHost}), QJsonArray({"journal", 5, 41, true, true}));
        QCOMPARE(r.notes.size(), 3); // partial line, damaged line, other host
        QVERIFY(r.notes.at(0).contains("partial last line (22 bytes)"));
        session.apply(HandlerMessage::parse("StreamNode@live@d"));
        const QJsonObject s = session.toJson();
        QCOMPARE(session.cloudConfigText(), QString("dsn=http://k@127.0.0.1:9/1;upload=on@")); // what delivery is told
        QCOMPARE(QJsonArray({s["restored"], s["login"]["userId"], s["streamNode"]["node"], s["exceptionChecks"][0]["restored"], s["subProcesses"][0]["restored"]}),
                 QJsonArray({QJsonArray({"cloudConfig", "login"}), "u1", "live", true, true}));
    }

    // A damaged client info file is noted and changes nothing; a good one restores the login and the node.
    void restoreFromClientInfo()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("ci.xml");
        const HostIdentity self = HostProcess::learn(QCoreApplication::applicationPid()).identity();
        Session session;
        SessionRestore::Result r;
        QVERIFY(TestFiles::writeAll(path, "<ClientInfo id=\"u7\""));
        QVERIFY(!SessionRestore::fromClientInfo(path, self, &session, &r));
        QVERIFY2(r.notes.value(0).startsWith("client info file not used: not well-formed XML: "), qPrintable(r.notes.value(0)));
        QVERIFY(session.toJson()["login"].isNull());
        QVERIFY(TestFiles::writeAll(path, "<?xml version='1.0'?><ClientInfo id=\"u7\" liveid=\"L\" node=\"n\" logPath=\"\"/>"));
        QVERIFY(SessionRestore::fromClientInfo(path, self, &session, &r));
        QCOMPARE(session.toJson()["restored"].toArray(), QJsonArray({"login", "streamNode"}));
        QCOMPARE(session.toJson()["login"].toObject(), QJsonObject({{"userId", "u7"}, {"liveId", "L"}, {"liveFlag", ""}}));
    }

    // The oldest reports of the application go, with what belongs to them (their host's journals
    // once no process has its pid: pids above the kernel's limit never run); nothing else is touched.
    // Crashes (and unreadable reports) count against DumpCount; exits and kills have a budget of
    // their own, so newer exits never push a crash out.
    void retention()
    {
        QTemporaryDir dir;
        QStringList expected;
        for (int i = 0; i < 9; ++i) {
            const QString name = QStringLiteral("app-%1-2026010%2T000000Z.json").arg(4194400 + i).arg(i + 1);
            QVERIFY(TestFiles::writeAll(dir.filePath(name), i < 5 ? "{}" : i % 2 ? R"({"crash": {"kind": "exited"}})" : R"({"crash": {"kind": "killed"}})"));
            expected.append(name);
        }
        for (const char *other : {"app-4194400-20260101T000000Z.core", "app-4194400.journal.jsonl", "app-4194400-20250101T000000000Z.journal.jsonl",
                                  "app-x-4194400-20250101T000000Z.json", "app-x-4194400.journal.jsonl", "app-1.journal.jsonl", "other-1-20250101T000000Z.json"})
            QVERIFY(TestFiles::writeAll(dir.filePath(other), "x"));
        QCOMPARE(Retention::reportsOf(dir.path(), "app"), expected);
        QVERIFY(Retention::enforce(dir.path(), "app", 0).isEmpty());
        QCOMPARE(Retention::enforce(dir.path(), "app", 3),
                 QStringList({"app-4194400-20250101T000000000Z.journal.jsonl", "app-4194400-20260101T000000Z.core", "app-4194400-20260101T000000Z.json",
                              "app-4194400.journal.jsonl", "app-4194401-20260102T000000Z.json", "app-4194405-20260106T000000Z.json"}));
        QCOMPARE(Retention::reportsOf(dir.path(), "app"), expected.mid(2, 3) + expected.mid(6));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 10);
        QCOMPARE(Retention::enforce(dir.path(), "app", 2), QStringList({"app-4194402-20260103T000000Z.json", "app-4194406-20260107T000000Z.json"}));

        // Written within one tick of the file system's clock, "-2" is still the newer of a pair.
        const QDateTime tick(QDate(2027, 1, 1), QTime(0, 0), Qt::UTC);
        for (const char *name : {"app-1-20270101T000000Z-2.json", "app-1-20270101T000000Z.json"}) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.setFileTime(tick, QFileDevice::FileModificationTime));
        }
        QCOMPARE(Retention::reportsOf(dir.path(), "app").mid(4), QStringList({"app-1-20270101T000000Z.json", "app-1-20270101T000000Z-2.json"}));
    }

    // Two reports that want one name (a host relaunched under a reused pid within a second): each
    // kept dump is named after its own report, so retention removes a report with its own dump.
    // A folder gone before the report comes leaves a stated reason and no file.
    void reportsKeepTheirDumps()
    {
        QTemporaryDir dir;
        HandlerArgs args;
        QString error;
        QVERIFY(HandlerArgs::parse({"4194400", dir.path(), "app", "c", "", "", ""}, &args, &error));
        const DumpFolder files(args);
        const QDateTime gone(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
        const QString first = dir.filePath("app-4194400-20260101T000000Z");
        const QString second = first + "-2";
        for (const QString &expected : {first, second}) {
            const DumpFolder::Reservation reservation = files.reserveReport(gone);
            QCOMPARE(reservation.path, expected + ".json");
            Capture::Result capture;
            capture.dump = Dump {dir.filePath("core.1234"), false, "core", ".core"};
            QVERIFY(TestFiles::writeAll(capture.dump.path, expected.toUtf8()));
            const DumpFolder::Placement placement = files.placeReport(reservation, [&] {
                Capture::placeDump(&capture, reservation.dumpStem, true);
                return CrashReport::toBytes(capture.report);
            }, 1);
            QCOMPARE(placement.path, reservation.path);
            QCOMPARE(QJsonDocument::fromJson(TestFiles::readAll(placement.path))["core"]["keptAt"].toString(), expected + ".core");
            QCOMPARE(TestFiles::readAll(expected + ".core"), expected.toUtf8());
        }
        QCOMPARE(QDir(dir.path()).entryList({"app-*"}, QDir::Files), QStringList({"app-4194400-20260101T000000Z-2.core", "app-4194400-20260101T000000Z-2.json"}));

        QVERIFY(dir.remove());
        const DumpFolder::Reservation none = files.reserveReport(gone);
        QVERIFY(none.path.isEmpty());
        QVERIFY(!none.error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_HandlerFiles)
#include "tst_handlerfiles.moc"
