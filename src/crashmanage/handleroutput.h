#ifndef OSTREL_HANDLEROUTPUT_H
#define OSTREL_HANDLEROUTPUT_H

#include <QStringList>

class QByteArray;

// Cuts what the crash handler wrote into the lines that get logged: pieces up to and including each
// CR (the last piece runs to the end), trimmed, empty ones skipped. Data without any CR gives no line.
QStringList handlerOutputLines(const QByteArray &data);

#endif // OSTREL_HANDLEROUTPUT_H
