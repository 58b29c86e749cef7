// j4_plant: the plant decides what each line flashes. All of its logic is
// the plant command line's; this is the process around it.

#include "plant_command.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("j4_plant"));
    return j4::cli::plant::runPlant({argv, argv + argc}, stdout, stderr);
}
