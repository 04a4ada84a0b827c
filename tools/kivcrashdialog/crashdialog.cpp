#include "crashdialog.h"
#include "hosticon.h"
#include "processstart.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTextOption>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// The name as one line of printable text, cut to its bound and kept apart from the sentence around
// it (a right-to-left name must not reorder an English sentence); empty when there is none.
QString displayName(const QString &appName)
{
    QString name = appName;
    for (QChar &c : name)
        if (!c.isPrint())
            c = QLatin1Char(' ');
    name = name.simplified();
    if (name.isEmpty())
        return name;
    if (name.size() > CrashDialog::kMaxAppNameChars)
        name = name.left(CrashDialog::kMaxAppNameChars - 1) + QChar(0x2026);
    return QChar(0x2068) + name + QChar(0x2069); // first-strong isolate ... pop isolate
}

// In button and check box texts "&" marks the shortcut key: a name's own "&" is doubled.
QString escapeMnemonic(QString text)
{
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

bool looksLikeEmail(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^[^@\\s]+@[^@\\s]+$"));
    return text.size() <= DialogContract::kMaxEmailChars && shape.match(text).hasMatch();
}

// Room for a few lines at first; the user may make the dialog, and with it the box, larger.
class CommentBox : public QPlainTextEdit
{
public:
    using QPlainTextEdit::QPlainTextEdit;
    QSize sizeHint() const override
    {
        const int margins = 2 * (frameWidth() + qRound(document()->documentMargin()));
        return QSize(QPlainTextEdit::sizeHint().width(), fontMetrics().lineSpacing() * 6 + margins);
    }
};

QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText); // names and summaries are never markup
    label->setWordWrap(true);
    return label;
}

} // namespace

CrashDialog::CrashDialog(const DialogRequest &request, QWidget *parent)
    : QDialog(parent)
    , m_timeout(new QTimer(this))
    , m_handlerWatch(new QTimer(this))
    , m_timeoutSeconds(request.timeoutSeconds)
    , m_handlerPid(request.handlerPid)
{
    const QString name = displayName(request.appName);
    const bool named = !name.isEmpty();
    const QString heading = named ? tr("%1 quit unexpectedly").arg(name) : tr("The application quit unexpectedly");
    setWindowTitle(heading);

    const QIcon appIcon = hostIcon(request.hostExecutable);
    if (!appIcon.isNull())
        setWindowIcon(appIcon);
    auto *icon = new QLabel(this);
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap((appIcon.isNull() ? style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this) : appIcon)
                            .pixmap(iconSize, iconSize));
    icon->setAlignment(Qt::AlignTop);

    m_heading = plainLabel(heading, this);
    QFont headingFont = m_heading->font();
    headingFont.setBold(true);
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.25);
    m_heading->setFont(headingFont);

    m_summary = plainLabel(request.summary.isEmpty() ? tr("The report gives no summary of what happened.")
                                                     : request.summary, this);
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_summary->setAccessibleName(tr("Summary"));

    QLabel *explanation = plainLabel(
            named ? tr("You can send a report of this crash to the developers of %1, so that they can find the "
                       "cause. If you don't, the report stays on this computer only.").arg(name)
                  : tr("You can send a report of this crash to the developers of the application, so that they "
                       "can find the cause. If you don't, the report stays on this computer only."),
            this);

    QLabel *commentLabel = plainLabel(tr("&What were you doing?"), this);
    m_comment = new CommentBox(this);
    m_comment->setTabChangesFocus(true);
    // Each paragraph runs in its own script's direction, even in an English dialog.
    QTextOption paragraphs = m_comment->document()->defaultTextOption();
    paragraphs.setTextDirection(Qt::LayoutDirectionAuto);
    m_comment->document()->setDefaultTextOption(paragraphs);
    m_comment->setPlaceholderText(tr("Optional: what you did just before it quit, in your own words."));
    m_comment->setAccessibleName(tr("What were you doing?"));
    m_comment->setMinimumHeight(m_comment->sizeHint().height());
    m_comment->installEventFilter(this);
    commentLabel->setBuddy(m_comment);
    m_commentNote = plainLabel(tr("A comment is kept to %1 characters; the rest was cut.")
                                       .arg(QLocale().toString(DialogContract::kMaxCommentChars)), this);
    m_commentNote->hide();

    QLabel *emailLabel = plainLabel(tr("&E-mail (optional):"), this);
    emailLabel->setWordWrap(false);
    m_email = new QLineEdit(this);
    m_email->setMaxLength(DialogContract::kMaxEmailChars);
    m_email->setPlaceholderText(tr("If the developers may ask you about this crash"));
    m_email->setAccessibleName(tr("E-mail address, optional"));
    emailLabel->setBuddy(m_email);
    m_emailNote = plainLabel(tr("This does not look like an e-mail address. Correct it, or leave the field empty."),
                             this);
    m_emailNote->hide();

    m_alwaysSend = new QCheckBox(named ? tr("&Always send reports for %1").arg(escapeMnemonic(name))
                                       : tr("&Always send reports for this application"), this);
    m_alwaysSend->setAccessibleName(named ? tr("Always send reports for %1").arg(name)
                                          : tr("Always send reports for this application"));
    m_restart = new QCheckBox(named ? tr("&Restart %1").arg(escapeMnemonic(name)) : tr("&Restart the application"),
                              this);
    m_restart->setAccessibleName(named ? tr("Restart %1").arg(name) : tr("Restart the application"));
    // Never offered to a host that crashed soon after it started: a crash loop must not restart itself.
    m_restart->setChecked(request.offersRestart());
    m_restart->setVisible(request.offersRestart());

    m_detailsButton = new QToolButton(this);
    m_detailsButton->setText(tr("&Details"));
    m_detailsButton->setCheckable(true);
    m_detailsButton->setAutoRaise(true);
    m_detailsButton->setArrowType(Qt::RightArrow);
    m_detailsButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_detailsButton->setAccessibleName(tr("Details"));
    m_detailsButton->setAccessibleDescription(tr("Shows exactly what would be sent"));
    m_detailsIntro = plainLabel(tr("This is what would be sent, with your comment and e-mail address:"), this);
    m_detailsIntro->hide();
    m_details = new QPlainTextEdit(this);
    m_details->setReadOnly(true);
    m_details->setTabChangesFocus(true);
    m_details->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_details->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_details->setPlainText(detailsText(request));
    m_details->setAccessibleName(tr("What would be sent"));
    m_details->setMinimumHeight(m_details->fontMetrics().lineSpacing() * 12);
    m_details->hide();

    auto *buttons = new QDialogButtonBox(this);
    m_send = buttons->addButton(tr("&Send"), QDialogButtonBox::AcceptRole);
    m_send->setAccessibleName(tr("Send"));
    m_send->setDefault(true);
    m_decline = buttons->addButton(tr("Do&n't send"), QDialogButtonBox::RejectRole);
    m_decline->setAccessibleName(tr("Don't send"));

    auto *top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    auto *words = new QVBoxLayout;
    words->addWidget(m_heading);
    words->addWidget(m_summary);
    words->addSpacing(fontMetrics().lineSpacing() / 2);
    words->addWidget(explanation);
    top->addLayout(words, 1);
    auto *emailRow = new QHBoxLayout;
    emailRow->addWidget(emailLabel);
    emailRow->addWidget(m_email, 1);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(commentLabel);
    layout->addWidget(m_comment, 1);
    layout->addWidget(m_commentNote);
    layout->addLayout(emailRow);
    layout->addWidget(m_emailNote);
    layout->addWidget(m_alwaysSend);
    layout->addWidget(m_restart);
    layout->addWidget(m_detailsButton, 0, Qt::AlignLeft);
    layout->addWidget(m_detailsIntro);
    layout->addWidget(m_details, 2);
    layout->addWidget(buttons);
    setMinimumWidth(fontMetrics().averageCharWidth() * 76);

    setTabOrder(m_comment, m_email);
    setTabOrder(m_email, m_alwaysSend);
    setTabOrder(m_alwaysSend, m_restart);
    setTabOrder(m_restart, m_detailsButton);
    setTabOrder(m_detailsButton, m_details);
    setTabOrder(m_details, m_send);
    setTabOrder(m_send, m_decline);
    m_comment->setFocus();

    m_timeout->setSingleShot(true);
    m_timeout->setTimerType(Qt::PreciseTimer); // a coarse timer may end "after N s" a little before N s
    const bool ok = connect(buttons, SIGNAL(accepted()), this, SLOT(accept()))
            && connect(buttons, SIGNAL(rejected()), this, SLOT(reject()))
            && connect(m_detailsButton, SIGNAL(toggled(bool)), this, SLOT(onDetailsToggled(bool)))
            && connect(m_comment, SIGNAL(textChanged()), this, SLOT(onCommentChanged()))
            && connect(m_email, SIGNAL(textEdited(QString)), m_emailNote, SLOT(hide()))
            && connect(m_timeout, SIGNAL(timeout()), this, SLOT(onTimeout()))
            && connect(m_handlerWatch, SIGNAL(timeout()), this, SLOT(onHandlerCheck()));
    Q_ASSERT(ok);
    Q_UNUSED(ok);
    m_timeout->start(m_timeoutSeconds * 1000);
    m_elapsed.start();
    if (m_handlerPid > 0) {
        const ProcessStart handler = processStart(m_handlerPid);
        m_handlerStartMsecs = handler.state == ProcessStart::Running ? handler.startMsecs : -1;
        m_handlerWatch->start(handler.state == ProcessStart::NotRunning ? 0 : kHandlerCheckMs);
    }
}

void CrashDialog::accept()
{
    const QString email = m_email->text().trimmed();
    if (!email.isEmpty() && !looksLikeEmail(email)) {
        m_emailNote->show();
        m_email->setFocus();
        m_email->selectAll();
        return;
    }
    finish(DialogAnswer::Send);
}

void CrashDialog::reject()
{
    finish(DialogAnswer::Decline);
}

bool CrashDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_comment && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && (key->modifiers() & Qt::ControlModifier)) {
            accept();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CrashDialog::onTimeout()
{
    finish(DialogAnswer::None, QStringLiteral("closed after %1 s without an answer").arg(m_timeoutSeconds));
}

// A handler that has ended (or whose pid now names another process) reads no answer: the dialog
// closes rather than ask for nothing. A system that cannot say keeps it open.
void CrashDialog::onHandlerCheck()
{
    m_handlerWatch->setInterval(kHandlerCheckMs);
    const ProcessStart handler = processStart(m_handlerPid);
    const bool gone = handler.state == ProcessStart::NotRunning
            || (handler.state == ProcessStart::Running && m_handlerStartMsecs >= 0
                && qAbs(handler.startMsecs - m_handlerStartMsecs) > kProcessStartSlackMs);
    if (gone)
        finish(DialogAnswer::None, QStringLiteral("the crash handler that asked has ended"));
}

void CrashDialog::onDetailsToggled(bool open)
{
    // Grow to show the details, and give the room back when they close.
    if (open)
        m_heightWithoutDetails = height();
    m_detailsButton->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    m_detailsIntro->setVisible(open);
    m_details->setVisible(open);
    layout()->activate();
    resize(width(), open ? qMax(height(), sizeHint().height()) : m_heightWithoutDetails);
}

void CrashDialog::onCommentChanged()
{
    const QString text = m_comment->toPlainText();
    // The comment stands on the side its script starts from: a Hebrew one at the right.
    QTextOption option = m_comment->document()->defaultTextOption();
    const Qt::Alignment side = text.isRightToLeft() ? Qt::AlignRight : Qt::AlignLeft;
    if (option.alignment() != side) {
        option.setAlignment(side);
        m_comment->document()->setDefaultTextOption(option);
    }
    if (text.size() <= DialogContract::kMaxCommentChars)
        return;
    m_comment->setPlainText(text.left(DialogContract::kMaxCommentChars)); // calls this once more, within bounds
    m_comment->moveCursor(QTextCursor::End);
    m_commentNote->show();
}

QString CrashDialog::detailsText(const DialogRequest &request) const
{
    QStringList lines;
    if (request.details.isEmpty()) {
        lines << tr("(The report has no readable text.)");
    } else if (request.details.size() > kMaxDetailsChars) {
        lines << request.details.left(kMaxDetailsChars)
              << tr("[Cut here for display: %1 more characters are in the local report.]")
                         .arg(QLocale().toString(request.details.size() - kMaxDetailsChars));
    } else {
        lines << request.details;
    }
    lines << QString() << tr("Attachments:");
    if (request.attachments.isEmpty())
        lines << tr("  none");
    for (const DialogAttachment &a : request.attachments) {
        const QString size = a.bytes >= 0 ? QLocale().formattedDataSize(a.bytes) : tr("size unknown");
        lines << tr("  %1 (%2)").arg(a.name.isEmpty() ? a.path : a.name, size);
    }
    lines << QString()
          << (request.reportPath.isEmpty() ? tr("Local report: none") : tr("Local report: %1").arg(request.reportPath));
    return lines.join(QLatin1Char('\n'));
}

void CrashDialog::finish(DialogAnswer::Choice choice, const QString &reason)
{
    m_timeout->stop();
    m_handlerWatch->stop();
    DialogAnswer answer;
    answer.answer = choice;
    answer.elapsedMs = m_elapsed.elapsed();
    answer.reason = reason;
    if (choice != DialogAnswer::None) {
        answer.comment = m_comment->toPlainText().left(DialogContract::kMaxCommentChars);
        answer.email = m_email->text().trimmed();
        answer.alwaysSend = choice == DialogAnswer::Send && m_alwaysSend->isChecked();
        answer.restart = !m_restart->isHidden() && m_restart->isChecked();
    }
    m_answer = answer;
    QDialog::done(choice == DialogAnswer::Send ? QDialog::Accepted : QDialog::Rejected);
}
