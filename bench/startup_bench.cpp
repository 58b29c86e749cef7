// Start-up of the real window: time from launching j4_updater to its window
// shown and the event loop idle, and the resident memory then. Run it under
// a display (bench/run_startup_bench.sh uses Xvfb).

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString program = QStringLiteral(J4_UPDATER_PATH);
    constexpr int kRuns = 20;
    std::vector<double> millis;
    std::vector<long> residentKib;
    for (int i = 0; i < kRuns + 1; ++i) {
        QProcess updater;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("J4_STARTUP_PROBE"), QStringLiteral("1"));
        updater.setProcessEnvironment(environment);
        QElapsedTimer clock;
        clock.start();
        updater.start(program);
        if (!updater.waitForReadyRead(10000))
            return std::fprintf(stderr, "j4_updater gave no sign of life\n"), 1;
        const double elapsed = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        const QByteArray line = updater.readLine();
        updater.waitForFinished();
        if (i == 0)
            continue; // the first run warms the file cache
        millis.push_back(elapsed);
        residentKib.push_back(line.mid(line.indexOf('=') + 1).trimmed().toLong());
    }
    std::sort(millis.begin(), millis.end());
    std::printf("runs: %d\n", kRuns);
    std::printf("start to window shown and idle: median %.1f ms, max %.1f ms (target < 300 ms)\n",
                millis[millis.size() / 2], millis.back());
    std::printf("resident memory then: max %.1f MB (target < 60 MB)\n",
                static_cast<double>(*std::max_element(residentKib.begin(), residentKib.end())) /
                    1024.0);
    return 0;
}
