#pragma once
// Who may see the plant's page and who may hold its lines: a file of
// "name:role:hash" lines, the hash crypt(3)'s (yescrypt, SHA-512 crypt or
// bcrypt, as mkpasswd(1) makes them; older kinds refused), checked by the
// system's own crypt. The file must not be readable by other users.

#include "result.h"

#include <map>
#include <optional>
#include <string>

namespace j4::plant {

enum class Role { Viewer, Supervisor };

class UsersFile {
public:
    static Result<UsersFile> read(const std::string& path);
    // The role of the user whose password this is; none otherwise.
    std::optional<Role> check(const std::string& name, const std::string& password) const;

private:
    struct User {
        Role role;
        std::string hash;
    };
    std::map<std::string, User> users_;
};

} // namespace j4::plant
