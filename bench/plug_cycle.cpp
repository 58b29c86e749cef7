#include "plug_cycle.h"

#include "processes.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

namespace j4::bench {

PlugTimes plugCycle(const QString& staging, const QString& slot, const QByteArray& lastFrame,
                    int endMs, const std::function<void()>& plugged) {
    QElapsedTimer clock;
    const auto process = j4::testing::plugDevSim(staging, slot, clock);
    if (plugged)
        plugged();
    QProcess& device = *process;
    QByteArray said;
    PlugTimes times;
    const auto now = [&] { return static_cast<double>(clock.nsecsElapsed()) / 1e6; };
    while (clock.elapsed() < 20000) {
        device.waitForReadyRead(1);
        said += device.readAllStandardError();
        if (times.firstFrameMs == 0 && said.contains("transmission 1,"))
            times.firstFrameMs = now();
        if (lastFrame.isEmpty() ? times.firstFrameMs > 0 : said.contains(lastFrame))
            break;
    }
    times.lastFrameMs = now();
    QThread::msleep(static_cast<unsigned long>(endMs)); // the attempt ends and is logged
    QFile::remove(slot);
    device.terminate();
    device.waitForFinished();
    QThread::msleep(100); // the station sees it gone
    return times;
}

} // namespace j4::bench
