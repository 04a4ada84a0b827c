// The Linux reader: an ELF core through elfutils (libelf for the notes, libdwfl for modules,
// threads, unwinding and symbols), the way systemd-coredump reads one.

#include "capture/dumpreader.h"
#include "host/processend.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QVector>

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwelf.h>
#include <elfutils/libdwfl.h>
#include <gelf.h>

#include <cxxabi.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/procfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace DumpReader {

namespace {

constexpr Elf64_Word kNoteSigInfo = 0x53494749; // NT_SIGINFO, "SIGI"

QString hex(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

QString dwflError()
{
    return QString::fromLocal8Bit(dwfl_errmsg(-1));
}

// Demangled always: a name the demangler refuses whole (a clone or version suffix it does not
// know) is tried again without the suffix, which is kept as a clone note.
QString demangled(const char *name)
{
    if (!name)
        return QString();
    if (std::strncmp(name, "_Z", 2) != 0)
        return QString::fromLocal8Bit(name); // a C name, which the demangler would read as a type
    const std::string whole(name);
    for (const size_t cut : {whole.size(), whole.find_first_of(".@")}) {
        if (cut == std::string::npos)
            continue;
        int status = 0;
        char *text = abi::__cxa_demangle(whole.substr(0, cut).c_str(), nullptr, nullptr, &status);
        if (status == 0 && text) {
            QString result = QString::fromLocal8Bit(text);
            std::free(text);
            if (cut < whole.size())
                result += QStringLiteral(" [clone %1]").arg(QString::fromLocal8Bit(whole.substr(cut).c_str()));
            return result;
        }
        std::free(text);
    }
    return QString::fromLocal8Bit(name);
}

QString buildId(Dwfl_Module *module)
{
    const unsigned char *bits = nullptr;
    GElf_Addr vaddr = 0;
    const int size = dwfl_module_build_id(module, &bits, &vaddr);
    return size > 0 ? QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bits), size).toHex()) : QString();
}

QString codeName(int signal, int code)
{
    switch (code) {
    case SI_USER: return QStringLiteral("SI_USER");
    case SI_KERNEL: return QStringLiteral("SI_KERNEL");
    case SI_QUEUE: return QStringLiteral("SI_QUEUE");
    case SI_TIMER: return QStringLiteral("SI_TIMER");
    case SI_MESGQ: return QStringLiteral("SI_MESGQ");
    case SI_ASYNCIO: return QStringLiteral("SI_ASYNCIO");
    case SI_SIGIO: return QStringLiteral("SI_SIGIO");
    case SI_TKILL: return QStringLiteral("SI_TKILL");
    default: break;
    }
    static const char *const segv[] = {"SEGV_MAPERR", "SEGV_ACCERR", "SEGV_BNDERR", "SEGV_PKUERR", "SEGV_ACCADI",
                                       "SEGV_ADIDERR", "SEGV_ADIPERR", "SEGV_MTEAERR", "SEGV_MTESERR", "SEGV_CPERR"};
    static const char *const bus[] = {"BUS_ADRALN", "BUS_ADRERR", "BUS_OBJERR", "BUS_MCEERR_AR", "BUS_MCEERR_AO"};
    static const char *const ill[] = {"ILL_ILLOPC", "ILL_ILLOPN", "ILL_ILLADR", "ILL_ILLTRP", "ILL_PRVOPC",
                                      "ILL_PRVREG", "ILL_COPROC", "ILL_BADSTK", "ILL_BADIADDR"};
    static const char *const fpe[] = {"FPE_INTDIV", "FPE_INTOVF", "FPE_FLTDIV", "FPE_FLTOVF", "FPE_FLTRES",
                                      "FPE_FLTINV", "FPE_FLTSUB", "FPE_FLTUNK", "FPE_CONDTRAP"};
    static const char *const trap[] = {"TRAP_BRKPT", "TRAP_TRACE", "TRAP_BRANCH", "TRAP_HWBKPT", "TRAP_UNK", "TRAP_PERF"};
    const auto pick = [code](const char *const *names, int count) {
        return code >= 1 && code <= count ? QString::fromLatin1(names[code - 1]) : QString();
    };
    QString name;
    switch (signal) {
    case SIGSEGV: name = pick(segv, 10); break;
    case SIGBUS: name = pick(bus, 5); break;
    case SIGILL: name = pick(ill, 9); break;
    case SIGFPE: name = pick(fpe, 9); break;
    case SIGTRAP: name = pick(trap, 6); break;
    default: break;
    }
    return name.isEmpty() ? QStringLiteral("code %1").arg(code) : name;
}

bool hasFaultAddress(int signal)
{
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE || signal == SIGTRAP;
}

// The process notes: who the core belongs to, which thread dumped it (the first NT_PRSTATUS) and
// the signal that thread got (NT_SIGINFO). Payloads shorter than their type are ignored.
void readNotes(Elf *elf, QJsonObject *out)
{
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0)
        return;
    bool firstStatus = true;
    for (size_t i = 0; i < count && i < 4096; ++i) {
        GElf_Phdr header;
        if (!gelf_getphdr(elf, int(i), &header) || header.p_type != PT_NOTE)
            continue;
        Elf_Data *data = elf_getdata_rawchunk(elf, header.p_offset, header.p_filesz, ELF_T_NHDR);
        if (!data)
            continue;
        GElf_Nhdr note;
        size_t nameOffset = 0;
        size_t descOffset = 0;
        for (size_t offset = 0;
             (offset = gelf_getnote(data, offset, &note, &nameOffset, &descOffset)) > 0;) {
            const char *desc = static_cast<const char *>(data->d_buf) + descOffset;
            if (note.n_type == NT_PRSTATUS && firstStatus && note.n_descsz >= sizeof(elf_prstatus)) {
                elf_prstatus status;
                std::memcpy(&status, desc, sizeof status);
                out->insert(QStringLiteral("crashingTid"), double(status.pr_pid));
                if (!out->contains(QStringLiteral("signal")))
                    out->insert(QStringLiteral("signal"), status.pr_cursig);
                firstStatus = false;
            } else if (note.n_type == NT_PRPSINFO && note.n_descsz >= sizeof(elf_prpsinfo)) {
                elf_prpsinfo info;
                std::memcpy(&info, desc, sizeof info);
                out->insert(QStringLiteral("pid"), double(info.pr_pid));
                out->insert(QStringLiteral("processName"),
                            QString::fromLocal8Bit(info.pr_fname, int(strnlen(info.pr_fname, sizeof info.pr_fname))));
            } else if (note.n_type == kNoteSigInfo && note.n_descsz >= sizeof(siginfo_t)) {
                siginfo_t info;
                std::memcpy(&info, desc, sizeof info);
                out->insert(QStringLiteral("signal"), info.si_signo);
                out->insert(QStringLiteral("code"), info.si_code);
                out->insert(QStringLiteral("codeName"), codeName(info.si_signo, info.si_code));
                if (hasFaultAddress(info.si_signo) && info.si_code > 0)
                    out->insert(QStringLiteral("address"), hex(quint64(reinterpret_cast<quintptr>(info.si_addr))));
            }
        }
    }
    const int signal = out->value(QStringLiteral("signal")).toInt();
    if (signal > 0)
        out->insert(QStringLiteral("signalName"), ProcessEnd::signalName(signal));
}

struct Walk
{
    Dwfl *dwfl = nullptr;
    QElapsedTimer *clock = nullptr;
    int timeoutMs = 0;
    QJsonArray threads;
    QJsonArray frames;
    bool framesCut = false;
    bool outOfTime = false;
};

// A function's name as the debug information gives it: its linkage name, demangled, else its plain
// name. The debug information gives only the plain name for a C++ function of internal linkage (in
// an anonymous namespace, a lambda, a template of one); the function itself (not one inlined into
// it) then takes its symbol's name, which says the same function qualified: `symbol` is that
// symbol's raw name, used only when it is a C++ one and not a split-off part or clone of it.
QString dieName(Dwarf_Die *die, const char *symbol)
{
    Dwarf_Attribute attr;
    const char *name = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_linkage_name, &attr));
    if (!name)
        name = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_MIPS_linkage_name, &attr));
    if (!name && symbol && std::strncmp(symbol, "_Z", 2) == 0 && !std::strchr(symbol, '.'))
        name = symbol;
    if (!name)
        name = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_name, &attr));
    return demangled(name);
}

void setSource(QJsonObject *frame, const char *file, int line)
{
    if (!file)
        return;
    frame->insert(QStringLiteral("file"), QString::fromLocal8Bit(file));
    frame->insert(QStringLiteral("line"), line);
}

// The frames a pc stands for, innermost first: one per function the debug information says is
// inlined there (each at the line the next one in was called from), then the function itself.
// Without debug information, the one frame the symbol table names.
QVector<QJsonObject> describeFrames(Dwfl *dwfl, Dwarf_Addr pc, bool activation)
{
    // A return address points after the call; look up the call itself.
    const Dwarf_Addr lookup = activation ? pc : pc - 1;
    QJsonObject frame {{QStringLiteral("pc"), hex(pc)}};
    Dwfl_Module *module = dwfl_addrmodule(dwfl, lookup);
    if (!module)
        return {frame};
    Dwarf_Addr start = 0;
    const char *moduleName = dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
    frame.insert(QStringLiteral("module"), QFileInfo(QString::fromLocal8Bit(moduleName ? moduleName : "")).fileName());
    frame.insert(QStringLiteral("offset"), hex(pc - start));
    frame.insert(QStringLiteral("buildId"), buildId(module));
    GElf_Off offset = 0;
    GElf_Sym symbol;
    const char *rawSymbol = dwfl_module_addrinfo(module, lookup, &offset, &symbol, nullptr, nullptr, nullptr);
    const QString symbolName = demangled(rawSymbol);
    const char *file = nullptr;
    int line = 0;
    if (Dwfl_Line *source = dwfl_module_getsrc(module, lookup))
        file = dwfl_lineinfo(source, nullptr, &line, nullptr, nullptr, nullptr);

    // The innermost scope at the pc, then the DIEs it sits in: inlined functions, the function.
    QVector<QJsonObject> frames;
    Dwarf_Addr bias = 0;
    Dwarf_Die *cu = dwfl_module_addrdie(module, lookup, &bias);
    Dwarf_Die *innermost = nullptr;
    int count = cu ? dwarf_getscopes(cu, lookup - bias, &innermost) : 0;
    Dwarf_Die *scopes = nullptr;
    if (count > 0)
        count = dwarf_getscopes_die(innermost, &scopes);
    std::free(innermost);
    Dwarf_Files *files = nullptr;
    size_t fileCount = 0;
    for (int i = 0; i < count; ++i) {
        const int tag = dwarf_tag(&scopes[i]);
        if (tag != DW_TAG_inlined_subroutine && tag != DW_TAG_subprogram && tag != DW_TAG_entry_point)
            continue;
        QJsonObject f = frame;
        const QString name = dieName(&scopes[i], tag == DW_TAG_inlined_subroutine ? nullptr : rawSymbol);
        if (!name.isEmpty() || !symbolName.isEmpty())
            f.insert(QStringLiteral("function"), name.isEmpty() ? symbolName : name);
        setSource(&f, file, line);
        if (tag != DW_TAG_inlined_subroutine) {
            frames.append(f);
            break;
        }
        f.insert(QStringLiteral("inlined"), true);
        frames.append(f);
        // The caller's line is where this function was inlined.
        Dwarf_Attribute attr;
        Dwarf_Word value = 0;
        file = nullptr;
        if (dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_file, &attr), &value) == 0
            && (files || dwarf_getsrcfiles(cu, &files, &fileCount) == 0) && value < fileCount)
            file = dwarf_filesrc(files, value, nullptr, nullptr);
        line = dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_line, &attr), &value) == 0 ? int(value) : 0;
    }
    std::free(scopes);
    if (frames.isEmpty() || frames.last().value(QStringLiteral("inlined")).toBool()) {
        // No debug information here, or none for the function the inlined ones sit in. A line the
        // line table gives a pc that no function of the debug information holds (the C runtime's
        // _start, linked after a file with debug information) belongs to another function: left out.
        if (!symbolName.isEmpty())
            frame.insert(QStringLiteral("function"), symbolName);
        if (!frames.isEmpty() || !cu)
            setSource(&frame, file, line);
        frames.append(frame);
    }
    return frames;
}

int onFrame(Dwfl_Frame *state, void *arg)
{
    auto *walk = static_cast<Walk *>(arg);
    if (walk->clock->elapsed() > walk->timeoutMs) {
        walk->outOfTime = true;
        return DWARF_CB_ABORT;
    }
    if (walk->frames.size() >= kMaxFramesPerThread) {
        walk->framesCut = true;
        return DWARF_CB_ABORT;
    }
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(state, &pc, &activation))
        return DWARF_CB_ABORT;
    for (const QJsonObject &frame : describeFrames(walk->dwfl, pc, activation)) {
        if (walk->frames.size() >= kMaxFramesPerThread) {
            walk->framesCut = true;
            return DWARF_CB_ABORT;
        }
        walk->frames.append(frame);
    }
    return DWARF_CB_OK;
}

int onThread(Dwfl_Thread *thread, void *arg)
{
    auto *walk = static_cast<Walk *>(arg);
    if (walk->threads.size() >= kMaxThreads || walk->outOfTime)
        return DWARF_CB_ABORT;
    walk->frames = QJsonArray();
    walk->framesCut = false;
    QJsonObject entry {{QStringLiteral("tid"), double(dwfl_thread_tid(thread))}};
    if (dwfl_thread_getframes(thread, onFrame, walk) != 0 && !walk->framesCut && !walk->outOfTime && walk->frames.isEmpty())
        entry.insert(QStringLiteral("error"), dwflError());
    entry.insert(QStringLiteral("frames"), walk->frames);
    if (walk->framesCut)
        entry.insert(QStringLiteral("framesCut"), true);
    walk->threads.append(entry);
    return DWARF_CB_OK;
}

int onModule(Dwfl_Module *module, void **, const char *name, Dwarf_Addr start, void *arg)
{
    auto *modules = static_cast<QJsonArray *>(arg);
    if (modules->size() >= kMaxModules)
        return DWARF_CB_ABORT;
    GElf_Addr bias = 0;
    Elf *elf = dwfl_module_getelf(module, &bias);
    Dwarf_Addr end = 0;
    const char *file = nullptr;
    dwfl_module_info(module, nullptr, nullptr, &end, nullptr, nullptr, &file, nullptr);
    const QString id = buildId(module);
    QJsonObject entry {
        {QStringLiteral("name"), QString::fromLocal8Bit(name ? name : "")},
        {QStringLiteral("file"), QString::fromLocal8Bit(file ? file : "")},
        {QStringLiteral("buildId"), id},
        {QStringLiteral("codeId"), id},
        {QStringLiteral("debugId"), debugIdFromBuildId(id)},
        {QStringLiteral("start"), hex(start)},
        {QStringLiteral("end"), hex(end)},
    };
    // The file its debug information is filed under: the separate file it names, else itself.
    GElf_Word crc = 0;
    if (const char *link = elf ? dwelf_elf_gnu_debuglink(elf, &crc) : nullptr)
        entry.insert(QStringLiteral("debugFile"), QString::fromLocal8Bit(link));
    else if (file)
        entry.insert(QStringLiteral("debugFile"), QString::fromLocal8Bit(file));
    modules->append(entry);
    return DWARF_CB_OK;
}

} // namespace

QJsonObject analyze(const QString &dumpPath, const QString &executable)
{
    QElapsedTimer clock;
    clock.start();
    QJsonObject result;
    const auto failed = [&](const QString &reason) {
        return QJsonObject {{QStringLiteral("error"), reason}, {QStringLiteral("analysisMs"), double(clock.elapsed())}};
    };

    elf_version(EV_CURRENT);
    const int fd = ::open(QFile::encodeName(dumpPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failed(QStringLiteral("cannot open the dump: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    GElf_Ehdr header;
    if (!elf || elf_kind(elf) != ELF_K_ELF || !gelf_getehdr(elf, &header) || header.e_type != ET_CORE) {
        if (elf)
            elf_end(elf);
        ::close(fd);
        return failed(QStringLiteral("not an ELF core file"));
    }
    readNotes(elf, &result);

    static char *debuginfoPath = nullptr;
    static const Dwfl_Callbacks callbacks = {
        dwfl_build_id_find_elf,
        dwfl_standard_find_debuginfo,
        nullptr,
        &debuginfoPath,
    };
    Dwfl *dwfl = dwfl_begin(&callbacks);
    const QByteArray exe = QFile::encodeName(executable);
    QString error;
    if (!dwfl) {
        error = dwflError();
    } else if (dwfl_core_file_report(dwfl, elf, exe.isEmpty() ? nullptr : exe.constData()) < 0) {
        error = QStringLiteral("cannot read the modules: ") + dwflError();
    } else {
        dwfl_report_end(dwfl, nullptr, nullptr);
        QJsonArray modules;
        dwfl_getmodules(dwfl, onModule, &modules, 0);
        result.insert(QStringLiteral("modules"), modules);

        Walk walk;
        walk.dwfl = dwfl;
        walk.clock = &clock;
        walk.timeoutMs = kTimeoutMs / 2;
        if (dwfl_core_file_attach(dwfl, elf) < 0)
            error = QStringLiteral("cannot read the threads: ") + dwflError();
        else
            dwfl_getthreads(dwfl, onThread, &walk);
        if (walk.outOfTime)
            result.insert(QStringLiteral("cut"), QStringLiteral("stopped after %1 ms").arg(walk.timeoutMs));
        // The kernel writes the dumping thread's status first, but put it first whatever the order.
        const double crashing = result.value(QStringLiteral("crashingTid")).toDouble();
        QJsonArray threads;
        for (const QJsonValue &thread : qAsConst(walk.threads)) {
            QJsonObject t = thread.toObject();
            const bool isCrashing = t.value(QStringLiteral("tid")).toDouble() == crashing;
            t.insert(QStringLiteral("crashing"), isCrashing);
            if (isCrashing)
                threads.prepend(t);
            else
                threads.append(t);
        }
        result.insert(QStringLiteral("threads"), threads);
    }
    if (dwfl)
        dwfl_end(dwfl);
    elf_end(elf);
    ::close(fd);
    if (!error.isEmpty() && !result.contains(QStringLiteral("threads")))
        return failed(error);
    if (!error.isEmpty())
        result.insert(QStringLiteral("warning"), error);
    result.insert(QStringLiteral("analysisMs"), double(clock.elapsed()));
    return result;
}

QString fileBuildId(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QString();
    elf_version(EV_CURRENT);
    QString id;
    if (Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr)) {
        const void *bits = nullptr;
        const ssize_t size = dwelf_elf_gnu_build_id(elf, &bits);
        if (size > 0)
            id = QString::fromLatin1(QByteArray(static_cast<const char *>(bits), int(size)).toHex());
        elf_end(elf);
    }
    ::close(fd);
    return id;
}

} // namespace DumpReader
