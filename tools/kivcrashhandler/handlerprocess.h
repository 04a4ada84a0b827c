#ifndef KIVCRASHHANDLER_HANDLERPROCESS_H
#define KIVCRASHHANDLER_HANDLERPROCESS_H

// What the handler does to its own process before it serves the host. One file per platform:
//   Unix     SIGPIPE ignored; standard streams pointed at /dev/null
//   Windows  nothing to ignore (a write on a broken pipe fails with an error); the standard
//            streams and handles pointed at NUL
namespace HandlerProcess {

// A host that dies mid-write must not take the handler with it.
void ignoreBrokenPipes();

// The standard streams are the host's (a terminal, its log file): nothing of the handler, Qt's own
// warnings included, belongs there.
void leaveHostStreams();

} // namespace HandlerProcess

#endif // KIVCRASHHANDLER_HANDLERPROCESS_H
