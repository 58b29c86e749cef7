#include "record_database.h"

#include <QCoreApplication>
#include <QLibrary>

namespace j4::runs {
namespace {

// The module, loaded once: where the build left it (a build tree's programs
// never take an older installed one), else where the package put it; why
// not, as a sentence, when it cannot be.
Result<const RecordDatabaseModule*> module() {
    static const auto loaded = []() -> Result<const RecordDatabaseModule*> {
        using Entry = const RecordDatabaseModule* (*)();
        QString why;
        for (const char* path : {J4_RECORDS_MODULE_BUILT, J4_RECORDS_MODULE_INSTALLED}) {
            QLibrary library(QString::fromUtf8(path));
            if (const auto entry =
                    reinterpret_cast<Entry>(library.resolve("j4RecordDatabaseModule")))
                return entry();          // stays loaded: QLibrary unloads only when asked
            why = library.errorString(); // the installed one's, said last
        }
        return fail("the PostgreSQL client module cannot be loaded (" + why.toStdString() +
                    "); install the j4-flash package");
    }();
    return loaded;
}

} // namespace

Result<Done> checkRecordsAddress(const std::string& url) {
    const auto loaded = module();
    if (!loaded)
        return fail("--records: " + loaded.error());
    return (*loaded)->checkAddress(url);
}

Result<std::unique_ptr<RecordDatabase>>
RecordDatabase::open(const std::string& url, const std::atomic<bool>* stop, Bounds bounds) {
    const auto loaded = module();
    if (!loaded)
        return fail(loaded.error());
    return (*loaded)->open(url, stop, bounds);
}

} // namespace j4::runs
