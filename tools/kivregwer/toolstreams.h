#ifndef KIVREGWER_TOOLSTREAMS_H
#define KIVREGWER_TOOLSTREAMS_H

#include <QString>

// Points the tool's standard streams away from the ones it inherited from the host. One file per
// platform:
//   Unix     standard output and error onto `path` (0600, appended, never through a link, started
//            afresh past 256 KiB), or /dev/null when it cannot be opened
//   Windows  standard error onto `path`, appended (a GUI program started detached has no console)
namespace ToolStreams {

// False when nothing could be redirected (and nothing should be written then).
bool redirectTo(const QString &path);

} // namespace ToolStreams

#endif // KIVREGWER_TOOLSTREAMS_H
