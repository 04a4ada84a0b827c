#include "report/crashsignature.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringView>

namespace CrashSignature {

namespace {

QString baseName(const QString &path)
{
    const int slash = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(slash + 1);
}

// Functions that only carry a crash on: a signal raised on purpose, an assertion, a fatal message.
bool isAbortMachinery(const QString &function)
{
    static const QStringList names {
        QStringLiteral("raise"), QStringLiteral("abort"), QStringLiteral("__GI_raise"), QStringLiteral("__GI_abort"),
        QStringLiteral("pthread_kill"), QStringLiteral("__pthread_kill_implementation"), QStringLiteral("__pthread_kill_internal"),
        QStringLiteral("__assert_fail"), QStringLiteral("__assert_fail_base"), QStringLiteral("__assert_perror_fail"),
        QStringLiteral("_assert"), QStringLiteral("_wassert"), QStringLiteral("__libc_message"), QStringLiteral("__fortify_fail"),
        QStringLiteral("__chk_fail"), QStringLiteral("__stack_chk_fail"), QStringLiteral("qt_assert"), QStringLiteral("qt_assert_x"),
        QStringLiteral("qFatal"), QStringLiteral("qt_message_fatal"), QStringLiteral("QMessageLogger::fatal"),
        QStringLiteral("std::terminate"), QStringLiteral("__cxxabiv1::__terminate"),
        QStringLiteral("__gnu_cxx::__verbose_terminate_handler"), QStringLiteral("RaiseException"),
    };
    return names.contains(normalisedFunction(function));
}

// The matching closing bracket of the one at `from`, or -1.
int closing(const QString &text, int from, QChar open, QChar close)
{
    int depth = 0;
    for (int i = from; i < text.size(); ++i) {
        if (text.at(i) == open)
            ++depth;
        else if (text.at(i) == close && --depth == 0)
            return i;
    }
    return -1;
}

bool startsAt(const QString &text, int i, QLatin1String word)
{
    return QStringView(text).mid(i).startsWith(word);
}

bool startsOperator(const QString &text, int i)
{
    return startsAt(text, i, QLatin1String("operator"))
            && (i == 0 || !(text.at(i - 1).isLetterOrNumber() || text.at(i - 1) == QLatin1Char('_')))
            && (i + 8 == text.size() || !(text.at(i + 8).isLetterOrNumber() || text.at(i + 8) == QLatin1Char('_')));
}

} // namespace

bool isSystemModule(const QString &path, const QString &executable)
{
    const QString name = baseName(path);
    if (name.isEmpty() || (!executable.isEmpty() && name == baseName(executable)))
        return false;
    static const QRegularExpression runtimes(
            QStringLiteral("^(ld-linux.*|lib(c|m|dl|rt|pthread|stdc\\+\\+|gcc_s)\\.so.*|libQt[56].*|Qt[56].*\\.dll|ntdll\\.dll|"
                           "kernel32\\.dll|kernelbase\\.dll|ucrtbase\\.dll|msvcrt\\.dll|vcruntime.*\\.dll|msvcp.*\\.dll|"
                           "libstdc\\+\\+-6\\.dll|libgcc_s_.*\\.dll|libwinpthread-1\\.dll|linux-vdso.*|\\[vdso.*)$"),
            QRegularExpression::CaseInsensitiveOption);
    if (runtimes.match(name).hasMatch())
        return true;
    // Beside the program or below its folder: the application's, wherever it is installed.
    const QString folder = executable.left(executable.size() - baseName(executable).size());
    if (!folder.isEmpty() && path.startsWith(folder))
        return false;
    return path.startsWith(QLatin1String("/lib")) || path.startsWith(QLatin1String("/usr/lib"))
            || path.contains(QLatin1String(":\\windows\\"), Qt::CaseInsensitive);
}

int siteIndex(const QJsonArray &frames, const QJsonArray &modules, const QString &executable)
{
    QHash<QString, QString> paths; // a frame's module name -> the module's file
    for (const QJsonValue &m : modules) {
        const QString name = m[QLatin1String("name")].toString();
        const QString file = m[QLatin1String("file")].toString();
        paths.insert(baseName(name), file.isEmpty() ? name : file);
    }
    int named = -1;
    for (int i = 0; i < frames.size(); ++i) {
        const QJsonObject f = frames.at(i).toObject();
        const QString module = f.value(QLatin1String("module")).toString();
        if (!module.isEmpty() && !isSystemModule(paths.value(module, module), executable))
            return i;
        if (named < 0 && f.contains(QLatin1String("function")) && !isAbortMachinery(f.value(QLatin1String("function")).toString()))
            named = i;
    }
    return frames.isEmpty() ? -1 : qMax(named, 0);
}

QString frameText(const QJsonObject &f)
{
    const QString module = f.value(QLatin1String("module")).toString();
    if (f.contains(QLatin1String("function")) && f.contains(QLatin1String("file")))
        return QStringLiteral("%1 %2:%3").arg(f.value(QLatin1String("function")).toString(), f.value(QLatin1String("file")).toString())
                .arg(f.value(QLatin1String("line")).toInt());
    if (f.contains(QLatin1String("function")))
        return f.value(QLatin1String("function")).toString() + (module.isEmpty() ? QString() : QStringLiteral(" in ") + module);
    if (!module.isEmpty() && f.contains(QLatin1String("offset")))
        return module + QLatin1Char('+') + f.value(QLatin1String("offset")).toString();
    return f.value(QLatin1String("pc")).toString() + (module.isEmpty() ? QString() : QStringLiteral(" in ") + module);
}

QString normalisedFunction(const QString &name)
{
    static const QRegularExpression clones(QStringLiteral(" ?\\[clone [^\\]]*\\]|\\[abi:[^\\]]*\\]"));
    static const QRegularExpression suffixes(QStringLiteral("(\\.(cold|part|isra|constprop|lto_priv|localalias)(\\.\\d+)?)+$"));
    static const QRegularExpression anonymous(QStringLiteral("\\(anonymous namespace\\)::|`anonymous namespace'::"));
    static const QRegularExpression lambda(QStringLiteral("\\{lambda\\([^{}]*\\)#(\\d+)\\}"));
    QString text = name.trimmed();
    text.remove(clones).remove(suffixes).remove(anonymous).replace(lambda, QStringLiteral("{lambda#\\1}"));

    // Template arguments folded; a parameter list followed by "::" is a scope's (a local class or
    // lambda) and goes; the last one is the function's, and it ends the name.
    QString out;
    int operatorAt = -1;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (startsOperator(text, i)) {
            operatorAt = out.size();
            out += QLatin1String("operator");
            i += 8;
            if (startsAt(text, i, QLatin1String("()"))) {
                out += QLatin1String("()");
                i += 2;
            }
            for (; i < text.size() && text.at(i) != QLatin1Char('('); ++i)
                out += text.at(i);
            --i;
        } else if (c == QLatin1Char('{')) {
            const int end = closing(text, i, QLatin1Char('{'), QLatin1Char('}'));
            if (end < 0)
                break;
            out += text.mid(i, end - i + 1);
            i = end;
        } else if (c == QLatin1Char('<')) {
            const int end = closing(text, i, QLatin1Char('<'), QLatin1Char('>'));
            if (end < 0)
                break;
            out += QLatin1String("<>");
            i = end;
        } else if (c == QLatin1Char('(')) {
            const int end = closing(text, i, QLatin1Char('('), QLatin1Char(')'));
            if (end < 0 || !startsAt(text, end + 1, QLatin1String("::")))
                break;
            i = end;
        } else {
            out += c;
        }
    }
    // The return type: whatever stands before the last space outside braces (and before an
    // operator's name, which may hold one: "operator new").
    int cut = -1;
    int depth = 0;
    for (int i = 0; i < (operatorAt < 0 ? out.size() : operatorAt); ++i) {
        if (out.at(i) == QLatin1Char('{'))
            ++depth;
        else if (out.at(i) == QLatin1Char('}'))
            --depth;
        else if (out.at(i) == QLatin1Char(' ') && depth == 0)
            cut = i;
    }
    return out.mid(cut + 1).trimmed();
}

Signature compute(const QJsonArray &frames, const QJsonArray &modules, const QString &executable)
{
    Signature signature;
    const int site = siteIndex(frames, modules, executable);
    for (int i = qMax(site, 0); site >= 0 && i < frames.size() && signature.frames.size() < kFrames; ++i) {
        const QJsonObject f = frames.at(i).toObject();
        QString text = normalisedFunction(f.value(QLatin1String("function")).toString());
        if (text.isEmpty()) {
            const QString module = f.value(QLatin1String("module")).toString();
            text = module.isEmpty() || !f.contains(QLatin1String("offset"))
                    ? f.value(QLatin1String("pc")).toString()
                    : module + QLatin1Char('+') + f.value(QLatin1String("offset")).toString();
        }
        signature.frames.append(text);
        if (text == QLatin1String("main"))
            break;
    }
    signature.text = signature.frames.join(QLatin1String(" | "));
    return signature;
}

} // namespace CrashSignature
