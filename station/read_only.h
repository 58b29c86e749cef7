#pragma once
// Whether the system's root is mounted read-only for this program, as a
// service's sandbox makes it (systemd's ProtectSystem=strict): what the
// station itself writes is given to it, what its result command writes is
// not, and the station says so at its start rather than each hook failing.

namespace j4::station {

bool rootIsReadOnly();

} // namespace j4::station
