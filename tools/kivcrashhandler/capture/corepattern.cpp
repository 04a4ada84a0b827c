#include "capture/corepattern.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QVector>

namespace {

const QString kNumber = QStringLiteral("[0-9]+");

// Text matched literally. Every character but an ASCII letter or digit is written as \x{...}:
// QRegularExpression::escape writes NUL as "\0", which a following digit turns into another
// octal escape.
QString literal(const QString &text)
{
    QString out;
    const QVector<uint> codePoints = text.toUcs4(); // a pair of surrogates is one character
    for (const uint c : codePoints) {
        if (c < 0x80 && QChar(c).isLetterOrNumber())
            out += QChar(c);
        else
            out += QStringLiteral("\\x{%1}").arg(c, 0, 16);
    }
    return out;
}

// The kernel writes '/' inside an expanded value as '!' so that it cannot make a new folder.
QString valueText(QString value)
{
    return value.replace(QLatin1Char('/'), QLatin1Char('!'));
}

} // namespace

CorePattern CorePattern::parse(const QString &pattern, bool usesPid, const Process &process)
{
    CorePattern result;
    const QString trimmed = pattern.trimmed();
    if (trimmed.isEmpty()) {
        result.error = QStringLiteral("the core pattern is empty: the kernel writes no core");
        return result;
    }
    if (trimmed.startsWith(QLatin1Char('|'))) {
        result.pipe = true;
        const QString program = trimmed.mid(1).trimmed().section(QLatin1Char(' '), 0, 0);
        result.collector = QFileInfo(program).fileName();
        result.error = QStringLiteral("cores go to the collector program %1, not to a file").arg(program);
        return result;
    }

    // Expand into a regular expression, one path part at a time; a part holding a wildcard may
    // only be the last one.
    QStringList parts {QString()}; // regular expressions, one per path part
    QStringList plain {QString()}; // the same parts as text (meaningful while no wildcard is in)
    bool wild = false;
    bool hasPid = false;
    const QString limit = process.coreLimit < 0 ? QStringLiteral("18446744073709551615") : QString::number(process.coreLimit);
    for (int i = 0; i < trimmed.size(); ++i) {
        const QChar c = trimmed.at(i);
        if (c == QLatin1Char('/')) {
            if (wild) {
                result.error = QStringLiteral("the core pattern %1 puts a value the handler cannot know into a folder name").arg(trimmed);
                return result;
            }
            parts.append(QString());
            plain.append(QString());
            continue;
        }
        if (c != QLatin1Char('%')) {
            // A run of plain characters at once, so that a surrogate pair stays one character.
            int end = i + 1;
            while (end < trimmed.size() && trimmed.at(end) != QLatin1Char('%') && trimmed.at(end) != QLatin1Char('/'))
                ++end;
            parts.last() += literal(trimmed.mid(i, end - i));
            plain.last() += trimmed.mid(i, end - i);
            i = end - 1;
            continue;
        }
        if (++i >= trimmed.size())
            break; // a lone '%' at the end expands to nothing
        QString value;
        bool isWild = false;
        switch (trimmed.at(i).toLatin1()) {
        case '%': value = QStringLiteral("%"); break;
        case 'p': case 'P': value = QString::number(process.pid); hasPid = true; break;
        case 'u': value = QString::number(process.uid); break;
        case 'g': value = QString::number(process.gid); break;
        case 'h': value = process.hostname; break;
        case 'f': value = QFileInfo(process.executable).fileName(); break;
        case 'E': value = process.executable; break;
        case 'c': value = limit; break;
        case 's':
            if (process.signal > 0)
                value = QString::number(process.signal);
            else
                isWild = true;
            break;
        case 'i': case 'I': case 't': case 'd': case 'C': case 'F':
            isWild = true;
            break;
        case 'e':
            // The dumping thread's name (its comm), which may be any thread's.
            parts.last() += QStringLiteral("[^/]{0,15}");
            wild = true;
            continue;
        default:
            continue; // the kernel drops an unknown specifier
        }
        if (isWild) {
            parts.last() += kNumber;
            wild = true;
        } else {
            parts.last() += literal(valueText(value));
            plain.last() += valueText(value);
        }
    }
    if (usesPid && !hasPid)
        parts.last() += literal(QStringLiteral(".")) + QString::number(process.pid);
    if (parts.last().isEmpty()) {
        result.error = QStringLiteral("the core pattern %1 names a folder, not a file").arg(trimmed);
        return result;
    }

    const QString folder = QStringList(plain.mid(0, plain.size() - 1)).join(QLatin1Char('/'));
    const bool absolute = trimmed.startsWith(QLatin1Char('/'));
    if (absolute) {
        result.folder = QDir::cleanPath(QLatin1Char('/') + folder);
    } else {
        if (process.workingFolder.isEmpty()) {
            result.error = QStringLiteral("the core pattern %1 is relative and the process's working folder is not known").arg(trimmed);
            return result;
        }
        result.folder = QDir::cleanPath(process.workingFolder + QLatin1Char('/') + folder);
    }
    result.fileName.setPattern(QRegularExpression::anchoredPattern(parts.last()));
    return result;
}
