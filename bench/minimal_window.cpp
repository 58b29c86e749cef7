// The baseline for the start-up benchmark: the least a Qt Widgets program
// does, one window with one button, reporting as j4_updater's probe does:
// on the first idle moment, painted in full; it has nothing to settle.

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QPushButton button(QStringLiteral("Button"));
    button.show();
    QTimer::singleShot(0, [&button] {
        button.repaint();
        long pages = 0;
        long resident = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
                resident = 0;
            std::fclose(statm);
        }
        std::printf("ready rss_kib=%ld\nsettled\n", resident * 4);
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    return QApplication::exec();
}
