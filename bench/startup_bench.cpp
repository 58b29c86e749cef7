// Start-up of the real window against a minimal Qt Widgets program (one
// window, one button), launched in turn so that drift on a shared machine
// hits both alike: time from launch to the window shown, the event loop idle
// and the window painted in full ("ready"), and the resident memory then;
// and, for the real window, to its ports listed ("settled"). The target is
// the median of the launch pairs' ratios. Run it under a display
// (bench/run_startup_bench.sh uses Xvfb).

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Launches {
    std::vector<double> millis;
    std::vector<double> settledMillis;
    std::vector<long> residentKib;

    static double median(std::vector<double>& values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }
    double median() { return median(millis); }
    double settledMedian() { return median(settledMillis); }
    double maxResidentMb() const {
        return static_cast<double>(*std::max_element(residentKib.begin(), residentKib.end())) /
               1024.0;
    }
};

// As an operator's window starts: a file remembered from the last run, and
// ports to list by name.
QProcessEnvironment operatorsEnvironment(const QTemporaryDir& home) {
    QDir().mkpath(home.filePath(QStringLiteral("j4-updater")));
    QFile file(home.filePath(QStringLiteral("last.j4u")));
    if (file.open(QIODevice::WriteOnly))
        file.write("0000\n");
    file.close();
    QSettings settings(home.filePath(QStringLiteral("j4-updater/j4_updater.conf")),
                       QSettings::IniFormat);
    settings.setValue(QStringLiteral("lastFile"), file.fileName());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    environment.insert(QStringLiteral("J4_PORTS"), QStringLiteral("/dev/null:/dev/zero:/dev/tty"));
    return environment;
}

bool launch(const QString& program, Launches* into) {
    static const QTemporaryDir home;
    QProcess process;
    QProcessEnvironment environment = operatorsEnvironment(home);
    environment.insert(QStringLiteral("J4_STARTUP_PROBE"), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    process.start(program);
    if (!process.waitForReadyRead(10000))
        return false;
    const double elapsed = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    const QByteArray line = process.readLine();
    while (!process.canReadLine() && process.waitForReadyRead(10000)) {
    }
    const double settled = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    if (process.readLine().trimmed() != "settled")
        return false;
    process.waitForFinished();
    if (into != nullptr) {
        into->millis.push_back(elapsed);
        into->settledMillis.push_back(settled);
        into->residentKib.push_back(line.mid(line.indexOf('=') + 1).trimmed().toLong());
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString updater = QStringLiteral(J4_UPDATER_PATH);
    const QString minimal = QStringLiteral(J4_MINIMAL_WINDOW_PATH);
    constexpr int kRuns = 100;
    // The first launch of each warms the file cache.
    if (!launch(updater, nullptr) || !launch(minimal, nullptr))
        return std::fprintf(stderr, "a program gave no sign of life\n"), 1;
    Launches ours, baseline;
    for (int i = 0; i < kRuns; ++i) {
        if (!launch(updater, &ours) || !launch(minimal, &baseline))
            return std::fprintf(stderr, "a program gave no sign of life\n"), 1;
    }
    // Each launch of ours against the baseline's launch right after it: the
    // machine's drift (another tenant, a busy disk) hits a pair alike.
    std::vector<double> pairRatios;
    for (std::size_t i = 0; i < ours.millis.size(); ++i)
        pairRatios.push_back(ours.millis[i] / baseline.millis[i]);
    const double pairedRatio = Launches::median(pairRatios);
    const double oursMedian = ours.median();
    const double baselineMedian = baseline.median();
    std::printf("runs: %d each, interleaved\n", kRuns);
    std::printf("j4_updater:     median %.1f ms, max %.1f ms, resident max %.1f MB\n", oursMedian,
                ours.millis.back(), ours.maxResidentMb());
    std::printf("minimal window: median %.1f ms, max %.1f ms, resident max %.1f MB\n",
                baselineMedian, baseline.millis.back(), baseline.maxResidentMb());
    std::printf("ratio of the medians j4_updater/minimal: %.2f\n", oursMedian / baselineMedian);
    std::printf("median ratio of launch pairs j4_updater/minimal: %.2f (target <= 1.1); resident "
                "target < 60 MB\n",
                pairedRatio);
    std::printf("j4_updater's ports listed (off the UI thread): median %.1f ms after launch, "
                "%.1f ms after the window\n",
                ours.settledMedian(), ours.settledMedian() - oursMedian);
    return 0;
}
