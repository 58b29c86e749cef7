// j4_flash's help beyond the options: help2man makes the manual page of it.

#include "flash_help.h"

namespace j4::cli {

// The lines after the usage line: the other forms (as "or:" lines, which
// help2man makes into the man page's synopsis), then what the program does.
const char kFlashDescription[] =
    "  or:  j4_flash --check FILE [--image-out PATH]\n"
    "  or:  j4_flash --watch [--port N | --device PATH | --serial SN]... FILE\n"
    "  or:  j4_flash --list-ports [--ports-file]\n"
    "\n"
    "Sends a J4 update file (.j4u) to J4 devices over serial ports, or checks the\n"
    "file.\n"
    "A device is a port number (N as in --list-ports; 1-8 for a range), a device path\n"
    "(PATH may be rfc2217://HOST:PORT, a port served by ser2net, or rfc2217s:// over\n"
    "TLS, the server's certificate always verified) or the serial number\n"
    "of a USB adapter. --port, --device and --serial may be given several times: the\n"
    "devices are updated at once. --watch makes a station: each slot updates every\n"
    "device plugged into it, once, and waits for it to be pulled, until Ctrl+C.\n"
    "FILE - reads the update file from standard input.";

// After the options: the sections of a manual page.
const char kFlashEpilogue[] =
    "\n"
    "Exit status:\n"
    "  0    completed (on every device), or the file is valid (--check)\n"
    "  2    usage error\n"
    "  3    the file is refused or cannot be opened\n"
    "  4    the port cannot be opened\n"
    "  5    no answer, or the port failed\n"
    "  6    communication error\n"
    "  7    CRC error\n"
    "  130  interrupted (Ctrl+C, SIGTERM or SIGHUP)\n"
    "With several devices, the status of the first that failed, in the order given;\n"
    "a station's, of the first failure (130 when only a stop cut a transfer).\n"
    "\n"
    "Environment:\n"
    "  J4_PORTS          device paths or rfc2217(s)://HOST:PORT addresses, separated\n"
    "                    by ':', numbered from 1: replaces the system's list and\n"
    "                    the ports files\n"
    "  J4_UPDATE_LOG     append a JSON line per attempt to this file, as --log does\n"
    "  J4_TLS_CA         the file --tls-ca names, when it is not given\n"
    "  J4_TLS_CERT       the file --tls-cert names, when it is not given\n"
    "  J4_TLS_KEY        the file --tls-key names, when it is not given\n"
    "  J4_SERIAL_NAMES   where udev puts stable names (default /dev/serial)\n"
    "  SYSFS_PATH        where sysfs is mounted (default /sys)\n"
    "  XDG_CONFIG_HOME   the folder of the user's ports file (default ~/.config)\n"
    "\n"
    "Files:\n"
    "  /etc/j4-updater/ports                the system's ports file\n"
    "  $XDG_CONFIG_HOME/j4-updater/ports    the user's ports file, read after it\n"
    "Lines \"N PATH\" pin port number N to PATH (best a /dev/serial/by-path name,\n"
    "which stays with the USB socket); # starts a comment. The other ports follow\n"
    "the system's list.\n"
    "\n"
    "Examples:\n"
    "  j4_flash --port 1 fw.j4u\n"
    "      Update the device on port 1.\n"
    "  j4_flash --watch --port 1 --port 2 --log station.jsonl fw.j4u\n"
    "      A station of two slots: update each device plugged in, until Ctrl+C.\n"
    "  j4_flash --list-ports --ports-file > ~/.config/j4-updater/ports\n"
    "      Pin the numbers of the adapters present to their USB sockets.\n"
    "  j4_flash --tls-ca plant-ca.pem --expect-sha256 HEX \\\n"
    "           --device rfc2217s://line3:4443 fw.j4u\n"
    "      Over TLS to a verified server, and only if fw.j4u is the released file.\n";

} // namespace j4::cli
