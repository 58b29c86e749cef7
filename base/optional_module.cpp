#include "optional_module.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>

namespace j4 {

Result<QFunctionPointer> moduleEntry(std::initializer_list<const char*> paths, const char* symbol) {
    QString why;
    for (const char* path : paths) {
        if (*path == '\0')
            continue; // no build tree's copy (Windows)
        // A bare name is beside the program, never wherever the system's
        // search for libraries would find one of that name.
        const QString name = QString::fromUtf8(path);
        QLibrary library(QDir::isRelativePath(name)
                             ? QCoreApplication::applicationDirPath() + QLatin1Char('/') + name
                             : name);
        if (const QFunctionPointer entry = library.resolve(symbol))
            return entry; // QLibrary unloads only when asked
        why = library.errorString();
    }
    return fail(why.toStdString());
}

} // namespace j4
