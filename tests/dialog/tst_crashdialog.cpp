// The crash dialog's widget and the files it shares with the handler: what the user sees, what each
// key and button answers, the restart rule, and the bounds on what comes in and goes out.

#include "crashdialog.h"

#include <QtTest>
#include <QtWidgets>

namespace {

const QString kFsi = QChar(0x2068), kPdi = QChar(0x2069); // the isolates around a name

DialogRequest sampleRequest(const QString &appName = QStringLiteral("Demo"), double ranSeconds = 42)
{
    DialogRequest r;
    r.appName = appName;
    r.summary = QStringLiteral("Demo crashed: SIGSEGV");
    r.details = QStringLiteral("SIGSEGV in crash() demo.cpp:42");
    r.attachments = {{QStringLiteral("Demo-7-report.json"), QStringLiteral("/d/Demo-7-report.json"), 1234},
                     {QStringLiteral("host.log"), QStringLiteral("/d/host.log"), -1}};
    r.reportPath = QStringLiteral("/d/Demo-7-report.json");
    r.hostRanSeconds = ranSeconds;
    r.restartable = true;
    r.handlerPid = QCoreApplication::applicationPid(); // runs: every test below also says it stays open
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

// Shown and active, as after a crash.
bool shown(QWidget *dialog)
{
    dialog->show();
    return QTest::qWaitForWindowActive(dialog);
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
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    void opens_data()
    {
        QTest::addColumn<QString>("appName");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<double>("ranSeconds");
        QTest::addColumn<QString>("shownName"); // as it stands in the heading and the check boxes
        QTest::addColumn<bool>("restartOffered");

        const QString x79 = QString(79, QLatin1Char('x')) + QChar(0x2026);
        QTest::newRow("plain, ran 42 s") << "Demo" << "Demo crashed" << 42.0 << kFsi + "Demo" + kPdi << true;
        QTest::newRow("no name, no summary, ran 9.9 s") << "" << "" << 9.9 << "" << false;
        // Markup stays text, "&" marks no shortcut, control characters and line breaks go.
        QTest::newRow("markup, ampersand, newline, ran 10 s") << "<b>Ed&it</b>\n\x01" << "a <i>b</i>" << 10.0
                                                            << kFsi + "<b>Ed&it</b>" + kPdi << true;
        QTest::newRow("right-to-left, run time unknown") << QString::fromUtf8("עורך") << QString::fromUtf8("עורך קרס") << -1.0
                                                         << kFsi + QString::fromUtf8("עורך") + kPdi << false;
        QTest::newRow("long name cut") << QString(300, QLatin1Char('x')) << "s" << 3600.0 << kFsi + x79 + kPdi << true;
    }

    // What shows when it opens: plain words, the comment box focused, the details closed, and
    // "Restart" only for a host that ran at least 10 s.
    void opens()
    {
        QFETCH(QString, summary);
        QFETCH(double, ranSeconds);
        QFETCH(QString, shownName);
        QFETCH(bool, restartOffered);
        DialogRequest request = sampleRequest(QString(), ranSeconds);
        QFETCH(QString, appName);
        request.appName = appName;
        request.summary = summary;
        CrashDialog dialog(request);
        QVERIFY(shown(&dialog));

        const QString heading = shownName.isEmpty() ? QStringLiteral("The application quit unexpectedly")
                                                    : shownName + QStringLiteral(" quit unexpectedly");
        QCOMPARE(dialog.windowTitle(), heading);
        const QString text = visibleText(&dialog);
        QVERIFY2(text.startsWith(heading + QLatin1Char('\n')
                                 + (summary.isEmpty() ? QStringLiteral("The report gives no summary of what happened.") : summary)),
                 qPrintable(text));
        QVERIFY2(!text.contains(QLatin1String("sent")), qPrintable(text)); // it only asks; the handler sends
        const QList<QCheckBox *> boxes = dialog.findChildren<QCheckBox *>();
        QCOMPARE(boxes[0]->text(), shownName.isEmpty() ? QStringLiteral("&Always send reports for this application")
                                                       : QStringLiteral("&Always send reports for ") + QString(shownName).replace('&', "&&"));
        auto *comment = control<QPlainTextEdit>(&dialog, QStringLiteral("What were you doing?"));
        QCOMPARE(QApplication::focusWidget(), comment);
        type(comment, summary); // a comment in the summary's script starts on that script's side
        if (!summary.isEmpty()) {
            const QRectF line = comment->document()->firstBlock().layout()->lineAt(0).naturalTextRect();
            QCOMPARE(line.center().x() > comment->viewport()->width() / 2, summary.isRightToLeft());
        }
        QVERIFY(control<QPushButton>(&dialog, QStringLiteral("Send"))->isDefault());
        QVERIFY(!control<QPlainTextEdit>(&dialog, QStringLiteral("What would be sent"))->isVisible());
        for (QWidget *w : dialog.findChildren<QWidget *>())
            if (qobject_cast<QAbstractButton *>(w) || qobject_cast<QLineEdit *>(w) || qobject_cast<QPlainTextEdit *>(w))
                QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName() + w->metaObject()->className()));

        QCOMPARE(boxes[1]->isVisible(), restartOffered);
        QCOMPARE(boxes[1]->isChecked(), restartOffered);
        boxes[1]->setChecked(true); // hidden, it still answers no
        dialog.accept();
        QCOMPARE(dialog.answer().restart, restartOffered);
    }

    // Tab goes down the dialog; the details, once open, show what would be sent and its sizes.
    void tabOrderAndDetails()
    {
        CrashDialog dialog(sampleRequest());
        QVERIFY(shown(&dialog));
        QStringList order {QApplication::focusWidget()->accessibleName()};
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->accessibleName();
        }
        QCOMPARE(order, QStringList({"What were you doing?", "E-mail address, optional", "Always send reports for " + kFsi + "Demo" + kPdi,
                                     "Restart " + kFsi + "Demo" + kPdi, "Details", "Send", "Don't send"}));

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
    }

    // The answer each key and button gives, with what was typed, non-ASCII and right-to-left alike.
    void answers()
    {
        QFETCH(QString, action);
        CrashDialog dialog(sampleRequest());
        QSignalSpy finished(&dialog, SIGNAL(finished(int)));
        QVERIFY(finished.isValid());
        QVERIFY(shown(&dialog));
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
        } else {
            dialog.findChildren<QCheckBox *>().at(1)->setChecked(false);
            QTest::mouseClick(control<QPushButton>(&dialog, QStringLiteral("Don't send")), Qt::LeftButton);
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

    // A handler that has ended reads no answer: the dialog closes with none and says why.
    void handlerGone()
    {
        QProcess ended;
        ended.start(QCoreApplication::applicationFilePath(), {"-functions"});
        QVERIFY(ended.waitForStarted());
        DialogRequest request = sampleRequest();
        request.handlerPid = ended.processId();
        QVERIFY(ended.waitForFinished());
        CrashDialog dialog(request);
        QSignalSpy finished(&dialog, SIGNAL(finished(int)));
        dialog.show();
        QVERIFY(finished.count() == 1 || finished.wait(10000));
        QCOMPARE(dialog.answer().answer, DialogAnswer::None);
        QCOMPARE(dialog.answer().reason, QStringLiteral("the crash handler that asked has ended"));
    }

    // A pasted essay is cut to the bound; an address that cannot be one holds Send back, says so
    // and is selected for correcting.
    void boundsHeld()
    {
        CrashDialog dialog(sampleRequest());
        QVERIFY(shown(&dialog));
        auto *comment = control<QPlainTextEdit>(&dialog, QStringLiteral("What were you doing?"));
        comment->insertPlainText(QString(DialogContract::kMaxCommentChars + 500, QLatin1Char('w')));
        QCOMPARE(comment->toPlainText().size(), DialogContract::kMaxCommentChars);
        QVERIFY(visibleText(&dialog).contains(QLatin1String("A comment is kept to 4096 characters; the rest was cut.")));

        auto *email = control<QLineEdit>(&dialog, QStringLiteral("E-mail address, optional"));
        QTest::keyClicks(email, QStringLiteral("not an address"));
        QTest::keyClick(email, Qt::Key_Return);
        QVERIFY(dialog.isVisible());
        QVERIFY(visibleText(&dialog).contains(QLatin1String("This does not look like an e-mail address.")));
        QCOMPARE(QApplication::focusWidget(), email);
        QTest::keyClick(email, Qt::Key_Delete);
        QTest::keyClick(email, Qt::Key_Return);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(int(dialog.answer().answer), int(DialogAnswer::Send));
        QCOMPARE(dialog.answer().email, QString());
        QCOMPARE(dialog.answer().comment.size(), DialogContract::kMaxCommentChars);
    }

    void requestFiles_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("timeout");
        QTest::newRow("not JSON") << QByteArray("{\"version\":1,") << "not JSON: unterminated object at offset 13" << 0;
        QTest::newRow("an array") << QByteArray("[1]") << "not a JSON object" << 0;
        QTest::newRow("a newer version") << QByteArray("{\"version\":2}") << "version 2 is not 1" << 0;
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

    // The answer as the handler reads it back: bounded, and "always" only with a yes.
    void answerFiles()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("answer.json"));
        DialogAnswer written;
        written.answer = DialogAnswer::Decline;
        written.comment = QString(DialogContract::kMaxCommentChars + 1, QLatin1Char('c'));
        written.alwaysSend = true;
        QString error;
        QVERIFY2(DialogContract::writePrivateFile(path, written.toJson(), &error), qPrintable(error));
        QByteArray json;
        QVERIFY(DialogContract::readFile(path, DialogContract::kMaxAnswerBytes, &json, &error));
        DialogAnswer read;
        QVERIFY(DialogAnswer::fromJson(json, &read, &error));
        QCOMPARE(read.comment.size(), DialogContract::kMaxCommentChars);
        QVERIFY(!read.alwaysSend);

        QVERIFY(!DialogAnswer::fromJson("{\"version\":1,\"answer\":\"sent\"}", &read, &error));
        QCOMPARE(error, QStringLiteral("unknown answer \"sent\""));
        QVERIFY(!DialogContract::readFile(path, 100, &json, &error));
        QCOMPARE(error, path + QStringLiteral(" is larger than 100 bytes"));
    }
};

QTEST_MAIN(tst_CrashDialog)
#include "tst_crashdialog.moc"
