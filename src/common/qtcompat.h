#ifndef OSTREL_QTCOMPAT_H
#define OSTREL_QTCOMPAT_H

// The few places where Qt 5.15 and Qt 6 differ for this code, so that the library and the programs
// (crash handler, registration tool, crash dialog) behave and print the same on both. Header-only; nothing else tests the
// Qt version. The logged signatures need nothing: Q_FUNC_INFO is the compiler's pretty function name
// under both, which keeps type names as written (const QStringList&, not Qt 6's QList<QString>).

#include <QByteArray>
#include <QCoreApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QStringDecoder>
#else
#include <QTextCodec>
#endif

namespace QtCompat {

// Makes `stream` write UTF-8 (Qt 5 would otherwise use the locale's codec).
inline void setUtf8(QTextStream &stream)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    stream.setEncoding(QStringConverter::Utf8);
#else
    static QTextCodec *const utf8 = QTextCodec::codecForMib(106);
    stream.setCodec(utf8);
#endif
}

// Text up to the first NUL byte, as Qt 5's QString::fromUtf8(QByteArray) and fromLocal8Bit(QByteArray)
// give it; Qt 6's convert NULs and all that follows.
inline QString fromUtf8UpToNul(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}
inline QString fromLocal8BitUpToNul(const QByteArray &bytes)
{
    return QString::fromLocal8Bit(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

// Whether `bytes` are well-formed UTF-8 through to their end (a sequence cut at the end is not).
inline bool isValidUtf8(const QByteArray &bytes)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    Q_UNUSED(text)
    return !decoder.hasError();
#else
    QTextCodec::ConverterState state;
    QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
#endif
}

// Whether Qt's converters know the encoding `name`: Qt 5's codecs know many, Qt 6's only UTF-8,
// UTF-16, UTF-32 and Latin-1 (without the Qt5Compat module).
inline bool knowsEncoding(const QByteArray &name)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QStringConverter::encodingForName(name.constData()).has_value();
#else
    return QTextCodec::codecForName(name) != nullptr;
#endif
}

// Whether Qt takes the encoding `name` for UTF-8.
inline bool isUtf8Name(const QByteArray &name)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const auto encoding = QStringConverter::encodingForName(name.constData());
    return encoding && *encoding == QStringConverter::Utf8;
#else
    const QTextCodec *codec = QTextCodec::codecForName(name);
    return codec && codec->mibEnum() == 106;
#endif
}

// A string list in a debug stream as Qt 5 prints it, ("a", "b"); Qt 6 puts "QList" in front.
inline QDebug debugList(QDebug debug, const QStringList &list)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const bool spaces = debug.autoInsertSpaces();
    debug.nospace() << '(';
    for (qsizetype i = 0; i < list.size(); ++i)
        (i ? debug << ", " : debug) << list.at(i);
    debug << ')';
    debug.setAutoInsertSpaces(spaces);
    return debug.maybeSpace();
#else
    return debug << list;
#endif
}

// Where Qt's own translations are installed.
inline QString qtTranslationsPath()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    return QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
}

// High-DPI scaling for a widget program, before its QApplication exists: Qt 6 scales by itself,
// Qt 5 only when asked.
inline void scaleForHighDpi()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
}

// A process that runs `setup` in the child between fork and exec (Qt 6 dropped the virtual hook).
class ChildSetupProcess : public QProcess
{
public:
    explicit ChildSetupProcess(void (*setup)())
        : m_setup(setup)
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        setChildProcessModifier(m_setup);
#endif
    }

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0) && !defined(Q_OS_WIN)
protected:
    void setupChildProcess() override { m_setup(); }
#endif

private:
    void (*const m_setup)();
};

} // namespace QtCompat

#endif // OSTREL_QTCOMPAT_H
