#include "line_database.h"

namespace j4::plant {

// Debian has no libpq for MinGW: a Windows station cannot follow a line yet.
Result<std::unique_ptr<LineDatabase>> LineDatabase::open(const std::string&,
                                                         const std::atomic<bool>*) {
    return fail(std::string("this build cannot reach the plant's database"));
}

} // namespace j4::plant
