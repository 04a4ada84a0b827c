#ifndef OSTRELREPORT_SYMBOLIZE_H
#define OSTRELREPORT_SYMBOLIZE_H

#include <QJsonObject>
#include <QStringList>

// Names the frames of a crash report that have a module and an offset but no source line, from
// the module's binary or separated debug file, found by the module's ids and checked against them
// before use. The names come from LLVM's symbolizer (which reads DWARF in ELF and PE files alike),
// run as a child process once per file with all of its addresses, within one deadline for the whole
// report. A frame it names gets "function", "file", "line" and "symbolizedFrom" (the file); each
// inlined function at its address becomes a frame of its own before it, marked "inlined". A frame
// left unnamed says why in "notSymbolized". Nothing else in the report changes.
namespace Symbolize {

constexpr int kTimeoutMs = 60000;

struct Options
{
    QStringList debugDirs;
    QString symbolizer; // the llvm-symbolizer program; found on PATH when empty
    int timeoutMs = kTimeoutMs;
};

struct Outcome
{
    QJsonObject report; // the symbolized copy, with a "symbolized" member saying how it was made
    int named = 0;
    int unnamed = 0;
};

Outcome run(const QJsonObject &report, const Options &options);

} // namespace Symbolize

#endif // OSTRELREPORT_SYMBOLIZE_H
