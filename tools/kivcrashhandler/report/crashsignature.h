#ifndef KIVCRASHHANDLER_CRASHSIGNATURE_H
#define KIVCRASHHANDLER_CRASHSIGNATURE_H

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Where a crash happened and what it is "the same crash as", read from the crashing thread's
// frames (innermost first, as the report holds them: {"pc", "module"?, "offset"?, "function"?,
// "file"?, "line"?, "inlined"?}) and the report's module list. Knows no dump format, so the report
// tools read reports with it too.
//
// The crash site is the innermost frame of the application's own code: the first frame whose module
// is not the system's (isSystemModule). Only when no frame is the application's, it is the first
// named frame past the C library's abort and assert machinery, else the first frame.
//
// The signature groups reports of the same bug: the crash site and the frames below it, at most
// kFrames and none below `main`, each its function name normalised (normalisedFunction), or
// "module+offset" for a frame without a name (and its pc for one without a module), joined by " | ".
namespace CrashSignature {

constexpr int kFrames = 4;

// The system's code rather than the application's: by its file name the C and C++ runtimes, the
// dynamic loader, the vdso and Qt, wherever they lie; else a module under /lib or /usr/lib (any
// /lib*, /usr/lib* folder) or in the Windows folder, unless it lies in the folder of `executable`
// (the crashed process's own program, which never is the system's) or below it.
bool isSystemModule(const QString &path, const QString &executable = QString());

// The index of the crash site in `frames`, -1 when there are none.
int siteIndex(const QJsonArray &frames, const QJsonArray &modules, const QString &executable = QString());

// How the summary line names a frame: "f() file.cpp:42", "f() in module", "module+0x1a2b", or its pc.
QString frameText(const QJsonObject &frame);

// A function's name without what varies between builds of the same code: parameters, return type,
// qualifiers, template arguments (folded to "<>"), anonymous namespaces, lambda parameters
// ("{lambda#1}"), ABI tags and the compiler's clone suffixes (".cold", " [clone .isra.0]").
//   "void std::vector<int>::push_back(int const&) [clone .cold]"  ->  "std::vector<>::push_back"
QString normalisedFunction(const QString &name);

struct Signature
{
    QString text;       // "f | g | main"
    QStringList frames; // "f", "g", "main"
};
Signature compute(const QJsonArray &frames, const QJsonArray &modules, const QString &executable = QString());

} // namespace CrashSignature

#endif // KIVCRASHHANDLER_CRASHSIGNATURE_H
