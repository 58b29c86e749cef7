// j4_plant's help beyond the options: help2man makes the manual page of it.

#include "plant_help.h"

namespace j4::cli::plant {

// The other forms (as "or:" lines, which help2man makes into the man
// page's synopsis), what the program does, and its commands.
const char kPlantDescription[] =
    "  or:  j4_plant [--records URI] [--json] release list\n"
    "  or:  j4_plant [--records URI] [--json] assign LINE --release R --work-order WO --quantity N "
    "[--lot LOT] [--part PN] [--stop-after K/M [--stop-station]]\n"
    "  or:  j4_plant [--records URI] [--json] status [LINE]\n"
    "  or:  j4_plant [--records URI] [--json] hold LINE [--reason TEXT]\n"
    "  or:  j4_plant [--records URI] [--json] resume LINE\n"
    "  or:  j4_plant [--records URI] serve [--listen ADDRESS:PORT] [--tls-cert FILE --tls-key "
    "FILE] [--users FILE]\n"
    "The plant decides what each line flashes: the releases its stations may send,\n"
    "each line's release, work order, lot, part number and quantity, and which\n"
    "lines are held. It keeps them in the records' PostgreSQL database, where the\n"
    "stations of each line find them.\n"
    "\n"
    "Commands:\n"
    "  release add FILE  add FILE as a release; refused unless --signature, its\n"
    "                    minisign signature (FILE.minisig when not given),\n"
    "                    verifies with a key the plant trusts\n"
    "  release list      the releases added, oldest first: version, SHA-256, key\n"
    "  assign LINE       what LINE flashes from now on; the earlier assignment is\n"
    "                    kept as history\n"
    "  status [LINE]     what each line flashes, N of its quantity done, whether it\n"
    "                    is held, the stations that recorded on it\n"
    "  hold LINE         no new transfer starts on LINE's stations\n"
    "  resume LINE       LINE's stations go on\n"
    "  serve             the plant's live page: lines, stations and slots as they\n"
    "                    are now, today's yields, a unit's history, hold and\n"
    "                    resume for a supervisor, /metrics for Prometheus;\n"
    "                    until Ctrl+C";

// After the options: the sections of a manual page.
const char kPlantEpilogue[] =
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  refused by the plant's rules: a release not signed by a trusted key, an\n"
    "     unknown release or line, a line with nothing to resume\n"
    "  2  a wrong command line\n"
    "  3  the database could not be reached, or failed\n"
    "\n"
    "Environment:\n"
    "  J4_RECORDS        the database's URI, as --records gives it\n"
    "  PGPASSFILE        where libpq finds the password (default ~/.pgpass)\n"
    "  J4_TRUST_KEYS     more trusted key files, ':'-separated\n"
    "\n"
    "Files:\n"
    "  /etc/j4-updater/trusted-keys/*.pub, ~/.config/j4-updater/trusted-keys/*.pub\n"
    "                    the minisign public keys the plant trusts\n"
    "\n"
    "Examples:\n"
    "  j4_plant release add fw-2.1.0.j4u --signature fw-2.1.0.j4u.minisig\n"
    "      Add a release signed by a trusted key.\n"
    "  j4_plant assign line-3 --release 2.1.0 --work-order WO-1187 --quantity 500\n"
    "      Line 3 flashes release 2.1.0: 500 units of work order WO-1187.\n"
    "  j4_plant assign line-3 --release 2.1.0 --work-order WO-1187 --stop-after 3/10\n"
    "      The same, the line holding itself after 3 failures in its last 10 attempts.\n"
    "  j4_plant status line-3\n"
    "      What line 3 flashes, how far its work order is, and its stations.\n"
    "  j4_plant hold line-3 --reason \"fixture worn\"\n"
    "      Stop line 3's stations starting units, until it is resumed.\n"
    "  j4_plant --records postgresql://j4plant@db/j4 serve\n"
    "      The live page, on this machine only: http://127.0.0.1:8080/.\n";

} // namespace j4::cli::plant
