#ifndef OSTREL_DEMO_SHOW_H
#define OSTREL_DEMO_SHOW_H

class QString;

// Prints, for a demo run in workDir: the crash handler's command line, the messages it received in
// order (from its journal), the client info file and the crash report. Returns 0 when a crash
// report was found, 1 otherwise.
int showDemoRun(const QString &workDir);

#endif // OSTREL_DEMO_SHOW_H
