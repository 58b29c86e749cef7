#pragma once
// What the plant's tests share: a fixture beside the test's PostgreSQL with
// j4_plant and a signing key, and a line station (j4_flash --watch --line)
// whose output the test reads.

#include "processes.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

namespace j4::testing::plant {

using j4::testing::ProgramResult;

class Plant : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("PGPORT"))
            GTEST_SKIP() << "not beside a PostgreSQL server (tests/support/with_postgres.sh)";
        database.dropRecords();
        QDir().mkpath(keys);
    }
    // j4_plant with the test's database, its own configuration folder (no
    // trusted key of the machine's user) and ARGUMENTS.
    ProgramResult plant(QStringList arguments) const {
        arguments.prepend(database.url());
        arguments.prepend("--records");
        return j4::testing::runProgram(J4_PLANT, arguments,
                                       {"XDG_CONFIG_HOME=" + dir.filePath("config")});
    }
    QString release(const QString& name, int variant) const {
        return j4::testing::writeUpdateFile(dir.filePath(name),
                                            j4::testing::makeImage(3 + variant, 16));
    }

    QTemporaryDir dir;
    QString keys = dir.filePath("keys");
    j4::testing::TestDatabase database;
    j4::testing::Minisign plantKey{(QDir().mkpath(keys), keys), "plant"};
};

class LineStation {
public:
    LineStation(const QString& folder, const QString& name, const QString& url,
                const QString& trustKey, const QString& line, const QStringList& more = {})
        : folder_(folder + "/" + name), name_(name) {
        QDir().mkpath(folder_);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_STATE_HOME", folder_ + "/state");
        environment.insert("XDG_CONFIG_HOME", folder_ + "/config");
        process_.setProcessEnvironment(environment);
        process_.start(J4_FLASH,
                       QStringList{"--watch", "--line", line, "--records", url, "--device", slot(),
                                   "--trust-key", trustKey, "--log", log(), "--station-id", name} +
                           more);
    }
    ~LineStation() {
        process_.kill();
        process_.waitForFinished(10000);
    }
    QString slot() const { return folder_ + "/slot"; }
    QString log() const { return folder_ + "/station.jsonl"; }
    // How often any of `texts` was said so far.
    int count(const QStringList& texts) const {
        int times = 0;
        for (const QString& text : texts)
            times += int(out_.count(text));
        return times;
    }
    // Reads until any of `texts` was said `times` times in all, or a
    // generous bound.
    bool said(const QStringList& texts, int times = 1, int bound = 60000) {
        QElapsedTimer clock;
        clock.start();
        while (count(texts) < times && clock.elapsed() < bound &&
               process_.state() != QProcess::NotRunning) {
            process_.waitForReadyRead(100);
            out_ += QString::fromUtf8(process_.readAll());
        }
        out_ += QString::fromUtf8(process_.readAll());
        return count(texts) >= times;
    }
    bool said(const QString& text, int times = 1) { return said(QStringList{text}, times); }
    const QString& out() const { return out_; }
    void kill() {
        process_.kill();
        process_.waitForFinished(10000);
    }
    // Ended as an operator ends it: its exit status.
    int stop() {
        process_.terminate();
        process_.waitForFinished(30000);
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

private:
    QString folder_;
    QString name_;
    QProcess process_;
    QString out_;
};

// The log's lines, as objects.
inline QList<QJsonObject> logged(const QString& log) {
    QFile file(log);
    QList<QJsonObject> lines;
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty())
                lines << QJsonDocument::fromJson(line).object();
    return lines;
}

// One unit on a station: a device plugged in, handled (any of `markers`
// said once more), pulled. What the device received.
inline QByteArray unitOn(LineStation& station, const QStringList& markers,
                         const QStringList& device = {}) {
    DevSim sim(device);
    const int before = station.count(markers);
    EXPECT_TRUE(QFile::link(sim.device(), station.slot()));
    const bool handled = station.said(markers, before + 1);
    QFile::remove(station.slot());
    EXPECT_TRUE(handled) << station.out().toStdString();
    return sim.capture();
}

// Waits, within a generous bound, until `holds`.
template <typename Condition> bool eventually(Condition holds, int ms = 90000) {
    QElapsedTimer clock;
    clock.start();
    while (!holds()) {
        if (clock.elapsed() > ms)
            return false;
        QThread::msleep(100);
    }
    return true;
}

} // namespace j4::testing::plant
