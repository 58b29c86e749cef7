// j4_flash: the updater from the command line. All of its logic is the
// command-line library's; this is the process around it.

#include "flash_command.h"
#include "j4_version.h"

#include <QCoreApplication>

#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("j4_flash"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(j4::kVersion));
    j4::cli::FlashContext context;
    // A terminal that cannot move its cursor (TERM=dumb, an editor's shell)
    // gets the plain lines.
    context.errIsTerminal = ::isatty(STDERR_FILENO) != 0 && qgetenv("TERM") != "dumb";
    return j4::cli::runFlash({argv, argv + argc}, context);
}
