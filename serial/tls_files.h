#pragma once
// The TLS files a station is given, checked before gensio sees them: a key
// that would make OpenSSL prompt on the terminal is refused, a key others
// may read is warned of, and an authority's bundle becomes a hashed folder
// (gensio crashes while loading a bundle as large as Debian's).

#include "result.h"

#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>

namespace j4 {

// Whether the key in `path` can be used without asking anyone for a
// passphrase (or OpenSSL will say itself what is wrong with it).
Result<Done> checkKey(const std::string& path);

// A warning, the first time in this process that a key file others may read
// is used; empty otherwise.
std::string keyPermissionNote(const std::string& path);

// Where gensio finds the authorities of `caFile` (a PEM file or a folder):
// a folder's path with its trailing slash, or `store`, made into a hashed
// folder of the file's certificates; refused when the file holds no
// certificate or cannot be read.
Result<std::string> authorityFolder(const std::string& caFile,
                                    std::unique_ptr<QTemporaryDir>& store);

} // namespace j4
