#ifndef KIVCRASHHANDLER_CAPTURE_DUMPREADER_H
#define KIVCRASHHANDLER_CAPTURE_DUMPREADER_H

#include <QJsonObject>
#include <QString>

// Reads a crash dump (on Linux the kernel's ELF core) into a plain JSON result that the report
// writer copies as it is. A dump is untrusted input: it is read in a child process of the handler
// (analyzeIsolated), so that a damaged or hostile dump that makes the reading library crash or spin
// costs a stated reason and at most kTimeoutMs, never the handler.
//
// Result members (addresses as "0x..." strings):
//   "pid", "processName"           from the dump's process notes
//   "signal", "signalName", "code", "codeName", "address" (the fault address, for the signals that
//                                   have one), "crashingTid"
//   "threads"  [{"tid", "name"?, "crashing", "frames": [{"pc", "module", "offset", "buildId",
//               "function"?, "file"?, "line"?, "inlined"?}], "framesCut"?, "error"?}], the crashing
//               thread first; an inlined function is a frame of its own with its caller's pc
//   "modules"  [{"name", "file", "buildId", "codeId", "debugId", "debugFile"?, "start", "end"}]
//   "analysisMs"
// or {"error": reason} when the dump cannot be read at all.
namespace DumpReader {

constexpr int kMaxFramesPerThread = 64;
constexpr int kMaxThreads = 256;
constexpr int kMaxModules = 1024;
constexpr int kTimeoutMs = 10000;

// In this process. `executable` helps find the main program's file; it may be empty.
QJsonObject analyze(const QString &dumpPath, const QString &executable);

// In a child process of `program` (this handler), killed after `timeoutMs`.
QJsonObject analyzeIsolated(const QString &program, const QString &dumpPath, const QString &executable, int timeoutMs = kTimeoutMs);

// The GNU build id of an ELF file (hex), or "" when it has none or cannot be read. Only the note
// is read, so it is cheap enough for a running host's executable.
QString fileBuildId(const QString &path);

// The id crash servers and symbol servers file an ELF module's debug information under, from its
// GNU build id (hex): the first 16 bytes (zero-padded) as a GUID whose first three fields are
// little-endian, "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (its appendix, 0, is not written). "" for "".
QString debugIdFromBuildId(const QString &buildId);

// The child's side: when argv asks for an analysis ("--read-dump <dump> <executable>"), runs it,
// prints the result as JSON on stdout and returns the exit code through *exitCode.
bool runChild(int argc, char **argv, int *exitCode);

} // namespace DumpReader

#endif // KIVCRASHHANDLER_CAPTURE_DUMPREADER_H
