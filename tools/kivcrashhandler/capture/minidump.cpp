#include "capture/minidump.h"

#include "capture/dumpreader.h"

#include <QJsonArray>
#include <QtEndian>

#include <algorithm>
#include <vector>

namespace Minidump {

namespace {

constexpr quint32 kSignature = 0x504d444d; // "MDMP"
constexpr quint32 kCodeViewSignature = 0x53445352; // "RSDS"
constexpr quint32 kFixedFileInfoSignature = 0xfeef04bd;
constexpr quint32 kMaxStreams = 4096;
constexpr quint32 kMaxNameBytes = 32768 * 2;

enum StreamType : quint32 {
    ThreadListStream = 3,
    ModuleListStream = 4,
    MemoryListStream = 5,
    ExceptionStream = 6,
    SystemInfoStream = 7,
    Memory64ListStream = 9,
    MiscInfoStream = 15,
};

constexpr quint64 kMaxMemoryRanges = 1 << 20;

// Sizes of the fixed records, as documented (packed, little-endian).
constexpr quint32 kHeaderSize = 32;
constexpr quint32 kDirectorySize = 12;
constexpr quint32 kThreadSize = 48;
constexpr quint32 kModuleSize = 108;
constexpr quint32 kExceptionStreamSize = 168;
constexpr quint32 kSystemInfoSize = 32;

enum Architecture : quint16 { X86 = 0, Arm = 5, Amd64 = 9, Arm64 = 12 };

QString hex(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

struct Location
{
    quint32 size = 0;
    quint32 rva = 0;
};

// Bounds-checked little-endian reads from the whole file.
class Bytes
{
public:
    explicit Bytes(const QByteArray &data) : m_data(data) {}

    quint64 size() const { return quint64(m_data.size()); }
    bool has(quint64 offset, quint64 length) const { return offset <= size() && length <= size() - offset; }
    bool has(const Location &at) const { return has(at.rva, at.size); }

    template<typename T>
    T get(quint64 offset) const
    {
        if (!has(offset, sizeof(T)))
            return T(0);
        return qFromLittleEndian<T>(reinterpret_cast<const uchar *>(m_data.constData()) + offset);
    }
    Location location(quint64 offset) const { return Location {get<quint32>(offset), get<quint32>(offset + 4)}; }
    QByteArray slice(quint64 offset, quint64 length) const
    {
        return has(offset, length) ? m_data.mid(int(offset), int(length)) : QByteArray();
    }

private:
    const QByteArray &m_data;
};

struct Failure
{
    QString reason;
};

QString streamName(quint32 type)
{
    switch (type) {
    case ThreadListStream: return QStringLiteral("thread list");
    case ModuleListStream: return QStringLiteral("module list");
    case ExceptionStream: return QStringLiteral("exception");
    case SystemInfoStream: return QStringLiteral("system info");
    case MiscInfoStream: return QStringLiteral("misc info");
    default: return QStringLiteral("type %1").arg(type);
    }
}

// A MINIDUMP_STRING: a byte length, then UTF-16 text.
bool readString(const Bytes &bytes, quint32 rva, QString *out)
{
    const quint32 length = bytes.get<quint32>(rva);
    if (!bytes.has(rva, 4) || length % 2 != 0 || length > kMaxNameBytes || !bytes.has(quint64(rva) + 4, length))
        return false;
    const QByteArray raw = bytes.slice(quint64(rva) + 4, length);
    std::vector<char16_t> units(length / 2);
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = qFromLittleEndian<quint16>(reinterpret_cast<const uchar *>(raw.constData()) + 2 * i);
    *out = QString::fromUtf16(units.data(), int(units.size()));
    return true;
}

QString baseName(const QString &path)
{
    const int slash = std::max(path.lastIndexOf(QLatin1Char('\\')), path.lastIndexOf(QLatin1Char('/')));
    return path.mid(slash + 1);
}

// A CodeView 7.0 record ("RSDS", GUID, age, PDB name) as symbol servers name it.
QString codeViewText(const QByteArray &record)
{
    const Bytes bytes(record);
    if (!bytes.has(0, 24) || bytes.get<quint32>(0) != kCodeViewSignature)
        return QString();
    QString id = QStringLiteral("%1%2%3")
                         .arg(bytes.get<quint32>(4), 8, 16, QLatin1Char('0'))
                         .arg(bytes.get<quint16>(8), 4, 16, QLatin1Char('0'))
                         .arg(bytes.get<quint16>(10), 4, 16, QLatin1Char('0'));
    id += QString::fromLatin1(record.mid(12, 8).toHex());
    return id.toUpper() + QString::number(bytes.get<quint32>(20), 16).toUpper();
}

} // namespace

DebugIds codeViewIds(const QByteArray &record)
{
    const Bytes bytes(record);
    DebugIds ids;
    if (!bytes.has(0, 24) || bytes.get<quint32>(0) != kCodeViewSignature)
        return ids;
    const QByteArray tail = record.mid(14, 6).toHex();
    ids.debugId = QStringLiteral("%1-%2-%3-%4-%5-%6")
                          .arg(bytes.get<quint32>(4), 8, 16, QLatin1Char('0'))
                          .arg(bytes.get<quint16>(8), 4, 16, QLatin1Char('0'))
                          .arg(bytes.get<quint16>(10), 4, 16, QLatin1Char('0'))
                          .arg(QString::fromLatin1(record.mid(12, 2).toHex()), QString::fromLatin1(tail))
                          .arg(bytes.get<quint32>(20), 0, 16);
    const QByteArray name = record.mid(24);
    ids.debugFile = baseName(QString::fromUtf8(name.left(name.indexOf('\0') < 0 ? name.size() : name.indexOf('\0'))));
    return ids;
}

QString codeId(quint32 timestamp, quint32 sizeOfImage)
{
    return QStringLiteral("%1%2").arg(timestamp, 8, 16, QLatin1Char('0')).arg(sizeOfImage, 0, 16);
}

namespace {

struct Module
{
    quint64 base = 0;
    quint64 size = 0;
    QString name;
};

const Module *moduleAt(const std::vector<Module> &modules, quint64 address)
{
    for (const Module &m : modules) {
        if (address >= m.base && address - m.base < m.size)
            return &m;
    }
    return nullptr;
}

QJsonObject frameAt(const std::vector<Module> &modules, quint64 pc)
{
    QJsonObject frame {{QStringLiteral("pc"), hex(pc)}};
    if (const Module *m = moduleAt(modules, pc)) {
        frame.insert(QStringLiteral("module"), m->name);
        frame.insert(QStringLiteral("offset"), hex(pc - m->base));
    }
    return frame;
}

// The instruction pointer in a thread's CONTEXT record, for the architectures whose layout is known.
bool contextPc(const Bytes &bytes, const Location &context, quint16 architecture, quint64 *pc)
{
    quint64 offset = 0;
    int width = 8;
    switch (architecture) {
    case Amd64: offset = 0xf8; break;          // Rip
    case X86: offset = 0xb8; width = 4; break; // Eip
    case Arm64: offset = 0x108; break;         // Pc
    case Arm: offset = 0x40; width = 4; break; // Pc
    default: return false;
    }
    if (context.size < offset + quint64(width) || !bytes.has(context))
        return false;
    *pc = width == 8 ? bytes.get<quint64>(quint64(context.rva) + offset) : bytes.get<quint32>(quint64(context.rva) + offset);
    return true;
}

QString cpuName(quint16 architecture)
{
    switch (architecture) {
    case X86: return QStringLiteral("x86");
    case Arm: return QStringLiteral("arm");
    case Amd64: return QStringLiteral("amd64");
    case Arm64: return QStringLiteral("arm64");
    default: return QStringLiteral("architecture %1").arg(architecture);
    }
}

class Reader
{
public:
    explicit Reader(const QByteArray &dump) : m_bytes(dump) {}

    QJsonObject run()
    {
        QJsonObject result;
        if (!readDirectory() || !readSystemInfo(&result) || !readModules(&result) || !readException(&result)
            || !readThreads(&result))
            return QJsonObject {{QStringLiteral("error"), QStringLiteral("dump unreadable: ") + m_failure}};
        readMiscInfo(&result);
        return result;
    }

private:
    bool fail(const QString &reason)
    {
        m_failure = reason;
        return false;
    }

    bool readDirectory()
    {
        if (!m_bytes.has(0, kHeaderSize))
            return fail(QStringLiteral("%1 bytes are too few for a minidump header").arg(m_bytes.size()));
        if (m_bytes.get<quint32>(0) != kSignature)
            return fail(QStringLiteral("no MDMP signature"));
        const quint32 count = m_bytes.get<quint32>(8);
        const quint32 rva = m_bytes.get<quint32>(12);
        if (count > kMaxStreams)
            return fail(QStringLiteral("the header announces %1 streams").arg(count));
        if (!m_bytes.has(rva, quint64(count) * kDirectorySize))
            return fail(QStringLiteral("the stream directory (%1 entries at %2) lies past the end of the file (%3 bytes)")
                                .arg(count).arg(hex(rva)).arg(m_bytes.size()));
        for (quint32 i = 0; i < count; ++i) {
            const quint64 entry = quint64(rva) + quint64(i) * kDirectorySize;
            const quint32 type = m_bytes.get<quint32>(entry);
            const Location at = m_bytes.location(entry + 4);
            if (type == 0) // UnusedStream
                continue;
            if (!m_bytes.has(at))
                return fail(QStringLiteral("the %1 stream (%2 bytes at %3) lies past the end of the file (%4 bytes)")
                                    .arg(streamName(type)).arg(at.size).arg(hex(at.rva)).arg(m_bytes.size()));
            if (type == ThreadListStream || type == ModuleListStream || type == ExceptionStream
                || type == SystemInfoStream || type == MiscInfoStream) {
                if (m_streams[type].size > 0)
                    return fail(QStringLiteral("the %1 stream appears twice").arg(streamName(type)));
                m_streams[type] = at; // an empty one reads as absent
            }
        }
        return true;
    }

    // A stream that holds a 32-bit count then that many records of `recordSize`.
    bool readList(quint32 type, quint32 recordSize, quint32 *count, quint64 *first)
    {
        const Location at = m_streams[type];
        *count = 0;
        if (at.size == 0)
            return true;
        if (at.size < 4)
            return fail(QStringLiteral("the %1 stream is %2 bytes, too short for its count").arg(streamName(type)).arg(at.size));
        *count = m_bytes.get<quint32>(at.rva);
        // The records follow the count, or 4 bytes of padding after it (some writers align them).
        const quint64 records = quint64(*count) * recordSize;
        if (records + 4 > at.size)
            return fail(QStringLiteral("the %1 stream announces %2 entries, more than its %3 bytes hold")
                                .arg(streamName(type)).arg(*count).arg(at.size));
        *first = quint64(at.rva) + (records + 8 == at.size ? 8 : 4);
        return true;
    }

    bool readSystemInfo(QJsonObject *out)
    {
        const Location at = m_streams[SystemInfoStream];
        if (at.size == 0)
            return true;
        if (at.size < kSystemInfoSize)
            return fail(QStringLiteral("the system info stream is %1 bytes, too short").arg(at.size));
        m_architecture = m_bytes.get<quint16>(at.rva);
        m_knownArchitecture = true;
        out->insert(QStringLiteral("system"), QJsonObject {
            {QStringLiteral("cpu"), cpuName(m_architecture)},
            {QStringLiteral("os"), QStringLiteral("%1.%2.%3").arg(m_bytes.get<quint32>(at.rva + 8))
                                           .arg(m_bytes.get<quint32>(at.rva + 12)).arg(m_bytes.get<quint32>(at.rva + 16))},
        });
        return true;
    }

    bool readModules(QJsonObject *out)
    {
        quint32 count = 0;
        quint64 first = 0;
        if (!readList(ModuleListStream, kModuleSize, &count, &first))
            return false;
        QJsonArray list;
        for (quint32 i = 0; i < count && i < quint32(DumpReader::kMaxModules); ++i) {
            const quint64 at = first + quint64(i) * kModuleSize;
            Module module;
            module.base = m_bytes.get<quint64>(at);
            module.size = m_bytes.get<quint32>(at + 8);
            const quint32 timestamp = m_bytes.get<quint32>(at + 16);
            QString file;
            if (!readString(m_bytes, m_bytes.get<quint32>(at + 20), &file))
                return fail(QStringLiteral("module %1's name lies outside the file").arg(i));
            module.name = baseName(file);
            const Location cv = m_bytes.location(at + 76);
            if (cv.size > 0 && !m_bytes.has(cv))
                return fail(QStringLiteral("module %1's CodeView record lies outside the file").arg(i));
            QJsonObject entry {
                {QStringLiteral("name"), module.name},
                {QStringLiteral("file"), file},
                {QStringLiteral("buildId"), codeViewText(m_bytes.slice(cv.rva, cv.size))},
                {QStringLiteral("codeId"), codeId(timestamp, quint32(module.size))},
                {QStringLiteral("start"), hex(module.base)},
                {QStringLiteral("end"), hex(module.base + module.size)},
                {QStringLiteral("timestamp"), double(timestamp)},
            };
            // The image's own name stands for the debug file when its record names none (GNU ld's):
            // its DWARF is in the image.
            const DebugIds ids = codeViewIds(m_bytes.slice(cv.rva, qMin<quint32>(cv.size, 4096)));
            entry.insert(QStringLiteral("debugId"), ids.debugId);
            entry.insert(QStringLiteral("debugFile"), ids.debugFile.isEmpty() && !ids.debugId.isEmpty() ? module.name : ids.debugFile);
            const quint64 version = at + 24; // VS_FIXEDFILEINFO
            if (m_bytes.get<quint32>(version) == kFixedFileInfoSignature) {
                const quint32 high = m_bytes.get<quint32>(version + 8);
                const quint32 low = m_bytes.get<quint32>(version + 12);
                entry.insert(QStringLiteral("version"), QStringLiteral("%1.%2.%3.%4")
                                     .arg(high >> 16).arg(high & 0xffff).arg(low >> 16).arg(low & 0xffff));
            }
            m_modules.push_back(module);
            list.append(entry);
        }
        if (count > 0)
            out->insert(QStringLiteral("modules"), list);
        return true;
    }

    bool readException(QJsonObject *out)
    {
        const Location at = m_streams[ExceptionStream];
        if (at.size == 0)
            return true;
        if (at.size < kExceptionStreamSize)
            return fail(QStringLiteral("the exception stream is %1 bytes, too short").arg(at.size));
        m_crashingTid = m_bytes.get<quint32>(at.rva);
        m_hasException = true;
        const quint64 record = quint64(at.rva) + 8;
        const quint32 code = m_bytes.get<quint32>(record);
        m_exceptionAddress = m_bytes.get<quint64>(record + 16);
        const quint32 parameters = m_bytes.get<quint32>(record + 24);
        out->insert(QStringLiteral("crashingTid"), double(m_crashingTid));
        out->insert(QStringLiteral("exceptionCode"), codeText(code));
        out->insert(QStringLiteral("exceptionName"), exceptionName(code));
        out->insert(QStringLiteral("exceptionAddress"), hex(m_exceptionAddress));
        // An access violation or in-page error says what kind of access went where.
        if ((code == 0xc0000005 || code == 0xc0000006) && parameters >= 2 && parameters <= 15) {
            const quint64 kind = m_bytes.get<quint64>(record + 32);
            const quint64 address = m_bytes.get<quint64>(record + 40);
            out->insert(QStringLiteral("access"), kind == 1 ? QStringLiteral("writing")
                                                   : kind == 8 ? QStringLiteral("executing") : QStringLiteral("reading"));
            out->insert(QStringLiteral("address"), hex(address));
        }
        if (const Module *m = moduleAt(m_modules, m_exceptionAddress)) {
            out->insert(QStringLiteral("faultingModule"), m->name);
            out->insert(QStringLiteral("faultingOffset"), hex(m_exceptionAddress - m->base));
        }
        return true;
    }

    bool readThreads(QJsonObject *out)
    {
        quint32 count = 0;
        quint64 first = 0;
        if (!readList(ThreadListStream, kThreadSize, &count, &first))
            return false;
        if (m_streams[ThreadListStream].size == 0) {
            if (m_hasException) // the crashing thread alone, from the exception stream
                out->insert(QStringLiteral("threads"), QJsonArray {crashingThread()});
            return true;
        }
        QJsonArray threads;
        bool crashingSeen = false;
        for (quint32 i = 0; i < count && i < quint32(DumpReader::kMaxThreads); ++i) {
            const quint64 at = first + quint64(i) * kThreadSize;
            const quint32 tid = m_bytes.get<quint32>(at);
            const Location stack = m_bytes.location(at + 32);
            const Location context = m_bytes.location(at + 40);
            if (!m_bytes.has(stack))
                return fail(QStringLiteral("thread %1's stack lies outside the file").arg(tid));
            if (!m_bytes.has(context))
                return fail(QStringLiteral("thread %1's context lies outside the file").arg(tid));
            if (m_hasException && tid == m_crashingTid && !crashingSeen) {
                crashingSeen = true;
                threads.prepend(crashingThread());
                continue;
            }
            QJsonArray frames;
            quint64 pc = 0;
            if (m_knownArchitecture && contextPc(m_bytes, context, m_architecture, &pc))
                frames.append(frameAt(m_modules, pc));
            threads.append(QJsonObject {
                {QStringLiteral("tid"), double(tid)},
                {QStringLiteral("crashing"), false},
                {QStringLiteral("frames"), frames},
            });
        }
        if (m_hasException && !crashingSeen)
            threads.prepend(crashingThread());
        out->insert(QStringLiteral("threads"), threads);
        return true;
    }

    QJsonObject crashingThread() const
    {
        return QJsonObject {
            {QStringLiteral("tid"), double(m_crashingTid)},
            {QStringLiteral("crashing"), true},
            {QStringLiteral("frames"), QJsonArray {frameAt(m_modules, m_exceptionAddress)}},
        };
    }

    void readMiscInfo(QJsonObject *out)
    {
        const Location at = m_streams[MiscInfoStream];
        // MINIDUMP_MISC_INFO: size, flags, then the process id when flag 1 is set.
        if (at.size >= 12 && (m_bytes.get<quint32>(at.rva + 4) & 1))
            out->insert(QStringLiteral("pid"), double(m_bytes.get<quint32>(at.rva + 8)));
    }

    Bytes m_bytes;
    QString m_failure;
    Location m_streams[MiscInfoStream + 1];
    std::vector<Module> m_modules;
    quint16 m_architecture = 0;
    bool m_knownArchitecture = false;
    bool m_hasException = false;
    quint32 m_crashingTid = 0;
    quint64 m_exceptionAddress = 0;
};

} // namespace

QJsonObject read(const QByteArray &dump)
{
    return Reader(dump).run();
}

Stacks stacks(const QByteArray &dump)
{
    const Bytes bytes(dump);
    Stacks result;
    const quint32 count = bytes.get<quint32>(8);
    const quint32 rva = bytes.get<quint32>(12);
    if (bytes.get<quint32>(0) != kSignature || count > kMaxStreams || !bytes.has(rva, quint64(count) * kDirectorySize)) {
        result.error = QStringLiteral("no readable stream directory");
        return result;
    }
    bool hasException = false;
    for (quint32 i = 0; i < count; ++i) {
        const quint64 entry = quint64(rva) + quint64(i) * kDirectorySize;
        const quint32 type = bytes.get<quint32>(entry);
        const Location at = bytes.location(entry + 4);
        if (!bytes.has(at))
            continue;
        if (type == ExceptionStream && at.size >= kExceptionStreamSize) {
            const Location context = bytes.location(quint64(at.rva) + 160);
            if (bytes.has(context))
                result.context = bytes.slice(context.rva, context.size);
            hasException = true;
        } else if (type == ThreadListStream && at.size >= 4) {
            // The records follow the count, or 4 bytes of padding after it.
            const quint32 threads = bytes.get<quint32>(at.rva);
            const quint64 records = quint64(threads) * kThreadSize;
            const quint64 first = quint64(at.rva) + (records + 8 == at.size ? 8 : 4);
            for (quint32 t = 0; t < threads && t < quint32(DumpReader::kMaxThreads) && first + quint64(t + 1) * kThreadSize <= quint64(at.rva) + at.size; ++t) {
                const quint64 record = first + quint64(t) * kThreadSize;
                const Location context = bytes.location(record + 40);
                if (bytes.has(context))
                    result.threads.push_back(ThreadContext {bytes.get<quint32>(record), bytes.slice(context.rva, context.size)});
            }
        } else if (type == MemoryListStream && at.size >= 4) {
            // MINIDUMP_MEMORY_DESCRIPTOR: the start, then the data's location.
            const quint64 ranges = qMin<quint64>(bytes.get<quint32>(at.rva), (at.size - 4) / 16);
            for (quint64 r = 0; r < ranges && result.memory.size() < kMaxMemoryRanges; ++r) {
                const quint64 d = quint64(at.rva) + 4 + r * 16;
                const Location data = bytes.location(d + 8);
                if (bytes.has(data))
                    result.memory.push_back(MemoryRange {bytes.get<quint64>(d), data.rva, data.size});
            }
        } else if (type == Memory64ListStream && at.size >= 16) {
            // The count and the base of the data, which lies contiguous in the order of the
            // descriptors (start, size).
            const quint64 ranges = qMin<quint64>(bytes.get<quint64>(at.rva), (at.size - 16) / 16);
            quint64 offset = bytes.get<quint64>(quint64(at.rva) + 8);
            for (quint64 r = 0; r < ranges && result.memory.size() < kMaxMemoryRanges; ++r) {
                const quint64 d = quint64(at.rva) + 16 + r * 16;
                const quint64 size = bytes.get<quint64>(d + 8);
                if (!bytes.has(offset, size))
                    break;
                result.memory.push_back(MemoryRange {bytes.get<quint64>(d), offset, size});
                offset += size;
            }
        }
    }
    if (!hasException)
        result.error = QStringLiteral("the dump holds no exception");
    else if (result.context.isEmpty())
        result.error = QStringLiteral("the exception's thread context lies outside the file");
    else if (result.memory.empty())
        result.error = QStringLiteral("the dump holds no stack memory");
    return result;
}

QString exceptionName(quint32 code)
{
    const QString name = knownExceptionName(code);
    return name.isEmpty() ? QStringLiteral("exception ") + codeText(code) : name;
}

QString knownExceptionName(quint32 code)
{
    switch (code) {
    case 0x80000001: return QStringLiteral("EXCEPTION_GUARD_PAGE");
    case 0x80000002: return QStringLiteral("EXCEPTION_DATATYPE_MISALIGNMENT");
    case 0x80000003: return QStringLiteral("EXCEPTION_BREAKPOINT");
    case 0x80000004: return QStringLiteral("EXCEPTION_SINGLE_STEP");
    case 0xc0000005: return QStringLiteral("EXCEPTION_ACCESS_VIOLATION");
    case 0xc0000006: return QStringLiteral("EXCEPTION_IN_PAGE_ERROR");
    case 0xc0000008: return QStringLiteral("EXCEPTION_INVALID_HANDLE");
    case 0xc000001d: return QStringLiteral("EXCEPTION_ILLEGAL_INSTRUCTION");
    case 0xc0000025: return QStringLiteral("EXCEPTION_NONCONTINUABLE_EXCEPTION");
    case 0xc0000026: return QStringLiteral("EXCEPTION_INVALID_DISPOSITION");
    case 0xc000008c: return QStringLiteral("EXCEPTION_ARRAY_BOUNDS_EXCEEDED");
    case 0xc000008d: return QStringLiteral("EXCEPTION_FLT_DENORMAL_OPERAND");
    case 0xc000008e: return QStringLiteral("EXCEPTION_FLT_DIVIDE_BY_ZERO");
    case 0xc000008f: return QStringLiteral("EXCEPTION_FLT_INEXACT_RESULT");
    case 0xc0000090: return QStringLiteral("EXCEPTION_FLT_INVALID_OPERATION");
    case 0xc0000091: return QStringLiteral("EXCEPTION_FLT_OVERFLOW");
    case 0xc0000092: return QStringLiteral("EXCEPTION_FLT_STACK_CHECK");
    case 0xc0000093: return QStringLiteral("EXCEPTION_FLT_UNDERFLOW");
    case 0xc0000094: return QStringLiteral("EXCEPTION_INT_DIVIDE_BY_ZERO");
    case 0xc0000095: return QStringLiteral("EXCEPTION_INT_OVERFLOW");
    case 0xc0000096: return QStringLiteral("EXCEPTION_PRIV_INSTRUCTION");
    case 0xc00000fd: return QStringLiteral("EXCEPTION_STACK_OVERFLOW");
    case 0xc0000135: return QStringLiteral("STATUS_DLL_NOT_FOUND");
    case 0xc0000142: return QStringLiteral("STATUS_DLL_INIT_FAILED");
    case 0xc000013a: return QStringLiteral("STATUS_CONTROL_C_EXIT");
    case 0xc0000374: return QStringLiteral("STATUS_HEAP_CORRUPTION");
    case 0xc0000409: return QStringLiteral("STATUS_STACK_BUFFER_OVERRUN");
    case 0xc0000417: return QStringLiteral("STATUS_INVALID_CRUNTIME_PARAMETER");
    case 0xc0000420: return QStringLiteral("STATUS_ASSERTION_FAILURE");
    default: return QString();
    }
}

QString codeText(quint32 code)
{
    return QStringLiteral("0x") + QString::number(code, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

namespace {

// The CodeView record of a PE image, "" when it has none; *codeIdOut gets its code id.
QByteArray imageCodeView(const QByteArray &image, QString *codeIdOut)
{
    const Bytes bytes(image);
    if (bytes.get<quint16>(0) != 0x5a4d) // "MZ"
        return QByteArray();
    const quint32 pe = bytes.get<quint32>(0x3c);
    if (bytes.get<quint32>(pe) != 0x00004550) // "PE\0\0"
        return QByteArray();
    const quint64 coff = quint64(pe) + 4;
    const quint16 sections = bytes.get<quint16>(coff + 2);
    const quint16 optionalSize = bytes.get<quint16>(coff + 16);
    const quint64 optional = coff + 20;
    const quint16 magic = bytes.get<quint16>(optional);
    if (codeIdOut && bytes.has(optional, 60))
        *codeIdOut = codeId(bytes.get<quint32>(coff + 4), bytes.get<quint32>(optional + 56));
    const quint64 directories = optional + (magic == 0x20b ? 112 : magic == 0x10b ? 96 : 0);
    if (directories == optional || directories + 7 * 8 > optional + optionalSize)
        return QByteArray();
    const quint32 debugRva = bytes.get<quint32>(directories + 6 * 8);
    const quint32 debugSize = bytes.get<quint32>(directories + 6 * 8 + 4);
    // The debug directory's file offset, from the section that holds its RVA.
    const quint64 table = optional + optionalSize;
    quint64 debugOffset = 0;
    bool found = false;
    for (quint16 i = 0; i < sections && !found; ++i) {
        const quint64 section = table + quint64(i) * 40;
        const quint32 virtualAddress = bytes.get<quint32>(section + 12);
        const quint32 rawSize = bytes.get<quint32>(section + 16);
        const quint32 rawOffset = bytes.get<quint32>(section + 20);
        if (debugRva >= virtualAddress && debugRva - virtualAddress < rawSize) {
            debugOffset = quint64(rawOffset) + (debugRva - virtualAddress);
            found = true;
        }
    }
    if (!found)
        return QByteArray();
    for (quint32 i = 0; i < debugSize / 28 && i < 64; ++i) {
        const quint64 entry = debugOffset + quint64(i) * 28;
        if (!bytes.has(entry, 28))
            break;
        if (bytes.get<quint32>(entry + 12) != 2) // IMAGE_DEBUG_TYPE_CODEVIEW
            continue;
        const quint32 size = bytes.get<quint32>(entry + 16);
        const quint32 offset = bytes.get<quint32>(entry + 24);
        return bytes.slice(offset, qMin<quint32>(size, 4096));
    }
    return QByteArray();
}

} // namespace

QString codeViewId(const QByteArray &image)
{
    return codeViewText(imageCodeView(image, nullptr));
}

DebugIds imageIds(const QByteArray &image)
{
    QString code;
    DebugIds ids = codeViewIds(imageCodeView(image, &code));
    ids.codeId = code;
    return ids;
}

} // namespace Minidump
