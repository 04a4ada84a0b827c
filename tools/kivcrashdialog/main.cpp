// KivCrashDialog.exe: asks the user what to do with one crash report. The crash handler starts it
//     KivCrashDialog.exe --request <request file> --answer <answer file>
// (the files are described in dialogcontract.h) and reads the answer once it has exited.
// Exit codes: 0 an answer was written (also "none" after the time-out); 2 bad command line;
// 3 the request could not be read (an answer "none" with the reason is written if possible);
// 4 the answer could not be written. Every failure is one line on stderr.

#include "crashdialog.h"
#include "qtcompat.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLocale>
#include <QTranslator>

#include <cstdio>

namespace {

int fail(int code, const QString &reason)
{
    std::fprintf(stderr, "KivCrashDialog: %s\n", qPrintable(reason));
    return code;
}

// English is built in; a translation, where one is installed beside the program, replaces it.
void loadTranslations(QApplication *app)
{
    auto *own = new QTranslator(app);
    if (own->load(QLocale(), QStringLiteral("kivcrashdialog"), QStringLiteral("_"),
                  QCoreApplication::applicationDirPath() + QStringLiteral("/translations")))
        QCoreApplication::installTranslator(own);
    auto *qt = new QTranslator(app);
    if (qt->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                 QtCompat::qtTranslationsPath()))
        QCoreApplication::installTranslator(qt);
}

} // namespace

int main(int argc, char *argv[])
{
    // The command line and the request first: a bad one gets its answer without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    const QCommandLineOption requestOption(QStringLiteral("request"), QString(), QStringLiteral("file"));
    const QCommandLineOption answerOption(QStringLiteral("answer"), QString(), QStringLiteral("file"));
    parser.addOption(requestOption);
    parser.addOption(answerOption);
    const QString usage = QStringLiteral("usage: KivCrashDialog.exe --request <file> --answer <file>");
    if (!parser.parse(arguments))
        return fail(2, parser.errorText() + QLatin1Char(' ') + usage);
    const QString requestPath = parser.value(requestOption);
    const QString answerPath = parser.value(answerOption);
    if (requestPath.isEmpty() || answerPath.isEmpty() || !parser.positionalArguments().isEmpty())
        return fail(2, usage);

    QString error;
    QByteArray json;
    DialogRequest request;
    if (!DialogContract::readFile(requestPath, DialogContract::kMaxRequestBytes, &json, &error)
        || !DialogRequest::fromJson(json, &request, &error)) {
        const QString reason = QStringLiteral("the request could not be read: %1").arg(error);
        DialogAnswer none;
        none.reason = reason;
        if (!DialogContract::writePrivateFile(answerPath, none.toJson(), &error))
            fail(4, error);
        return fail(3, reason);
    }

    QtCompat::scaleForHighDpi();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("KivCrashDialog"));
    QCoreApplication::setOrganizationName(QStringLiteral("Ostrel"));
    loadTranslations(&app);

    CrashDialog dialog(request);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    dialog.exec();

    if (!DialogContract::writePrivateFile(answerPath, dialog.answer().toJson(), &error))
        return fail(4, error);
    return 0;
}
