#include "users_file.h"

#include <crypt.h>
#include <gnutls/crypto.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string_view>

namespace j4::plant {
namespace {

// Only hashes that are slow to guess: DES takes the first 8 characters and
// any junk after them, MD5 and the like are guessed by the billion a second.
bool modernHash(std::string_view hash) {
    constexpr std::array<std::string_view, 5> kModern = {"$y$", "$6$", "$2b$", "$2y$", "$2a$"};
    for (const std::string_view prefix : kModern)
        if (hash.starts_with(prefix))
            return true;
    return false;
}

Result<Done> readable(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error || !fs::exists(status))
        return fail(path + ": the users file cannot be read");
    if (fs::is_directory(status))
        return fail(path + ": is a folder, not a users file");
    // It holds password hashes: kept from other users, as keys are.
    if ((status.permissions() & fs::perms::others_read) != fs::perms::none)
        return fail(path + ": other users may read it, and it holds password hashes; chmod o-r " +
                    path);
    return Done{};
}

} // namespace

// The name and password pairs found right lately, by their SHA-256 (the
// passwords themselves are not kept), each for kRemembered; a wrong one is
// hashed every time.
struct UsersFile::Verified {
    static constexpr auto kRemembered = std::chrono::minutes(10);
    static constexpr std::size_t kMost = 4096;
    std::mutex mutex;
    std::map<std::string, std::chrono::steady_clock::time_point> until;
    std::atomic<std::uint64_t> hashes{0};
};

Result<UsersFile> UsersFile::read(const std::string& path) {
    if (auto usable = readable(path); !usable)
        return fail(usable.error());
    std::ifstream in(path);
    if (!in)
        return fail(path + ": the users file cannot be read");
    UsersFile file;
    file.verified_ = std::make_shared<Verified>();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') // written on Windows
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        const std::string role = second == std::string::npos
                                     ? std::string()
                                     : line.substr(first + 1, second - first - 1);
        if (second == std::string::npos || (role != "viewer" && role != "supervisor"))
            return fail(path + ":" + std::to_string(number) + ": not NAME:viewer|supervisor:HASH");
        const std::string hash = line.substr(second + 1);
        if (!modernHash(hash))
            return fail(path + ":" + std::to_string(number) + ": " + line.substr(0, first) +
                        "'s hash is not yescrypt, SHA-512 crypt or bcrypt: make one with "
                        "mkpasswd -m yescrypt");
        file.users_[line.substr(0, first)] = {role == "viewer" ? Role::Viewer : Role::Supervisor,
                                              hash};
    }
    if (file.users_.empty())
        return fail(path + ": holds no user: add NAME:viewer|supervisor:HASH lines (mkpasswd -m "
                           "yescrypt makes the hash)");
    return file;
}

namespace {

std::string pairKey(const std::string& name, const std::string& password) {
    const std::string pair = name + '\0' + password;
    std::string digest(32, '\0');
    gnutls_hash_fast(GNUTLS_DIG_SHA256, pair.data(), pair.size(), digest.data());
    return digest;
}

} // namespace

std::optional<Role> UsersFile::check(const std::string& name, const std::string& password) const {
    const auto user = users_.find(name);
    if (user == users_.end() || user->second.hash.empty())
        return std::nullopt;
    const std::string key = pairKey(name, password);
    const auto now = std::chrono::steady_clock::now();
    {
        const std::lock_guard lock(verified_->mutex);
        if (const auto found = verified_->until.find(key);
            found != verified_->until.end() && found->second > now)
            return user->second.role;
    }
    ++verified_->hashes;
    auto data = std::make_unique<crypt_data>();
    const char* made = crypt_r(password.c_str(), user->second.hash.c_str(), data.get());
    if (made == nullptr || made[0] == '*' || user->second.hash != made)
        return std::nullopt;
    const std::lock_guard lock(verified_->mutex);
    if (verified_->until.size() >= Verified::kMost)
        std::erase_if(verified_->until, [&](const auto& entry) { return entry.second <= now; });
    if (verified_->until.size() < Verified::kMost)
        verified_->until[key] = now + Verified::kRemembered;
    return user->second.role;
}

std::uint64_t UsersFile::hashesComputed() const {
    return verified_->hashes;
}

} // namespace j4::plant
