#include "account_name.h"

#include <QString>

#include <windows.h>

namespace j4::runs {

std::string accountName() {
    wchar_t name[257];
    DWORD length = DWORD(std::size(name));
    if (!::GetUserNameW(name, &length) || length == 0)
        return {};
    return QString::fromWCharArray(name, int(length) - 1).toStdString();
}

std::string loginName() {
    const QString user = qEnvironmentVariable("USERNAME");
    return user.isEmpty() ? accountName() : user.toStdString();
}

} // namespace j4::runs
