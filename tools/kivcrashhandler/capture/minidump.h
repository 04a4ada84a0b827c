#ifndef KIVCRASHHANDLER_CAPTURE_MINIDUMP_H
#define KIVCRASHHANDLER_CAPTURE_MINIDUMP_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <vector>

// A reader of the documented minidump format (the file Windows Error Reporting and
// MiniDumpWriteDump write): the header, the stream directory, and the exception, thread list,
// module list, system info and misc info streams. Portable, so it is built and fuzzed on Linux too.
// The bytes are untrusted: every read is bounds-checked and copied out; nothing is cast in place.
//
// The result has the shape of DumpReader's (addresses as "0x..." strings):
//   "pid"                          from the misc info stream, when it has one
//   "exceptionCode" "0xC0000005", "exceptionName", "exceptionAddress", "crashingTid"
//   "access" ("reading", "writing", "executing") and "address" for an access violation or in-page
//   error: the data address the access was made to
//   "faultingModule", "faultingOffset" the module the exception address lies in, and where
//   "threads"  [{"tid", "crashing", "frames": [{"pc", "module"?, "offset"?}]}], the crashing thread
//              first with the exception address as its frame; the others with their context's pc
//   "modules"  [{"name", "file", "buildId", "codeId", "debugId", "debugFile", "start", "end",
//               "timestamp", "version"?}]
//   "system"   {"cpu", "os"}
// or {"error": "dump unreadable: <reason>"}.
namespace Minidump {

QJsonObject read(const QByteArray &dump);

// Memory the dump holds: `size` bytes of the process's memory at `address`, at `offset` in the file.
struct MemoryRange
{
    quint64 address = 0;
    quint64 offset = 0;
    quint64 size = 0;
};

// A thread of the thread list and its CONTEXT record (raw bytes).
struct ThreadContext
{
    quint32 tid = 0;
    QByteArray context;
};

// What walking the threads' stacks needs: the exception's CONTEXT record (raw bytes), each listed
// thread's own (at most DumpReader::kMaxThreads, in the list's order) and the memory ranges of the
// memory list streams, each checked to lie inside the file; or why the crashing thread's stack
// cannot be walked.
struct Stacks
{
    QByteArray context;
    std::vector<ThreadContext> threads;
    std::vector<MemoryRange> memory;
    QString error;
};
Stacks stacks(const QByteArray &dump);

// A Windows exception code's name ("EXCEPTION_ACCESS_VIOLATION"), or "" for a code without one.
QString knownExceptionName(quint32 code);
// The name, or "exception 0xE0000001" for a code without one.
QString exceptionName(quint32 code);
// "0xC0000005".
QString codeText(quint32 code);

// The CodeView id of a PE image (its PDB's GUID and age, as symbol servers file them:
// 32 hex digits then the age in hex), or "" when the image has none or is not a PE.
QString codeViewId(const QByteArray &image);

// A module's ids as symbol servers and crash servers file them: the code id (the image's
// TimeDateStamp as 8 hex digits, then its SizeOfImage in hex), the debug id (the CodeView GUID,
// "-", its age in hex: "1f2e3d4c-5b6a-7988-a0b1-c2d3e4f5a6b7-1") and the debug file (the PDB name
// the record gives, "" when none).
struct DebugIds
{
    QString codeId;
    QString debugId;
    QString debugFile;
};
DebugIds codeViewIds(const QByteArray &record);
QString codeId(quint32 timestamp, quint32 sizeOfImage);
// Of a PE image's bytes; all empty when it is not a PE, no debug id when it has no CodeView record.
DebugIds imageIds(const QByteArray &image);

} // namespace Minidump

#endif // KIVCRASHHANDLER_CAPTURE_MINIDUMP_H
