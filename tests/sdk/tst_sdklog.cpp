// The shape and gating of the SDK log line, and the plain debug line that is never gated.

#include "logcapture.h"
#include "sdk/sdklog.h"

#include <QtTest>

class tst_SdkLog : public QObject
{
    Q_OBJECT

private slots:
    void lineShapeAndSwitch();

private:
    void writeOneOfEach()
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
};

void tst_SdkLog::lineShapeAndSwitch()
{
    LogCapture capture;
    // "!" before a critical line, "-" before a debug one, "context " before one that carries any.
    auto logged = [&capture] {
        QStringList out;
        for (const LogCapture::Entry &e : capture.entries())
            out.append(QLatin1String(e.hasContext ? "context " : "")
                       + QLatin1String(e.type == QtCriticalMsg ? "!" : e.type == QtDebugMsg ? "-" : e.type == QtInfoMsg ? "" : "?")
                       + e.text);
        return out;
    };
    const QStringList lines{
        "[OstrelSDk] [ void f() ] text only",
        "![OstrelSDk] [ void f() ] string: \"v@1$\"",
        "[OstrelSDk] [ void f() ] string and flag: \"m\" true",
        "[OstrelSDk] [ void f() ] list: (\"a\", \"\")",
        "![OstrelSDk] [ void f() ] state: QLocalSocket::ConnectingState",
        "![OstrelSDk] [ void f() ] error: QLocalSocket::ServerNotFoundError",
        "[OstrelSDk] [ void f() ] bytes: \"{\\\"a\\\":1}\"",
        "![OstrelSDk] [ void f() ] int and string: 203 \"Not Found\"",
        "[OstrelSDk] [ void tst_SdkLog::writeOneOfEach() ] 7", // in place: the writer's own signature
    };
    writeOneOfEach();
    QCOMPARE(logged(), lines);

    capture.clear();
    sdkSetLogEnabled(false);
    int evaluated = 0;
    writeOneOfEach();
    SDK_LOG_LINE(true) << ++evaluated;
    plainDebug() << "plain";
    sdkSetLogEnabled(true);
    writeOneOfEach();
    QCOMPARE(evaluated, 0); // nothing of a line is built while the switch is off
    QCOMPARE(logged(), QStringList("-plain") + lines);
}

QTEST_GUILESS_MAIN(tst_SdkLog)
#include "tst_sdklog.moc"
