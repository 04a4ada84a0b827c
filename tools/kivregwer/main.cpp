// KivRegWER.exe <json-array>
//
// The library starts this tool, detached, when the local-dump settings of the host or of one of its
// sub-processes differ from what the host wants. The one argument is a compact JSON array of entries
//   {"m_appName":"app.exe","m_count":10,"m_dmpPath":"C:\\dumps","m_type":2}
// and for each entry the tool sets DumpFolder, DumpCount and DumpType of that executable. Nobody
// reads its output: the next start of the host checks the settings again.
//
// Exit codes: 0 every entry written; 1 some entries skipped (reason written); 2 the argument is
// missing or not a JSON array. Where there is no registry the settings are INI files in the user's
// settings folder ($XDG_CONFIG_HOME/Microsoft/Windows/Windows Error Reporting/LocalDumps/<exe>.ini),
// or in $OSTREL_WER_SETTINGS_DIR when that is set; the tool then writes nothing on its standard
// streams and its lines go to KivRegWER.log in the same folder. With the registry they go to
// KivRegWER\KivRegWER.log below the user's local application data folder.
//
// On Windows the values live below HKEY_LOCAL_MACHINE, which takes administrator rights: without
// them the tool runs itself once more through the elevation prompt (with --elevated before the
// argument) and ends with that run's exit code; when the prompt is refused, or the elevated run
// still lacks the rights, it logs why and ends with 3, nothing written. It never asks twice.

#include "elevation.h"
#include "localdumpregistrar.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const LocalDumpRegistrar registrar(qEnvironmentVariable("OSTREL_WER_SETTINGS_DIR"));
    registrar.redirectOutputToLog();

    QStringList arguments = QCoreApplication::arguments();
    const bool elevated = arguments.size() == 3 && arguments.at(1) == elevatedOption();
    if (elevated)
        arguments.removeAt(1);
    QJsonDocument document;
    if (arguments.size() == 2) {
        QJsonParseError parseError;
        document = QJsonDocument::fromJson(arguments.at(1).toUtf8(), &parseError);
        if (parseError.error != QJsonParseError::NoError)
            document = QJsonDocument();
    }
    if (!document.isArray()) {
        std::fprintf(stderr, "usage: KivRegWER.exe '[{\"m_appName\":...,\"m_count\":...,\"m_dmpPath\":...,\"m_type\":...},...]'\n");
        return 2;
    }

    if (!registrar.canWrite()) {
        if (elevated) {
            std::fprintf(stderr, "KivRegWER: no right to write the local-dump settings, also when elevated; nothing written\n");
            return 3;
        }
        std::fprintf(stderr, "KivRegWER: no right to write the local-dump settings; asking for administrator rights\n");
        std::fflush(stderr);
        QString error;
        const int exitCode = runElevated(arguments.at(1), &error);
        if (exitCode < 0) {
            std::fprintf(stderr, "KivRegWER: %s\n", qPrintable(error));
            return 3;
        }
        std::fprintf(stderr, "KivRegWER: the elevated run ended with exit code %d\n", exitCode);
        return exitCode;
    }

    const QJsonArray entries = document.array();
    int skipped = 0;
    for (int i = 0; i < entries.size(); ++i) {
        QString error;
        if (!registrar.registerEntry(entries.at(i), &error)) {
            ++skipped;
            std::fprintf(stderr, "KivRegWER: entry %d skipped: %s\n", i, qPrintable(error));
        }
    }
    return skipped == 0 ? 0 : 1;
}
