#include "line_database.h"

#include "optional_module.h"

namespace j4::line {

Result<std::unique_ptr<LineDatabase>> LineDatabase::open(const std::string& url,
                                                         const std::atomic<bool>* stop) {
    static const auto loaded = []() -> Result<const LineDatabaseModule*> {
        using Entry = const LineDatabaseModule* (*)();
        const auto entry =
            moduleEntry({J4_PLANT_MODULE_BUILT, J4_PLANT_MODULE_INSTALLED}, "j4LineDatabaseModule");
        if (!entry)
            return fail("the plant's PostgreSQL module cannot be loaded (" + entry.error() +
                        "); install the j4-flash-records package");
        return reinterpret_cast<Entry>(*entry)();
    }();
    if (!loaded)
        return fail(loaded.error());
    return (*loaded)->open(url, stop);
}

Result<bool> resumeLine(const std::string& url, const std::string& line,
                        const std::atomic<bool>& stop) {
    auto database = LineDatabase::open(url, &stop);
    if (!database)
        return fail(database.error());
    return (*database)->resume(line);
}

} // namespace j4::line
