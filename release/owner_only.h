#pragma once
// Files a station takes orders from (its profile, which names the command
// it runs; a trusted key, which decides what reaches the devices) are used
// only when no other user can change them: the check ssh makes of a key.

#include "result.h"

#include <string>

namespace j4::release {

// Done when only the file's owner (this user or root) can write the file
// and replace it in its folder; otherwise why not, with the command that
// puts it right. A file that cannot be looked at passes: opening it says why.
Result<Done> onlyOwnerCanChange(const std::string& path);

} // namespace j4::release
