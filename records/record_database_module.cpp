#include "record_database.h"

#include "optional_module.h"

namespace j4::records {
namespace {

// The module, loaded once; why not, as a sentence, when it cannot be.
Result<const RecordDatabaseModule*> module() {
    static const auto loaded = []() -> Result<const RecordDatabaseModule*> {
        using Entry = const RecordDatabaseModule* (*)();
        const auto entry = moduleEntry({J4_RECORDS_MODULE_BUILT, J4_RECORDS_MODULE_INSTALLED},
                                       "j4RecordDatabaseModule");
        if (!entry)
            return fail("the PostgreSQL client module cannot be loaded (" + entry.error() +
                        "); install the j4-flash-records package");
        return reinterpret_cast<Entry>(*entry)();
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

} // namespace j4::records
