// The Windows reader: the minidump that Windows Error Reporting writes, through the portable
// minidump reader; then the crashing thread's stack walked and its frames named by dbghelp, from
// the dump's memory and the modules' image files where they still are.

#include "capture/dumpreader.h"
#include "capture/minidump.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>

#include <windows.h>
#include <dbghelp.h>

#include <cstring>
#include <cxxabi.h>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace DumpReader {

namespace {

// The file mapped, not read: a full dump holds the process's whole memory, of which only the
// streams are looked at.
QByteArray mapped(QFile *file, QString *error)
{
    if (!file->open(QIODevice::ReadOnly)) {
        *error = file->errorString();
        return QByteArray();
    }
    const qint64 size = file->size();
    if (size <= 0)
        return QByteArray();
    uchar *data = file->map(0, qMin<qint64>(size, std::numeric_limits<int>::max()));
    if (!data) {
        *error = file->errorString();
        return QByteArray();
    }
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(qMin<qint64>(size, std::numeric_limits<int>::max())));
}

QString hex(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

QString demangled(const QString &name)
{
    if (!name.startsWith(QLatin1String("_Z")))
        return name;
    int status = 0;
    char *text = abi::__cxa_demangle(name.toLatin1().constData(), nullptr, nullptr, &status);
    const QString result = status == 0 && text ? QString::fromLatin1(text) : name;
    std::free(text);
    return result;
}

// A module's image file, mapped as a file, its bytes found by RVA through its section table.
struct Image
{
    quint64 base = 0;
    quint64 size = 0;
    QString name;
    QString path;
    std::unique_ptr<QFile> file;
    uchar *data = nullptr;
    qint64 length = 0;
    PIMAGE_NT_HEADERS headers = nullptr;
};

// What the stack walker reads, from the dump's memory first, then from the images.
struct Memory
{
    const QByteArray *dump = nullptr;
    const std::vector<Minidump::MemoryRange> *ranges = nullptr;
    std::vector<Image> *images = nullptr;
};

Memory s_memory; // the walker's callbacks carry no context of their own; one walk at a time

bool fromDump(quint64 address, void *buffer, quint64 size)
{
    for (const Minidump::MemoryRange &r : *s_memory.ranges) {
        if (address >= r.address && address - r.address <= r.size && size <= r.size - (address - r.address)) {
            std::memcpy(buffer, s_memory.dump->constData() + r.offset + (address - r.address), size_t(size));
            return true;
        }
    }
    return false;
}

bool fromImage(quint64 address, void *buffer, quint64 size)
{
    for (const Image &image : *s_memory.images) {
        if (!image.headers || address < image.base || address - image.base >= image.size || size > image.size)
            continue;
        const quint64 rva = address - image.base;
        if (rva + size > image.size)
            return false;
        const uchar *first = nullptr;
        if (rva + size <= image.headers->OptionalHeader.SizeOfHeaders) {
            first = image.data + rva;
        } else {
            first = static_cast<const uchar *>(ImageRvaToVa(image.headers, image.data, ULONG(rva), nullptr));
            const auto *last = static_cast<const uchar *>(ImageRvaToVa(image.headers, image.data, ULONG(rva + size - 1), nullptr));
            if (!first || last != first + (size - 1)) // not within one section's file bytes
                return false;
        }
        if (first < image.data || quint64(first - image.data) + size > quint64(image.length))
            return false;
        std::memcpy(buffer, first, size_t(size));
        return true;
    }
    return false;
}

BOOL CALLBACK readMemory(HANDLE, DWORD64 address, PVOID buffer, DWORD size, LPDWORD done)
{
    const bool ok = size > 0 && (fromDump(address, buffer, size) || fromImage(address, buffer, size));
    if (done)
        *done = ok ? size : 0;
    return ok;
}

QJsonObject describeFrame(HANDLE process, const std::vector<Image> &images, quint64 pc, bool first)
{
    QJsonObject frame {{QStringLiteral("pc"), hex(pc)}};
    for (const Image &image : images) {
        if (pc >= image.base && pc - image.base < image.size) {
            frame.insert(QStringLiteral("module"), image.name);
            frame.insert(QStringLiteral("offset"), hex(pc - image.base));
            break;
        }
    }
    // A return address points after the call; look up the call itself.
    const quint64 lookup = first ? pc : pc - 1;
    alignas(SYMBOL_INFOW) char buffer[sizeof(SYMBOL_INFOW) + 512 * sizeof(WCHAR)] = {};
    auto *symbol = reinterpret_cast<SYMBOL_INFOW *>(buffer);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = 512;
    DWORD64 displacement = 0;
    if (SymFromAddrW(process, lookup, &displacement, symbol) && symbol->NameLen > 0)
        frame.insert(QStringLiteral("function"), demangled(QString::fromWCharArray(symbol->Name, int(qMin<ULONG>(symbol->NameLen, 512)))));
    IMAGEHLP_LINEW64 line = {};
    line.SizeOfStruct = sizeof line;
    DWORD lineDisplacement = 0;
    if (SymGetLineFromAddrW64(process, lookup, &lineDisplacement, &line) && line.FileName) {
        frame.insert(QStringLiteral("file"), QString::fromWCharArray(line.FileName));
        frame.insert(QStringLiteral("line"), int(line.LineNumber));
    }
    return frame;
}

// The crashing thread's frames walked by dbghelp, or "" and the reason in *error.
QJsonArray walkCrashingThread(const QByteArray &dump, const QJsonObject &result, bool *framesCut, QString *error)
{
    if (result.value(QStringLiteral("system")).toObject().value(QStringLiteral("cpu")).toString() != QLatin1String("amd64")) {
        *error = QStringLiteral("the stack is walked for amd64 dumps only");
        return QJsonArray();
    }
    const Minidump::CrashStack stack = Minidump::crashStack(dump);
    if (!stack.error.isEmpty()) {
        *error = stack.error;
        return QJsonArray();
    }
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    std::memcpy(&context, stack.context.constData(), qMin<size_t>(sizeof context, size_t(stack.context.size())));

    std::vector<Image> images;
    for (const QJsonValue &v : result.value(QStringLiteral("modules")).toArray()) {
        const QJsonObject m = v.toObject();
        Image image;
        image.base = m.value(QStringLiteral("start")).toString().mid(2).toULongLong(nullptr, 16);
        image.size = m.value(QStringLiteral("end")).toString().mid(2).toULongLong(nullptr, 16) - image.base;
        image.name = m.value(QStringLiteral("name")).toString();
        image.path = m.value(QStringLiteral("file")).toString();
        image.file.reset(new QFile(image.path));
        if (image.file->open(QIODevice::ReadOnly) && image.file->size() > 0 && image.file->size() < std::numeric_limits<int>::max()) {
            image.length = image.file->size();
            image.data = image.file->map(0, image.length);
            if (image.data && image.length >= qint64(sizeof(IMAGE_DOS_HEADER))) {
                const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image.data);
                // The headers checked to lie in the file before dbghelp looks at them.
                if (dos->e_magic == IMAGE_DOS_SIGNATURE && dos->e_lfanew > 0
                    && qint64(dos->e_lfanew) + qint64(sizeof(IMAGE_NT_HEADERS)) <= image.length)
                    image.headers = ImageNtHeader(image.data);
                if (image.headers) {
                    const qint64 sections = qint64(reinterpret_cast<uchar *>(IMAGE_FIRST_SECTION(image.headers)) - image.data)
                            + qint64(image.headers->FileHeader.NumberOfSections) * qint64(sizeof(IMAGE_SECTION_HEADER));
                    if (image.headers->Signature != IMAGE_NT_SIGNATURE || sections > image.length)
                        image.headers = nullptr;
                }
            }
        }
        images.push_back(std::move(image));
    }

    // A handle of our own that no process has: dbghelp then reads nothing of a live process.
    HANDLE process = reinterpret_cast<HANDLE>(&images);
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
    if (!SymInitializeW(process, nullptr, FALSE)) {
        *error = QStringLiteral("dbghelp did not start (error %1)").arg(GetLastError());
        return QJsonArray();
    }
    int loaded = 0;
    for (const Image &image : images) {
        if (!image.headers)
            continue;
        const std::wstring path = image.path.toStdWString();
        if (SymLoadModuleExW(process, nullptr, path.c_str(), nullptr, image.base, DWORD(image.size), nullptr, 0))
            ++loaded;
    }
    s_memory = Memory {&dump, &stack.memory, &images};

    QJsonArray frames;
    STACKFRAME64 frame = {};
    frame.AddrPC.Offset = context.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;
    quint64 lastPc = 0;
    quint64 lastSp = 0;
    DWORD walkError = 0;
    for (;;) {
        if (!StackWalk64(IMAGE_FILE_MACHINE_AMD64, process, nullptr, &frame, &context, readMemory, SymFunctionTableAccess64,
                         SymGetModuleBase64, nullptr)) {
            walkError = GetLastError();
            break;
        }
        const quint64 pc = frame.AddrPC.Offset;
        const quint64 sp = frame.AddrStack.Offset;
        if (pc == 0 || (!frames.isEmpty() && pc == lastPc && sp == lastSp))
            break;
        if (frames.size() >= kMaxFramesPerThread) {
            *framesCut = true;
            break;
        }
        frames.append(describeFrame(process, images, pc, frames.isEmpty()));
        lastPc = pc;
        lastSp = sp;
    }
    SymCleanup(process);
    s_memory = Memory();
    if (frames.size() < 2) {
        *error = QStringLiteral("dbghelp walked no further than the faulting frame (%1 of %2 modules' images loaded, error %3)")
                         .arg(loaded).arg(images.size()).arg(walkError);
        return QJsonArray();
    }
    return frames;
}

// The crashing thread's frames, walked where dbghelp can; else its one frame stays, with why.
void addCrashingFrames(const QByteArray &dump, QJsonObject *result)
{
    QJsonArray threads = result->value(QStringLiteral("threads")).toArray();
    if (threads.isEmpty() || !threads.first().toObject().value(QStringLiteral("crashing")).toBool())
        return;
    QJsonObject crashing = threads.first().toObject();
    bool framesCut = false;
    QString error;
    const QJsonArray frames = walkCrashingThread(dump, *result, &framesCut, &error);
    if (frames.isEmpty()) {
        crashing.insert(QStringLiteral("error"), QStringLiteral("stack not walked: ") + error);
    } else {
        crashing.insert(QStringLiteral("frames"), frames);
        if (framesCut)
            crashing.insert(QStringLiteral("framesCut"), true);
    }
    threads[0] = crashing;
    result->insert(QStringLiteral("threads"), threads);
}

} // namespace

QJsonObject analyze(const QString &dumpPath, const QString &executable)
{
    Q_UNUSED(executable);
    QElapsedTimer clock;
    clock.start();
    QFile file(dumpPath);
    QString error;
    const QByteArray dump = mapped(&file, &error);
    QJsonObject result = error.isEmpty() ? Minidump::read(dump)
                                         : QJsonObject {{QStringLiteral("error"), QStringLiteral("cannot open the dump: ") + error}};
    if (!result.contains(QStringLiteral("error")))
        addCrashingFrames(dump, &result);
    result.insert(QStringLiteral("analysisMs"), double(clock.elapsed()));
    return result;
}

QString fileBuildId(const QString &path)
{
    QFile file(path);
    QString error;
    return Minidump::codeViewId(mapped(&file, &error));
}

} // namespace DumpReader
