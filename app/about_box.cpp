#include "app/about_box.h"

#include <dlfcn.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <elf.h>
#include <link.h>

namespace {

// "1.0.2" from "libImgPort.so.1.0.2"; empty when the name carries no version.
QString VersionAfterSo(const QString& fileName)
{
    static const QRegularExpression pattern(QStringLiteral("\\.so\\.(\\d+(?:\\.\\d+)*)$"));
    const QRegularExpressionMatch match = pattern.match(fileName);
    return match.hasMatch() ? match.captured(1) : QString();
}

// The SONAME of the loaded library at `path`, read from its dynamic section; empty if it has none.
QString LoadedSoname(const QString& path)
{
    void* handle = ::dlopen(QFile::encodeName(path).constData(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return {};
    QString soname;
    link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_ld != nullptr) {
        ElfW(Addr) strings = 0;
        ElfW(Xword) offset = 0;
        bool named = false;
        for (const ElfW(Dyn)* entry = map->l_ld; entry->d_tag != DT_NULL; ++entry) {
            if (entry->d_tag == DT_STRTAB) strings = entry->d_un.d_ptr;
            if (entry->d_tag == DT_SONAME) {
                offset = entry->d_un.d_val;
                named = true;
            }
        }
        // The loader relocates the table's address in place on most targets; where it has not,
        // the address is still relative to the load address.
        if (strings != 0 && strings < map->l_addr) strings += map->l_addr;
        if (named && strings != 0)
            soname = QString::fromUtf8(reinterpret_cast<const char*>(strings + offset));
    }
    ::dlclose(handle);
    return soname;
}

}  // namespace

QString LibraryFileVersion(const void* symbol, QString* path)
{
    path->clear();
    Dl_info info{};
    if (symbol == nullptr || ::dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
    const QString loaded = QFile::decodeName(info.dli_fname);
    const QString resolved = QFileInfo(loaded).canonicalFilePath();
    *path = resolved.isEmpty() ? loaded : resolved;
    const QString fromName = VersionAfterSo(QFileInfo(*path).fileName());
    if (!fromName.isEmpty()) return fromName;
    return VersionAfterSo(LoadedSoname(loaded));
}

QString CaptionVersion(const QString& programVersion)
{
    QStringList parts = programVersion.split(QLatin1Char('.'));
    while (parts.size() > 3) parts.removeLast();
    return parts.join(QLatin1Char('.'));
}
