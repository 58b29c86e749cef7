#include "processes.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QThread>

#include <stdexcept>

namespace j4::testing {

QString devsimPath() {
    return QStringLiteral(J4_DEVSIM_PATH);
}
QString flashPath() {
    return QStringLiteral(J4_FLASH_PATH);
}

DevSim::DevSim(const QStringList& options) : process_(std::make_unique<QProcess>()) {
    QStringList arguments{QStringLiteral("--link"), device(), QStringLiteral("--capture"),
                          dir_.filePath(QStringLiteral("capture.bin"))};
    arguments += options;
    process_->start(devsimPath(), arguments);
    QElapsedTimer clock;
    clock.start();
    // Ready once the link exists (it is made after the device is set up).
    while (!QFileInfo::exists(device())) {
        if (clock.elapsed() > 10000 || process_->state() == QProcess::NotRunning)
            throw std::runtime_error("j4_devsim did not start: " +
                                     process_->readAllStandardError().toStdString());
        QThread::msleep(5);
    }
}

DevSim::~DevSim() {
    stop();
}

QByteArray DevSim::capture() const {
    QFile file(dir_.filePath(QStringLiteral("capture.bin")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString DevSim::stop() {
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate();
        process_->waitForFinished(5000);
    }
    return waitForExit();
}

QString DevSim::waitForExit(int ms) {
    if (process_->state() != QProcess::NotRunning)
        process_->waitForFinished(ms);
    if (summary_.isEmpty())
        summary_ = QString::fromUtf8(process_->readAllStandardError()).trimmed();
    return summary_;
}

QString ProgramResult::lastLine() const {
    for (const QString* text : {&err, &out}) {
        const QStringList lines = text->split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (!lines.isEmpty())
            return lines.last().trimmed();
    }
    return {};
}

ProgramResult runProgram(const QString& program, const QStringList& arguments,
                         const QStringList& extraEnvironment, int timeoutMs) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : extraEnvironment) {
        const auto eq = entry.indexOf(QLatin1Char('='));
        environment.insert(entry.left(eq), entry.mid(eq + 1));
    }
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    ProgramResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    result.elapsedMs = clock.elapsed();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

} // namespace j4::testing
