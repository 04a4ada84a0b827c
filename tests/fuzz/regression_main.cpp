// Runs a fuzz target's check over the committed seeds and regression inputs, without libFuzzer, so
// that the normal test build replays every input that once failed.
//   fuzz_regress_<target> <corpus folder>

#include <QDir>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    const QDir dir(QString::fromLocal8Bit(argc == 2 ? argv[1] : ""));
    const QStringList names = dir.entryList(QDir::Files, QDir::Name);
    if (argc != 2 || names.isEmpty()) {
        std::fprintf(stderr, "usage: %s <corpus folder with inputs>\n", argv[0]);
        return 2;
    }
    for (const QString &name : names) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            return 2;
        const QByteArray bytes = file.readAll();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    }
    std::printf("%d inputs passed\n", int(names.size()));
    return 0;
}
