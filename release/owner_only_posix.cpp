#include "owner_only.h"

#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace j4::release {
namespace {

bool ownedByUsOrRoot(const struct stat& status) {
    return status.st_uid == 0 || status.st_uid == ::geteuid();
}

} // namespace

Result<Done> onlyOwnerCanChange(const std::string& path) {
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0)
        return Done{};
    if (!ownedByUsOrRoot(file))
        return fail("it belongs to another user (" + std::to_string(file.st_uid) +
                    "): let root or this station's user own it (chown)");
    if (file.st_mode & (S_IWGRP | S_IWOTH))
        return fail("other users can write it: run chmod go-w " + path);
    // A folder others can write lets them replace the file, unless its
    // sticky bit keeps each user to their own files (as /tmp's does).
    const std::string folder =
        QFileInfo(QString::fromLocal8Bit(path.c_str())).absolutePath().toLocal8Bit().toStdString();
    struct stat parent {};
    if (::stat(folder.c_str(), &parent) != 0)
        return Done{};
    if (!ownedByUsOrRoot(parent) && !(parent.st_mode & S_ISVTX))
        return fail("its folder " + folder + " belongs to another user (" +
                    std::to_string(parent.st_uid) + ")");
    if ((parent.st_mode & (S_IWGRP | S_IWOTH)) && !(parent.st_mode & S_ISVTX))
        return fail("other users can replace it in its folder: run chmod go-w " + folder);
    return Done{};
}

} // namespace j4::release
