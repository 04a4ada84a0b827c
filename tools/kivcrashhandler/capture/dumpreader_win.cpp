// The Windows reader: the minidump that Windows Error Reporting writes, through the portable
// minidump reader; a module's debug id from its image file where the dump holds no CodeView record;
// then every thread's stack walked and its frames named by dbghelp (inlined functions included,
// where the debug information has them), from the dump's memory and the modules' image files where
// they still are.

#include "capture/dumpreader.h"
#include "capture/minidump.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

#include <windows.h>
#include <dbghelp.h>

#include <cstring>
#include <cxxabi.h>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

// dbghelp's inline frame functions (dbghelp 6.2 and later, and Wine's), which MinGW's header lacks.
extern "C" {
DWORD WINAPI SymAddrIncludeInlineTrace(HANDLE process, DWORD64 address);
BOOL WINAPI SymQueryInlineTrace(HANDLE process, DWORD64 startAddress, DWORD startContext, DWORD64 startReturnAddress,
                                DWORD64 currentAddress, LPDWORD currentContext, LPDWORD currentFrameIndex);
BOOL WINAPI SymFromInlineContextW(HANDLE process, DWORD64 address, ULONG inlineContext, PDWORD64 displacement, PSYMBOL_INFOW symbol);
BOOL WINAPI SymGetLineFromInlineContextW(HANDLE process, DWORD64 address, ULONG inlineContext, DWORD64 moduleBase,
                                         PDWORD displacement, PIMAGEHLP_LINEW64 line);
}

namespace DumpReader {

namespace {

constexpr ULONG kMaxNameLength = 512;

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
    HANDLE handle = INVALID_HANDLE_VALUE; // the file as dbghelp maps it
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

QString symbolName(const SYMBOL_INFOW *symbol)
{
    return demangled(QString::fromWCharArray(symbol->Name, int(qMin<ULONG>(symbol->NameLen, kMaxNameLength))));
}

void insertLine(QJsonObject *frame, const IMAGEHLP_LINEW64 &line)
{
    frame->insert(QStringLiteral("file"), QString::fromWCharArray(line.FileName));
    frame->insert(QStringLiteral("line"), int(line.LineNumber));
}

// The frames at one pc, innermost first: a frame of its own for each function that dbghelp says
// is inlined there (marked "inlined"), then the function they are inlined into.
void describeFrame(HANDLE process, const std::vector<Image> &images, quint64 pc, bool first, QJsonArray *frames)
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
    alignas(SYMBOL_INFOW) char buffer[sizeof(SYMBOL_INFOW) + kMaxNameLength * sizeof(WCHAR)] = {};
    auto *symbol = reinterpret_cast<SYMBOL_INFOW *>(buffer);
    DWORD64 displacement = 0;
    IMAGEHLP_LINEW64 line = {};
    DWORD lineDisplacement = 0;
    const auto reset = [&] {
        std::memset(buffer, 0, sizeof buffer);
        symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
        symbol->MaxNameLen = kMaxNameLength;
        line = IMAGEHLP_LINEW64 {};
        line.SizeOfStruct = sizeof line;
    };

    const DWORD inlined = qMin<DWORD>(SymAddrIncludeInlineTrace(process, lookup), DWORD(kMaxFramesPerThread));
    DWORD context = 0;
    DWORD index = 0;
    QJsonArray chain;
    if (inlined > 0 && SymQueryInlineTrace(process, lookup, 0, lookup, lookup, &context, &index)) {
        for (DWORD depth = 0; depth < inlined; ++depth) {
            QJsonObject f = frame;
            reset();
            if (SymFromInlineContextW(process, lookup, context + depth, &displacement, symbol) && symbol->NameLen > 0)
                f.insert(QStringLiteral("function"), symbolName(symbol));
            if (SymGetLineFromInlineContextW(process, lookup, context + depth, 0, &lineDisplacement, &line) && line.FileName)
                insertLine(&f, line);
            f.insert(QStringLiteral("inlined"), true);
            chain.append(f);
        }
    }
    reset();
    if (SymFromAddrW(process, lookup, &displacement, symbol) && symbol->NameLen > 0)
        frame.insert(QStringLiteral("function"), symbolName(symbol));
    if (SymGetLineFromAddrW64(process, lookup, &lineDisplacement, &line) && line.FileName)
        insertLine(&frame, line);
    // Wine's dbghelp gives every inlined function but the innermost the line of the function they
    // are all inlined into, not the line that calls the next one in: such a line is left out.
    for (int i = 1; i < chain.size(); ++i) {
        QJsonObject f = chain[i].toObject();
        if (f.value(QStringLiteral("line")) == frame.value(QStringLiteral("line"))
            && f.value(QStringLiteral("file")) == frame.value(QStringLiteral("file"))) {
            f.remove(QStringLiteral("file"));
            f.remove(QStringLiteral("line"));
            chain[i] = f;
        }
    }
    for (const QJsonValue &f : chain)
        frames->append(f);
    frames->append(frame);
}

// dbghelp set up once for a dump: the modules' image files mapped and loaded at the dump's bases,
// memory read from the dump first, then from the images. Then each thread's stack walked from its
// CONTEXT record.
//
// dbghelp looks for the PDB that an image's CodeView record names in the image's folder and in its
// search path. GNU ld's record names none, and Wine's dbghelp then opens every file there as that
// PDB (and has corrupted its heap on one). So each image is handed to dbghelp as an open file
// under a name in an empty folder of our own, which is also the whole search path: the DWARF in
// the image is read, no other file is opened.
class Walker
{
public:
    Walker(const QByteArray &dump, const QJsonObject &result, const std::vector<Minidump::MemoryRange> *memory)
    {
        for (const QJsonValue &v : result.value(QStringLiteral("modules")).toArray())
            m_images.push_back(mappedImage(v.toObject()));
        if (!m_noSymbols.isValid()) {
            m_error = QStringLiteral("no empty folder for dbghelp's symbol search: ") + m_noSymbols.errorString();
            return;
        }
        const QString folder = QDir::toNativeSeparators(m_noSymbols.path());
        SymSetOptions(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
        if (!SymInitializeW(m_process, folder.toStdWString().c_str(), FALSE)) {
            m_error = QStringLiteral("dbghelp did not start (error %1)").arg(GetLastError());
            return;
        }
        m_started = true;
        for (Image &image : m_images) {
            if (!image.headers)
                continue;
            image.handle = CreateFileW(image.path.toStdWString().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (image.handle == INVALID_HANDLE_VALUE)
                continue;
            const std::wstring name = (folder + QLatin1Char('\\') + image.name).toStdWString();
            if (SymLoadModuleExW(m_process, image.handle, name.c_str(), nullptr, image.base, DWORD(image.size), nullptr, 0))
                ++m_loaded;
        }
        s_memory = Memory {&dump, memory, &m_images};
    }
    ~Walker()
    {
        if (m_started)
            SymCleanup(m_process);
        for (const Image &image : m_images)
            if (image.handle != INVALID_HANDLE_VALUE)
                CloseHandle(image.handle);
        s_memory = Memory();
    }

    // The frames walked from `contextBytes`, at most kMaxFramesPerThread; or none and the reason.
    QJsonArray walk(const QByteArray &contextBytes, bool *framesCut, QString *error)
    {
        if (!m_error.isEmpty()) {
            *error = m_error;
            return QJsonArray();
        }
        CONTEXT context;
        std::memset(&context, 0, sizeof context);
        std::memcpy(&context, contextBytes.constData(), qMin<size_t>(sizeof context, size_t(contextBytes.size())));
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
        int walked = 0;
        for (;;) {
            if (!StackWalk64(IMAGE_FILE_MACHINE_AMD64, m_process, nullptr, &frame, &context, readMemory, SymFunctionTableAccess64,
                             SymGetModuleBase64, nullptr)) {
                walkError = GetLastError();
                break;
            }
            const quint64 pc = frame.AddrPC.Offset;
            const quint64 sp = frame.AddrStack.Offset;
            if (pc == 0 || (walked > 0 && pc == lastPc && sp == lastSp))
                break;
            if (frames.size() >= kMaxFramesPerThread) {
                *framesCut = true;
                break;
            }
            describeFrame(m_process, m_images, pc, walked == 0, &frames);
            ++walked;
            lastPc = pc;
            lastSp = sp;
        }
        if (frames.size() > kMaxFramesPerThread) { // the last pc's inlined functions went past the bound
            while (frames.size() > kMaxFramesPerThread)
                frames.removeLast();
            *framesCut = true;
        }
        if (walked < 2) {
            *error = QStringLiteral("dbghelp walked no further than the first frame (%1 of %2 modules' images loaded, error %3)")
                             .arg(m_loaded).arg(m_images.size()).arg(walkError);
            return QJsonArray();
        }
        return frames;
    }

private:
    static Image mappedImage(const QJsonObject &m)
    {
        Image image;
        image.base = m.value(QStringLiteral("start")).toString().mid(2).toULongLong(nullptr, 16);
        image.size = m.value(QStringLiteral("end")).toString().mid(2).toULongLong(nullptr, 16) - image.base;
        image.name = m.value(QStringLiteral("name")).toString();
        image.path = m.value(QStringLiteral("file")).toString();
        image.file.reset(new QFile(image.path));
        if (!image.file->open(QIODevice::ReadOnly) || image.file->size() <= 0 || image.file->size() >= std::numeric_limits<int>::max())
            return image;
        image.length = image.file->size();
        image.data = image.file->map(0, image.length);
        if (!image.data || image.length < qint64(sizeof(IMAGE_DOS_HEADER)))
            return image;
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
        return image;
    }

    std::vector<Image> m_images;
    QTemporaryDir m_noSymbols;
    // A handle of our own that no process has: dbghelp then reads nothing of a live process.
    HANDLE m_process = reinterpret_cast<HANDLE>(this);
    bool m_started = false;
    int m_loaded = 0;
    QString m_error;
};

// The debug id of each module whose dump entry has no CodeView record (Wine writes none), from its
// image file, when that file is still the one the process loaded: its code id is the module's.
void addImageIds(QJsonObject *result)
{
    QJsonArray modules = result->value(QStringLiteral("modules")).toArray();
    for (int i = 0; i < modules.size(); ++i) {
        QJsonObject module = modules[i].toObject();
        if (!module.value(QStringLiteral("debugId")).toString().isEmpty())
            continue;
        QFile file(module.value(QStringLiteral("file")).toString());
        QString error;
        const QByteArray image = mapped(&file, &error);
        const Minidump::DebugIds ids = Minidump::imageIds(image);
        if (ids.debugId.isEmpty() || ids.codeId != module.value(QStringLiteral("codeId")).toString())
            continue;
        module.insert(QStringLiteral("buildId"), Minidump::codeViewId(image));
        module.insert(QStringLiteral("debugId"), ids.debugId);
        module.insert(QStringLiteral("debugFile"), ids.debugFile.isEmpty() ? module.value(QStringLiteral("name")).toString() : ids.debugFile);
        modules[i] = module;
    }
    if (!modules.isEmpty())
        result->insert(QStringLiteral("modules"), modules);
}

// Every thread's frames walked where dbghelp can (the crashing thread from the exception's context,
// the others from their own); a thread that cannot be walked keeps its one frame, with why.
void addThreadFrames(const QByteArray &dump, QJsonObject *result)
{
    QJsonArray threads = result->value(QStringLiteral("threads")).toArray();
    if (threads.isEmpty())
        return;
    const Minidump::Stacks stacks = Minidump::stacks(dump);
    QString common;
    if (result->value(QStringLiteral("system")).toObject().value(QStringLiteral("cpu")).toString() != QLatin1String("amd64"))
        common = QStringLiteral("the stack is walked for amd64 dumps only");
    else if (stacks.memory.empty())
        common = QStringLiteral("the dump holds no stack memory");
    std::unique_ptr<Walker> walker;
    if (common.isEmpty())
        walker.reset(new Walker(dump, *result, &stacks.memory));
    for (int i = 0; i < threads.size(); ++i) {
        QJsonObject thread = threads[i].toObject();
        const bool crashing = thread.value(QStringLiteral("crashing")).toBool();
        const quint32 tid = quint32(thread.value(QStringLiteral("tid")).toDouble());
        QString error = common;
        QByteArray context;
        if (error.isEmpty() && crashing) {
            context = stacks.context;
            error = stacks.error;
        } else if (error.isEmpty()) {
            for (const Minidump::ThreadContext &t : stacks.threads)
                if (t.tid == tid)
                    context = t.context;
            if (context.isEmpty())
                error = QStringLiteral("the dump holds no context of the thread");
        }
        bool framesCut = false;
        const QJsonArray frames = error.isEmpty() ? walker->walk(context, &framesCut, &error) : QJsonArray();
        if (frames.isEmpty()) {
            thread.insert(QStringLiteral("error"), QStringLiteral("stack not walked: ") + error);
        } else {
            thread.insert(QStringLiteral("frames"), frames);
            if (framesCut)
                thread.insert(QStringLiteral("framesCut"), true);
        }
        threads[i] = thread;
    }
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
    if (!result.contains(QStringLiteral("error"))) {
        addImageIds(&result);
        addThreadFrames(dump, &result);
    }
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
