#pragma once
// Who may see the plant's page and who may hold its lines: a file of
// "name:role:hash" lines, the hash crypt(3)'s (yescrypt, SHA-512 crypt or
// bcrypt, as mkpasswd(1) makes them; older kinds refused), checked by the
// system's own crypt. The file must not be readable by other users. A
// password that was right is not hashed again for a while: a wall of pages
// and a scraper asking every few seconds cost no hash each.

#include "result.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace j4::plant {

enum class Role { Viewer, Supervisor };

class UsersFile {
public:
    static Result<UsersFile> read(const std::string& path);
    // The role of the user whose password this is; none otherwise.
    std::optional<Role> check(const std::string& name, const std::string& password) const;
    // How many passwords were hashed to be checked, since the start.
    std::uint64_t hashesComputed() const;

private:
    struct User {
        Role role;
        std::string hash;
    };
    std::map<std::string, User> users_;
    struct Verified;
    std::shared_ptr<Verified> verified_;
};

} // namespace j4::plant
