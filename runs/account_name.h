#pragma once
// Who runs the program when no operator is named: the login's name as the
// session gives it (USER, USERNAME), else the account's own (a service has
// no login session: systemd sets no USER, and a DynamicUser is named only
// by the system's user database).

#include <string>

namespace j4::runs {

// The account's name from the system's user database; empty if it has none.
std::string accountName();

// USER (USERNAME on Windows) when set, else accountName().
std::string loginName();

} // namespace j4::runs
