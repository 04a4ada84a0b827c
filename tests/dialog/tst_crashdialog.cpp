// The crash dialog's widget and the files it shares with the handler: what the user sees, what each
// key and button answers, the restart rule, and the bounds on what comes in and goes out.

#include "crashdialog.h"

#include <QtTest>
#include <QtWidgets>

namespace {

DialogRequest sampleRequest(double ranSeconds = 42)
{
    DialogRequest r;
    r.appName = QStringLiteral("Demo");
    r.summary = QStringLiteral("Demo crashed: SIGSEGV (SEGV_MAPERR) at 0x0 in thread main: crash() demo.cpp:42");
    r.details = QStringLiteral("SIGSEGV in crash() demo.cpp:42");
    r.attachments = {{QStringLiteral("Demo-7-report.json"), QStringLiteral("/d/Demo-7-report.json"), 1234},
                     {QStringLiteral("host.log"), QStringLiteral("/d/host.log"), -1}};
    r.reportPath = QStringLiteral("/d/Demo-7-report.json");
    r.hostRanSeconds = ranSeconds;
    r.restartable = true;
    return r;
}

// A control by the accessible name a screen reader announces.
template <class T>
T *control(QWidget *dialog, const QString &name)
{
    for (T *w : dialog->findChildren<T *>())
        if (w->accessibleName() == name)
            return w;
    return nullptr;
}

// Every label's text the user can see now.
QString visibleText(QWidget *dialog)
{
    QStringList texts;
    for (QLabel *label : dialog->findChildren<QLabel *>())
        if (label->isVisible() && !label->text().isEmpty())
            texts << label->text();
    return texts.join(QLatin1Char('\n'));
}

// Key by key, as a keyboard with these characters would type them (keyClicks knows only ASCII).
void type(QWidget *widget, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

} // namespace

class tst_CrashDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
    }

    void opens_data()
    {
        QTest::addColumn<QString>("appName");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QString>("shownSummary");
        QTest::addColumn<QString>("alwaysText");

        const QString fsi = QChar(0x2068), pdi = QChar(0x2069);
        QTest::newRow("plain") << "Demo" << "Demo crashed: SIGSEGV" << fsi + "Demo" + pdi + " quit unexpectedly"
                               << "Demo crashed: SIGSEGV" << "&Always send reports for " + fsi + "Demo" + pdi;
        QTest::newRow("no name, no summary") << "" << "" << "The application quit unexpectedly"
                                             << "The report gives no summary of what happened."
                                             << "&Always send reports for this application";
        // Markup stays text, "&" marks no shortcut, control characters and line breaks go.
        QTest::newRow("markup, ampersand, newline") << "<b>Ed&it</b>\n\x01" << "a <i>b</i>" << fsi + "<b>Ed&it</b>" + pdi + " quit unexpectedly"
                                                    << "a <i>b</i>" << "&Always send reports for " + fsi + "<b>Ed&&it</b>" + pdi;
        QTest::newRow("right-to-left") << QString::fromUtf8("עורך") << QString::fromUtf8("עורך קרס") << fsi + QString::fromUtf8("עורך") + pdi + " quit unexpectedly"
                                       << QString::fromUtf8("עורך קרס") << "&Always send reports for " + fsi + QString::fromUtf8("עורך") + pdi;
        QTest::newRow("long name cut") << QString(300, QLatin1Char('x')) << "s" << fsi + QString(79, QLatin1Char('x')) + QChar(0x2026) + pdi + " quit unexpectedly"
                                       << "s" << "&Always send reports for " + fsi + QString(79, QLatin1Char('x')) + QChar(0x2026) + pdi;
    }

    // What shows when it opens: plain words, the comment box focused, the details closed.
    void opens()
    {
        QFETCH(QString, appName);
        QFETCH(QString, summary);
        QFETCH(QString, heading);
        QFETCH(QString, alwaysText);
        DialogRequest request = sampleRequest();
        request.appName = appName;
        request.summary = summary;
        CrashDialog dialog(request);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));

        QCOMPARE(dialog.windowTitle(), heading);
        const QString text = visibleText(&dialog);
        QVERIFY2(text.startsWith(heading + QLatin1Char('\n')), qPrintable(text));
        QTEST(control<QLabel>(&dialog, QStringLiteral("Summary"))->text(), "shownSummary");
        QCOMPARE(control<QLabel>(&dialog, QStringLiteral("Summary"))->textFormat(), Qt::PlainText);
        QVERIFY2(!text.contains(QLatin1String("sent")), qPrintable(text)); // it only asks; the handler sends
        QCOMPARE(dialog.findChild<QCheckBox *>()->text(), alwaysText);
        QCOMPARE(QApplication::focusWidget(), control<QPlainTextEdit>(&dialog, QStringLiteral("What were you doing?")));
        QVERIFY(control<QPushButton>(&dialog, QStringLiteral("Send"))->isDefault());
        QVERIFY(!control<QPlainTextEdit>(&dialog, QStringLiteral("What would be sent"))->isVisible());

        // Every control can be named by a screen reader.
        for (QWidget *w : dialog.findChildren<QWidget *>())
            if (w->focusPolicy() != Qt::NoFocus && !qobject_cast<QDialogButtonBox *>(w) && !w->inherits("QScrollBar")
                && w->parentWidget() == &dialog)
                QVERIFY2(!w->accessibleName().isEmpty(), w->metaObject()->className());
    }

    // Tab goes down the dialog; the details, once open, show what would be sent and its sizes.
    void tabOrderAndDetails()
    {
        CrashDialog dialog(sampleRequest());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QStringList order {QApplication::focusWidget()->accessibleName()};
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->accessibleName();
        }
        QCOMPARE(order, QStringList({"What were you doing?", "E-mail address, optional", "Always send reports for \u2068Demo\u2069",
                                     "Restart \u2068Demo\u2069", "Details", "Send", "Don't send"}));

        auto *details = control<QPlainTextEdit>(&dialog, QStringLiteral("What would be sent"));
        const int collapsedHeight = dialog.height();
        QTest::keyClick(control<QToolButton>(&dialog, QStringLiteral("Details")), Qt::Key_Space);
        QVERIFY(details->isVisible());
        QVERIFY(dialog.height() > collapsedHeight);
        QVERIFY(visibleText(&dialog).endsWith(QLatin1String("\nThis is what would be sent, with your comment and e-mail address:")));
        QCOMPARE(details->toPlainText(), QStringLiteral(
                "SIGSEGV in crash() demo.cpp:42\n\n"
                "Attachments:\n  Demo-7-report.json (1.21 KiB)\n  host.log (size unknown)\n\n"
                "Local report: /d/Demo-7-report.json"));
        QTest::keyClick(control<QToolButton>(&dialog, QStringLiteral("Details")), Qt::Key_Space);
        QTRY_COMPARE(dialog.height(), collapsedHeight);
    }

    void answers_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("choice");
        QTest::addColumn<QString>("comment");
        QTest::addColumn<bool>("alwaysSend");
        QTest::addColumn<bool>("restart");

        const QString typed = QString::fromUtf8("Export – ½ done, שלום");
        const int send = DialogAnswer::Send, decline = DialogAnswer::Decline;
        QTest::newRow("Send button") << "click Send" << send << typed << true << true;
        QTest::newRow("Enter in the e-mail field") << "Enter in e-mail" << send << typed << true << true;
        QTest::newRow("Ctrl+Enter in the comment box") << "Ctrl+Enter in comment" << send << typed << true << true;
        QTest::newRow("Enter in the comment box is a new line") << "Enter in comment, then Escape" << decline << typed + "\nmore" << false << true;
        QTest::newRow("Escape declines, always-send dropped") << "Escape" << decline << typed << false << true;
        QTest::newRow("Don't send, restart unticked") << "untick restart, click Don't send" << decline << typed << false << false;
        QTest::newRow("window closed") << "close" << decline << typed << false << true;
    }

    // The answer each key and button gives, with what was typed, non-ASCII and right-to-left alike.
    void answers()
    {
        QFETCH(QString, action);
        CrashDialog dialog(sampleRequest());
        QSignalSpy finished(&dialog, SIGNAL(finished(int)));
        QVERIFY(finished.isValid());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        auto *comment = control<QPlainTextEdit>(&dialog, QStringLiteral("What were you doing?"));
        auto *email = control<QLineEdit>(&dialog, QStringLiteral("E-mail address, optional"));
        type(comment, QString::fromUtf8("Export – ½ done, שלום"));
        email->setText(QStringLiteral(" user@example.org "));
        dialog.findChild<QCheckBox *>()->setChecked(true); // always send

        if (action == QLatin1String("click Send")) {
            QTest::mouseClick(control<QPushButton>(&dialog, QStringLiteral("Send")), Qt::LeftButton);
        } else if (action == QLatin1String("Enter in e-mail")) {
            email->setFocus();
            QTest::keyClick(email, Qt::Key_Return);
        } else if (action == QLatin1String("Ctrl+Enter in comment")) {
            QTest::keyClick(comment, Qt::Key_Return, Qt::ControlModifier);
        } else if (action == QLatin1String("Enter in comment, then Escape")) {
            QTest::keyClick(comment, Qt::Key_Return);
            QTest::keyClicks(comment, QStringLiteral("more"));
            QCOMPARE(finished.count(), 0);
            QTest::keyClick(comment, Qt::Key_Escape);
        } else if (action == QLatin1String("Escape")) {
            QTest::keyClick(comment, Qt::Key_Escape);
        } else if (action == QLatin1String("untick restart, click Don't send")) {
            control<QCheckBox>(&dialog, QStringLiteral("Restart \u2068Demo\u2069"))->setChecked(false);
            QTest::mouseClick(control<QPushButton>(&dialog, QStringLiteral("Don't send")), Qt::LeftButton);
        } else {
            QVERIFY(dialog.close());
        }

        QCOMPARE(finished.count(), 1);
        const DialogAnswer answer = dialog.answer();
        QTEST(int(answer.answer), "choice");
        QTEST(answer.comment, "comment");
        QCOMPARE(answer.email, QStringLiteral("user@example.org"));
        QTEST(answer.alwaysSend, "alwaysSend");
        QTEST(answer.restart, "restart");
        QVERIFY(answer.reason.isEmpty());
    }

    // An address that cannot be one keeps the dialog open, says so, and is not sent.
    void badEmailHeldBack()
    {
        CrashDialog dialog(sampleRequest());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        auto *email = control<QLineEdit>(&dialog, QStringLiteral("E-mail address, optional"));
        QTest::keyClicks(email, QStringLiteral("not an address"));
        QTest::keyClick(email, Qt::Key_Return);
        QVERIFY(dialog.isVisible());
        QVERIFY(visibleText(&dialog).contains(QLatin1String("This does not look like an e-mail address.")));
        QCOMPARE(QApplication::focusWidget(), email);
        QTest::keyClick(email, Qt::Key_Delete); // the text was selected for correcting
        QTest::keyClick(email, Qt::Key_Return);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(int(dialog.answer().answer), int(DialogAnswer::Send));
        QCOMPARE(dialog.answer().email, QString());
    }

    // A pasted essay is cut to the bound, and the dialog says so.
    void hugeCommentCut()
    {
        CrashDialog dialog(sampleRequest());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        auto *comment = control<QPlainTextEdit>(&dialog, QStringLiteral("What were you doing?"));
        comment->insertPlainText(QString(DialogContract::kMaxCommentChars + 500, QLatin1Char('w')));
        QCOMPARE(comment->toPlainText().size(), DialogContract::kMaxCommentChars);
        QVERIFY(visibleText(&dialog).contains(QLatin1String("A comment is kept to 4096 characters; the rest was cut.")));
        dialog.accept();
        QCOMPARE(dialog.answer().comment.size(), DialogContract::kMaxCommentChars);
    }

    void restartRule_data()
    {
        QTest::addColumn<double>("ranSeconds");
        QTest::addColumn<bool>("restartable");
        QTest::addColumn<bool>("offered");
        QTest::newRow("crashed after 9.9 s") << 9.9 << true << false;
        QTest::newRow("crashed after 10 s") << 10.0 << true << true;
        QTest::newRow("run time unknown") << -1.0 << true << false;
        QTest::newRow("long run, no way to restart") << 3600.0 << false << false;
    }

    // Offered, and then ticked, only for a host that ran at least 10 s and can be started again.
    void restartRule()
    {
        QFETCH(double, ranSeconds);
        QFETCH(bool, restartable);
        QFETCH(bool, offered);
        DialogRequest request = sampleRequest(ranSeconds);
        request.restartable = restartable;
        CrashDialog dialog(request);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *restart = control<QCheckBox>(&dialog, QStringLiteral("Restart \u2068Demo\u2069"));
        QCOMPARE(restart->isVisible(), offered);
        QCOMPARE(restart->isChecked(), offered);
        restart->setChecked(true); // hidden, it still answers no
        dialog.accept();
        QCOMPARE(dialog.answer().restart, offered);
    }

    // Left open, it closes itself with "none" and keeps nothing the user typed.
    void timesOut()
    {
        DialogRequest request = sampleRequest();
        request.timeoutSeconds = 1;
        CrashDialog dialog(request);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("half a comment"));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 10000);
        const DialogAnswer answer = dialog.answer();
        QCOMPARE(int(answer.answer), int(DialogAnswer::None));
        QCOMPARE(answer.reason, QStringLiteral("closed after 1 s without an answer"));
        QCOMPARE(answer.comment, QString());
        QVERIFY(answer.elapsedMs >= 1000);
    }

    void requestFiles_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("timeout");
        QTest::newRow("not JSON") << QByteArray("{\"version\":1,") << "not JSON: unterminated object at offset 13" << 0;
        QTest::newRow("an array") << QByteArray("[1]") << "not a JSON object" << 0;
        QTest::newRow("a newer version") << QByteArray("{\"version\":2}") << "version 2 is not 1" << 0;
        QTest::newRow("no version") << QByteArray("{}") << "version  is not 1" << 0;
        QTest::newRow("time-out absent") << QByteArray("{\"version\":1}") << "" << 600;
        QTest::newRow("time-out too short") << QByteArray("{\"version\":1,\"timeoutSeconds\":0}") << "" << 1;
        QTest::newRow("time-out too long") << QByteArray("{\"version\":1,\"timeoutSeconds\":86400}") << "" << 3600;
    }

    void requestFiles()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        DialogRequest request;
        QString why;
        QCOMPARE(DialogRequest::fromJson(json, &request, &why), error.isEmpty());
        QCOMPARE(why, error);
        if (error.isEmpty())
            QTEST(request.timeoutSeconds, "timeout");
    }

    // The answer as the handler reads it back: private, bounded, and "always" only with a yes.
    void answerFiles()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("answer.json"));
        DialogAnswer written;
        written.answer = DialogAnswer::Decline;
        written.comment = QString(DialogContract::kMaxCommentChars + 1, QLatin1Char('c'));
        written.alwaysSend = true;
        written.elapsedMs = 12345;
        QString error;
        QVERIFY2(DialogContract::writePrivateFile(path, written.toJson(), &error), qPrintable(error));
        QCOMPARE(QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                 QFile::Permissions());

        QByteArray json;
        QVERIFY(DialogContract::readFile(path, DialogContract::kMaxAnswerBytes, &json, &error));
        QVERIFY(json.startsWith("{\"alwaysSend\":true,\"answer\":\"decline\",\"comment\":\"cccc"));
        QVERIFY(json.endsWith("\",\"elapsedMs\":12345,\"email\":\"\",\"reason\":\"\",\"restart\":false,\"version\":1}"));
        DialogAnswer read;
        QVERIFY(DialogAnswer::fromJson(json, &read, &error));
        QCOMPARE(read.comment.size(), DialogContract::kMaxCommentChars);
        QVERIFY(!read.alwaysSend);
        QCOMPARE(read.elapsedMs, 12345);

        QVERIFY(!DialogAnswer::fromJson("{\"version\":1,\"answer\":\"sent\"}", &read, &error));
        QCOMPARE(error, QStringLiteral("unknown answer \"sent\""));
        QVERIFY(!DialogContract::readFile(path, 100, &json, &error));
        QCOMPARE(error, path + QStringLiteral(" is larger than 100 bytes"));
    }
};

QTEST_MAIN(tst_CrashDialog)
#include "tst_crashdialog.moc"
