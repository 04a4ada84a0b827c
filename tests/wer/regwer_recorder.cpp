// Stands in for KivRegWER.exe when a test copies it under that name beside a host: appends one line
// per start to "KivRegWER.calls" in its own folder, the compact JSON array of the arguments it got.

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    QFile calls(QCoreApplication::applicationDirPath() + QLatin1String("/KivRegWER.calls"));
    if (!calls.open(QIODevice::Append))
        return 1;
    calls.write(QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) + '\n');
    return 0;
}
