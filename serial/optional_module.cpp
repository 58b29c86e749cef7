#include "optional_module.h"

#include <QLibrary>

namespace j4 {

Result<QFunctionPointer> moduleEntry(std::initializer_list<const char*> paths, const char* symbol) {
    QString why;
    for (const char* path : paths) {
        QLibrary library(QString::fromUtf8(path));
        if (const QFunctionPointer entry = library.resolve(symbol))
            return entry; // QLibrary unloads only when asked
        why = library.errorString();
    }
    return fail(why.toStdString());
}

} // namespace j4
