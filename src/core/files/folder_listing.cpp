// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "files/folder_listing.h"

#include "files/names.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace files {

QList<Entry> listFolder(const QByteArray& folder, EntryKind kind)
{
    QList<Entry> entries;
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return entries;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        bool wanted = kind == EntryKind::Files ? e->d_type == DT_REG : e->d_type == DT_DIR;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st {};
            wanted = ::fstatat(::dirfd(dir), e->d_name, &st, 0) == 0 &&
                     (kind == EntryKind::Files ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode));
        }
        if (wanted) {
            const QByteArray name(e->d_name);
            entries.append({name, shown(name)});
        }
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        const int order = a.shown.compare(b.shown, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a.name < b.name;
    });
    return entries;
}

QByteArray joined(const QByteArray& folder, const QByteArray& name)
{
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

QByteArray absolutePath(const QByteArray& path)
{
    QByteArray full = path;
    if (!full.startsWith('/')) {
        // A working folder removed since gives nothing to stand on: the root it is.
        QByteArray here(4096, '\0');
        const char* cwd = nullptr;
        while (!(cwd = ::getcwd(here.data(), size_t(here.size()))) && errno == ERANGE)
            here.fill('\0', here.size() * 2);
        full = (cwd ? QByteArray(cwd) : QByteArray()) + '/' + full;
    }
    QList<QByteArray> kept;
    for (const QByteArray& part : full.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            if (!kept.isEmpty())
                kept.removeLast();
            continue;
        }
        kept.append(part);
    }
    return '/' + kept.join('/');
}

bool isFolder(const QByteArray& path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace files
