#pragma once
// j4_flash under test: the real program on real ports with the simulated
// device (FlashCli), and in process, its library with scripted links
// (FlashCommand).

#include "fake_link.h"
#include "flash_command.h"
#include "j4_version.h"
#include "processes.h"
#include "transfer.h"
#include "tty_link.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace j4::testing;

class FlashCli : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QByteArray image = makeImage(20, 200);
    QString file = writeUpdateFile(dir.filePath(QStringLiteral("update.j4u")), image);

    QString textFile(const char* name, const QByteArray& text) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return f.fileName();
    }
    ProgramResult flash(const QStringList& arguments, const QStringList& environment = {}) {
        return runProgram(flashPath(), arguments, environment);
    }
    // A run-time error line as j4_flash writes it.
    static std::string error(const std::string& text) { return "j4_flash: " + text; }
    // What a running program has written on one stream, once it holds
    // `text` (or the program ended, or a generous bound ran out).
    static QByteArray readUntil(QProcess& program, const QByteArray& text,
                                QProcess::ProcessChannel channel = QProcess::StandardOutput) {
        program.setReadChannel(channel);
        QByteArray said;
        QElapsedTimer clock;
        clock.start();
        while (!said.contains(text) && clock.elapsed() < 30000 &&
               program.state() == QProcess::Running) {
            program.waitForReadyRead(100);
            said += program.readAll();
        }
        return said;
    }
};

// The same program in process: j4_flash's library with scripted links, for
// everything that needs no real port.

// Lends a test's FakeLink to a run, which owns the links it is given.
class LentLink final : public j4::SerialLink {
public:
    explicit LentLink(j4::testing::FakeLink& fake) : fake_(fake) {}
    j4::LinkError open(const std::string& device) override { return fake_.open(device); }
    void flushInput() override { fake_.flushInput(); }
    j4::LinkError write(std::span<const std::uint8_t> bytes) override { return fake_.write(bytes); }
    j4::ByteRead readByte() override { return fake_.readByte(); }
    j4::WaitingBytes bytesWaiting(std::chrono::milliseconds wait) override {
        return fake_.bytesWaiting(wait);
    }
    void close() override { fake_.close(); }

private:
    j4::testing::FakeLink& fake_;
};

// What a run said and how it ended.
struct Ran {
    int exitCode = -1;
    QString out;
    QString err;
    QString lastLine() const { return ProgramResult{exitCode, out, err}.lastLine(); }
};

class FlashCommand : public FlashCli {
protected:
    // Devices by name; each answers as its FakeLink is scripted.
    std::map<std::string, j4::testing::FakeLink> devices;

    j4::testing::FakeLink& device(const std::string& name, int accepts = 100) {
        auto& fake = devices[name];
        for (int i = 0; i < accepts; ++i)
            fake.answer(j4::kAcceptByte);
        return fake;
    }
    Ran run(const QStringList& arguments, bool errIsTerminal = false) {
        std::vector<std::string> argv{"j4_flash"};
        for (const QString& argument : arguments)
            argv.push_back(argument.toStdString());
        char* outText = nullptr;
        char* errText = nullptr;
        std::size_t outSize = 0;
        std::size_t errSize = 0;
        std::FILE* out = ::open_memstream(&outText, &outSize);
        std::FILE* err = ::open_memstream(&errText, &errSize);
        j4::cli::FlashContext context{out, err, errIsTerminal, {}, &stop};
        context.makeLink = [this](const std::string& name, std::chrono::milliseconds timeout) {
            if (onLink)
                onLink(name);
            auto& fake = devices[name]; // an unscripted device stays silent
            fake.setAnswerTimeout(timeout);
            return std::make_unique<LentLink>(fake);
        };
        Ran ran;
        ran.exitCode = j4::cli::runFlash(argv, context);
        std::fclose(out);
        std::fclose(err);
        ran.out = QString::fromUtf8(outText, static_cast<qsizetype>(outSize));
        ran.err = QString::fromUtf8(errText, static_cast<qsizetype>(errSize));
        std::free(outText);
        std::free(errText);
        return ran;
    }
    std::atomic<bool> stop{false};
    std::function<void(const std::string& device)> onLink; // as each link is made
};

inline QByteArray sentTo(const j4::testing::FakeLink& fake) {
    QByteArray sent;
    for (const auto& frame : fake.writes)
        sent.append(reinterpret_cast<const char*>(frame.data()),
                    static_cast<qsizetype>(frame.size()));
    return sent;
}
