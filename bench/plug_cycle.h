#pragma once
// What the station benchmarks share: a device plugged into a watching
// station's slot, timed to its first frame (and to its last), then pulled.

#include <QByteArray>
#include <QString>

#include <functional>

namespace j4::bench {

struct PlugTimes {
    double firstFrameMs = 0;
    double lastFrameMs = 0; // when `lastFrame` was given
};

// j4_devsim plugged in at `slot` (from `staging`), timed until it hears
// frame 1 and, when given, the frame `lastFrame` names ("transmission 200,");
// then, `endMs` later, unplugged and stopped, and the station given time to
// see it gone. `plugged` is called as soon as the device is in.
PlugTimes plugCycle(const QString& staging, const QString& slot, const QByteArray& lastFrame = {},
                    int endMs = 100, const std::function<void()>& plugged = {});

} // namespace j4::bench
