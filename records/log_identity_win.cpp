#include "log_identity.h"

#include <io.h>
#include <windows.h>

namespace j4::records {

FileIdentity identityOf(QFile& log) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(log.handle()));
    BY_HANDLE_FILE_INFORMATION information{};
    if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &information))
        return {};
    return {information.dwVolumeSerialNumber,
            (std::uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

} // namespace j4::records
