#ifndef KIVCRASHDIALOG_CRASHDIALOG_H
#define KIVCRASHDIALOG_CRASHDIALOG_H

#include "dialogcontract.h"

#include <QDialog>
#include <QElapsedTimer>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QToolButton;

// What the user sees after a crash: what quit, one line on why, a comment box, an optional e-mail
// address, the details of what would be sent, and two choices. It only answers: sending is the
// handler's business, so no word here says that anything was sent.
//
// Keys: Send is the default button (Enter sends, Ctrl+Enter also from inside the comment box),
// Escape and the window's close button decline. Left open, it closes itself after the request's
// time-out with the answer "none".
class CrashDialog : public QDialog
{
    Q_OBJECT

public:
    // Longer application names are cut in what the dialog shows.
    static constexpr int kMaxAppNameChars = 80;
    // The details show at most this much of the readable text, and say so when they cut it.
    static constexpr int kMaxDetailsChars = 512 * 1024;
    // How often the dialog looks whether the handler that asked still runs.
    static constexpr int kHandlerCheckMs = 1000;

    explicit CrashDialog(const DialogRequest &request, QWidget *parent = nullptr);

    // The answer once the dialog has finished; "none" before.
    DialogAnswer answer() const { return m_answer; }

public slots:
    void accept() override;
    void reject() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void onTimeout();
    void onHandlerCheck();
    void onDetailsToggled(bool open);
    void onCommentChanged();

private:
    QString detailsText(const DialogRequest &request) const;
    void finish(DialogAnswer::Choice choice, const QString &reason = QString());

    QLabel *m_heading = nullptr;
    QLabel *m_summary = nullptr;
    QPlainTextEdit *m_comment = nullptr;
    QLabel *m_commentNote = nullptr;
    QLineEdit *m_email = nullptr;
    QLabel *m_emailNote = nullptr;
    QCheckBox *m_alwaysSend = nullptr;
    QCheckBox *m_restart = nullptr;
    QToolButton *m_detailsButton = nullptr;
    QLabel *m_detailsIntro = nullptr;
    QPlainTextEdit *m_details = nullptr;
    QPushButton *m_send = nullptr;
    QPushButton *m_decline = nullptr;
    QTimer *m_timeout = nullptr;
    QTimer *m_handlerWatch = nullptr;
    QElapsedTimer m_elapsed;
    int m_timeoutSeconds = 0;
    qint64 m_handlerPid = 0;
    qint64 m_handlerStartMsecs = -1;
    int m_heightWithoutDetails = 0;
    DialogAnswer m_answer;

    Q_DISABLE_COPY(CrashDialog)
};

#endif // KIVCRASHDIALOG_CRASHDIALOG_H
