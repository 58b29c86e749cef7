// What checking a release's signature costs beside the SHA-256 the program
// computes of every file already: the time a signed file takes to prepare
// (read, decoded, hashed, its signature checked) over the same file without
// a trusted key, against the SHA-256 pass over the same bytes, for the
// largest file allowed (64 MiB of text) and a typical one (1 MiB). The key
// and signature are made by minisign itself.

#include "release_check.h"
#include "sha256.h"
#include "update_file.h"
#include "update_files.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace j4;
using Clock = std::chrono::steady_clock;

namespace {

// The median of `runs` timings of `work`, in milliseconds.
template <class Work> double medianMs(int runs, Work work) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

constexpr std::size_t kChunk = 64 * 1024; // as the file is read

} // namespace

int main() {
    QTemporaryDir dir;
    const QString key = dir.filePath("release");
    if (QProcess::execute("minisign", {"-G", "-W", "-p", key + ".pub", "-s", key + ".key"}) != 0)
        return 1;
    for (const std::size_t size : {std::size_t{kMaxUpdateFileBytes}, std::size_t{1} << 20}) {
        // The largest image there may be, as text, padded with line ends to
        // the size: every byte of it is read, decoded and hashed.
        const QByteArray update = j4::testing::toUpdateText(j4::testing::makeImage(256, 1022));
        std::vector<std::uint8_t> text(size, '\n');
        std::copy(update.begin(), update.end(), text.begin());
        const QString file = dir.filePath("fw.j4u");
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        out.write(reinterpret_cast<const char*>(text.data()), static_cast<qint64>(size));
        out.close();
        QProcess::execute("minisign",
                          {"-S", "-s", key + ".key", "-m", file, "-t", "version=1.4.2"});
        const int runs = size > (1u << 20) ? 5 : 41;
        const double sha256 = medianMs(runs, [&] {
            Sha256 hash;
            for (std::size_t at = 0; at < size; at += kChunk)
                hash.update(std::span(text).subspan(at, std::min(kChunk, size - at)));
            (void)hash.hex();
        });
        qputenv("J4_TRUST_KEYS", QFile::encodeName(key + ".pub"));
        const auto policy = release::ReleasePolicy::load({});
        qunsetenv("J4_TRUST_KEYS");
        if (!policy || !policy->active())
            return 1;
        const std::string path = QFile::encodeName(file).toStdString();
        bool good = false;
        const double plain = medianMs(runs, [&] {
            good = prepareUpdateFile(path, UpdateFileReader::Kinds::RegularOnly).ok();
        });
        const double checked = medianMs(runs, [&] {
            const PreparedFile prepared =
                policy->prepare(path, UpdateFileReader::Kinds::RegularOnly);
            good = good && prepared.ok() && prepared.decoded->signature;
        });
        const double check = std::max(0.0, checked - plain);
        std::printf("%5zu KiB: prepared %.2f ms unsigned, %.2f ms signed; the signature check "
                    "adds %.2f ms against the SHA-256 pass's %.2f ms: ratio %.2f (target <= "
                    "1.5)%s\n",
                    size / 1024, plain, checked, check, sha256, check / sha256,
                    good ? "" : " NOT VERIFIED");
        if (!good)
            return 1;
    }
    return 0;
}
