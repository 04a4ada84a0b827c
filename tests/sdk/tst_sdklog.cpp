// The shape and gating of the SDK log line, and the plain debug line that is never gated.

#include "logcapture.h"
#include "sdk/sdklog.h"

#include <QStringList>
#include <QtTest>

class tst_SdkLog : public QObject
{
    Q_OBJECT

private slots:
    void lineShapeForEveryWriter();
    void switchOffBuildsNothingButPlainDebugStays();

private:
    void writeOneOfEach();
};

void tst_SdkLog::writeOneOfEach()
{
    sdkLog(false, "void f()", "text only");
    sdkLog(true, "void f()", "string:", QStringLiteral("v@1$"));
    sdkLog(false, "void f()", "string and flag:", QStringLiteral("m"), true);
    sdkLog(false, "void f()", "list:", QStringList{QStringLiteral("a"), QString()});
    sdkLog(true, "void f()", "state:", QLocalSocket::ConnectingState);
    sdkLog(true, "void f()", "error:", QLocalSocket::ServerNotFoundError);
    sdkLog(false, "void f()", "bytes:", QByteArray("{\"a\":1}"));
    sdkLog(true, "void f()", "int and string:", 203, QStringLiteral("Not Found"));
    SDK_LOG_LINE(false) << 7;
}

void tst_SdkLog::lineShapeForEveryWriter()
{
    LogCapture capture;
    writeOneOfEach();

    const QList<LogCapture::Entry> &e = capture.entries();
    QCOMPARE(e.size(), 9);
    const QStringList expected {
        QStringLiteral("[OstrelSDk] [ void f() ] text only"),
        QStringLiteral("[OstrelSDk] [ void f() ] string: \"v@1$\""),
        QStringLiteral("[OstrelSDk] [ void f() ] string and flag: \"m\" true"),
        QStringLiteral("[OstrelSDk] [ void f() ] list: (\"a\", \"\")"),
        QStringLiteral("[OstrelSDk] [ void f() ] state: QLocalSocket::ConnectingState"),
        QStringLiteral("[OstrelSDk] [ void f() ] error: QLocalSocket::ServerNotFoundError"),
        QStringLiteral("[OstrelSDk] [ void f() ] bytes: \"{\\\"a\\\":1}\""),
        QStringLiteral("[OstrelSDk] [ void f() ] int and string: 203 \"Not Found\""),
    };
    const QList<QtMsgType> types {QtInfoMsg, QtCriticalMsg, QtInfoMsg, QtInfoMsg, QtCriticalMsg,
                                  QtCriticalMsg, QtInfoMsg, QtCriticalMsg, QtInfoMsg};
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(e.at(i).text, expected.at(i));
    for (int i = 0; i < e.size(); ++i) {
        QCOMPARE(e.at(i).type, types.at(i));
        QVERIFY2(!e.at(i).hasContext, "log lines must carry no file, line or function context");
    }
    // The in-place line carries the writing function's full signature.
    QVERIFY(e.at(8).text.startsWith(QStringLiteral("[OstrelSDk] [ void tst_SdkLog::writeOneOfEach() ]")));
    QVERIFY(e.at(8).text.endsWith(QStringLiteral(" 7")));
}

void tst_SdkLog::switchOffBuildsNothingButPlainDebugStays()
{
    LogCapture capture;
    sdkSetLogEnabled(false);
    int evaluated = 0;
    auto value = [&evaluated] { ++evaluated; return 1; };
    writeOneOfEach();
    SDK_LOG_LINE(true) << value();
    plainDebug() << "plain";
    sdkSetLogEnabled(true);

    QCOMPARE(evaluated, 0);
    QCOMPARE(capture.entries().size(), 1);
    QCOMPARE(capture.entries().first().type, QtDebugMsg);
    QCOMPARE(capture.entries().first().text, QStringLiteral("plain"));

    writeOneOfEach();
    QCOMPARE(capture.entries().size(), 10);
}

QTEST_GUILESS_MAIN(tst_SdkLog)
#include "tst_sdklog.moc"
