#include "moduleids.h"

#include <QFile>

#include <elfutils/libdwelf.h>
#include <gelf.h>

#include <fcntl.h>
#include <unistd.h>

#include <limits>

bool readElfIds(const QString &path, FileIds *ids)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ids->error = QStringLiteral("it cannot be opened");
        return false;
    }
    elf_version(EV_CURRENT);
    Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    size_t headers = 0;
    if (!elf || elf_getphdrnum(elf, &headers) != 0) {
        ids->error = QStringLiteral("its ELF headers cannot be read");
    } else {
        const void *bits = nullptr;
        const ssize_t size = dwelf_elf_gnu_build_id(elf, &bits);
        if (size > 0)
            ids->buildId = QString::fromLatin1(QByteArray(static_cast<const char *>(bits), int(size)).toHex());
        else
            ids->error = QStringLiteral("it has no build id");
        quint64 lowest = std::numeric_limits<quint64>::max();
        for (size_t i = 0; i < headers && i < 4096; ++i) {
            GElf_Phdr header;
            if (gelf_getphdr(elf, int(i), &header) && header.p_type == PT_LOAD)
                lowest = qMin<quint64>(lowest, header.p_vaddr);
        }
        ids->loadBase = lowest == std::numeric_limits<quint64>::max() ? 0 : lowest & ~quint64(0xfff);
    }
    if (elf)
        elf_end(elf);
    ::close(fd);
    return ids->error.isEmpty();
}
