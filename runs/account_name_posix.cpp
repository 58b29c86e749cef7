#include "account_name.h"

#include <QByteArray>
#include <QtGlobal>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace j4::runs {

std::string accountName() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? std::size_t(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return found->pw_name ? found->pw_name : std::string();
}

std::string loginName() {
    const QByteArray user = qgetenv("USER");
    return user.isEmpty() ? accountName() : user.toStdString();
}

} // namespace j4::runs
