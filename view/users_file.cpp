#include "users_file.h"

#include <crypt.h>

#include <fstream>
#include <memory>

namespace j4::view {

Result<UsersFile> UsersFile::read(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return fail(path + ": the users file cannot be read");
    UsersFile file;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        const std::string role = second == std::string::npos
                                     ? std::string()
                                     : line.substr(first + 1, second - first - 1);
        if (second == std::string::npos || (role != "viewer" && role != "supervisor"))
            return fail(path + ":" + std::to_string(number) + ": not NAME:viewer|supervisor:HASH");
        file.users_[line.substr(0, first)] = {role == "viewer" ? Role::Viewer : Role::Supervisor,
                                              line.substr(second + 1)};
    }
    return file;
}

std::optional<Role> UsersFile::check(const std::string& name, const std::string& password) const {
    const auto user = users_.find(name);
    if (user == users_.end() || user->second.hash.empty())
        return std::nullopt;
    auto data = std::make_unique<crypt_data>();
    const char* made = crypt_r(password.c_str(), user->second.hash.c_str(), data.get());
    if (made == nullptr || made[0] == '*' || user->second.hash != made)
        return std::nullopt;
    return user->second.role;
}

} // namespace j4::view
