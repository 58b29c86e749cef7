#pragma once
// Which file an open log is, beyond its name: a log rotated away (renamed,
// a new one made under the old name) is another file.

#include <QFile>

#include <cstdint>

namespace j4::records {

struct FileIdentity {
    std::uint64_t device = 0; // the file system (a volume's serial on Windows)
    std::uint64_t inode = 0;  // the file in it (its file index on Windows)
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the file `log` has open; zeros when it cannot be told.
FileIdentity identityOf(QFile& log);

} // namespace j4::records
