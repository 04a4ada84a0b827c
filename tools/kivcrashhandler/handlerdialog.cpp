// CrashHandler's side of asking the user about a crash (docs/handler.md): whether to ask, the
// question put to KivCrashDialog.exe, and what the answer does to the delivery queue and the host.

#include "crashhandler.h"

#include "consentmemory.h"
#include "delivery/delivery.h"
#include "dialoglauncher.h"
#include "hostrestart.h"
#include "session/latesessions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace {

QString summaryOf(const QString &reportPath)
{
    QFile file(reportPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QJsonDocument::fromJson(file.readAll()).object().value(QLatin1String("summary")).toString();
}

} // namespace

// A crash report was written and delivery has queued it waiting for "ask": a remembered "always
// send" answers for the user; else the dialog asks, without holding up the event loop.
void CrashHandler::askUser(const QString &reportPath, const QString &whatQuit)
{
    if (!m_delivery->awaitsAnswer(reportPath))
        return; // upload=on, upload=off, no server, or not a crash
    const QString name = QFileInfo(reportPath).fileName();
    if (ConsentMemory::alwaysSend(m_args.appName)) {
        m_journal.append(QStringLiteral("consent"), {{QStringLiteral("source"), QStringLiteral("remembered")},
                                                     {QStringLiteral("report"), name}});
        m_delivery->userAnswered(reportPath, true);
        return;
    }
    DialogRequest request;
    request.appName = whatQuit;
    request.summary = summaryOf(reportPath);
    request.reportPath = QDir::toNativeSeparators(reportPath);
    QList<CrashEvent::Attachment> attachments;
    m_delivery->preview(reportPath, &request.details, &attachments);
    for (const CrashEvent::Attachment &attachment : qAsConst(attachments))
        request.attachments.append({attachment.name,
                                    QDir::toNativeSeparators(attachment.path.isEmpty() ? reportPath : attachment.path),
                                    attachment.payload.size()});
    if (m_hostProcess.startedAt.isValid() && m_context.hostGoneAt.isValid())
        request.hostRanSeconds = m_hostProcess.startedAt.msecsTo(m_context.hostGoneAt) / 1000.0;
    request.hostExecutable = m_hostProcess.executable;
    request.restartable = m_hostGone && !m_hostProcess.executable.isEmpty(); // not for a sub-process
    request.handlerPid = QCoreApplication::applicationPid();

    if (!m_dialog) {
        m_dialog = new DialogLauncher(this);
        const bool ok = connect(m_dialog, SIGNAL(answered(DialogAnswer)), this, SLOT(onDialogAnswered(DialogAnswer)));
        Q_ASSERT(ok);
        Q_UNUSED(ok);
    }
    if (!m_dialog->ask(request)) {
        m_waitingAsks.append(qMakePair(reportPath, whatQuit)); // one question at a time
        return;
    }
    m_askedReport = reportPath;
    m_askedRestart = request.offersRestart();
    m_journal.append(QStringLiteral("dialogAsked"), {{QStringLiteral("report"), name},
                                                     {QStringLiteral("restartOffered"), m_askedRestart}});
}

void CrashHandler::onDialogAnswered(const DialogAnswer &answer)
{
    const QString reportPath = m_askedReport;
    m_journal.append(QStringLiteral("dialogAnswer"), {
        {QStringLiteral("report"), QFileInfo(reportPath).fileName()},
        {QStringLiteral("answer"), DialogAnswer::choiceName(answer.answer)},
        {QStringLiteral("elapsedMs"), double(answer.elapsedMs)},
        {QStringLiteral("reason"), answer.reason},
        {QStringLiteral("commentChars"), answer.comment.size()}, // the words themselves only go to the server
        {QStringLiteral("emailGiven"), !answer.email.isEmpty()},
        {QStringLiteral("alwaysSend"), answer.alwaysSend},
        {QStringLiteral("restart"), answer.restart},
    });
    if (answer.answer == DialogAnswer::Send) {
        Delivery::Feedback feedback;
        feedback.email = answer.email;
        feedback.comments = answer.comment;
        m_delivery->userAnswered(reportPath, true, feedback);
        QString error;
        if (answer.alwaysSend && !ConsentMemory::setAlwaysSend(m_args.appName, true, &error))
            m_journal.append(QStringLiteral("consentNotRemembered"), {{QStringLiteral("error"), error}});
    } else if (answer.answer == DialogAnswer::Decline) {
        m_delivery->userAnswered(reportPath, false);
    } else {
        m_delivery->noAnswer(reportPath, answer.reason);
    }
    if (answer.restart && m_askedRestart)
        restartHost();
    if (!m_waitingAsks.isEmpty()) {
        const QPair<QString, QString> next = m_waitingAsks.takeFirst();
        askUser(next.first, next.second);
    }
    if (m_finished && !(m_late && m_late->busy()))
        finishDelivery(); // the handler waited for the answer; now only for what is due
}

void CrashHandler::restartHost()
{
    QString error;
    QString note;
    const qint64 pid = HostRestart::start(m_hostProcess.executable, m_hostProcess.commandLine.mid(1),
                                          m_hostProcess.workingFolder, &error, &note);
    if (pid < 0) {
        m_journal.append(QStringLiteral("hostRestartFailed"), {{QStringLiteral("reason"), error}});
        return;
    }
    QJsonObject line {{QStringLiteral("pid"), double(pid)}};
    if (m_hostProcess.commandLine.isEmpty())
        note += (note.isEmpty() ? QString() : QStringLiteral("; ")) + QStringLiteral("the host's arguments are not known; started without");
    if (!note.isEmpty())
        line.insert(QStringLiteral("note"), note);
    m_journal.append(QStringLiteral("hostRestarted"), line);
}
