#include "window_options.h"

#include "device_options.h"
#include "exit_status.h"
#include "j4_version.h"
#include "slots.h"

#include <QCommandLineParser>
#include <QFile>

#include <cstdio>
#include <set>

namespace {

// The command line without the options Qt takes for itself (-style, -platform
// and the like, with one dash or two), so that the program's own can be read
// before a display is needed.
std::vector<std::string> withoutQtOptions(int argc, char** argv) {
    static const std::set<std::string> withValue{"platform",        "platformpluginpath",
                                                 "platformtheme",   "plugin",
                                                 "qwindowgeometry", "geometry",
                                                 "qwindowtitle",    "title",
                                                 "qwindowicon",     "icon",
                                                 "display",         "style",
                                                 "stylesheet",      "session",
                                                 "qmljsdebugger"};
    static const std::set<std::string> flags{"reverse", "nograb", "dograb", "widgetcount", "sync"};
    std::vector<std::string> kept{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        name.erase(0, name.find_first_not_of('-'));
        const bool dashed = argv[i][0] == '-' && name.find('=') == std::string::npos;
        if (dashed && withValue.count(name) != 0) {
            ++i; // and its value
            continue;
        }
        if (!(dashed && flags.count(name) != 0))
            kept.push_back(argv[i]);
    }
    return kept;
}

class WindowCommandLine {
public:
    WindowCommandLine() {
        parser_.addOptions({help_, version_, verbose_, station_, devices_.port, devices_.device,
                            devices_.serial, devices_.expectSha256});
        parser_.addOptions(stationOptions_.all());
    }

    std::optional<int> read(const j4::options::RawArguments& given, const char* help,
                            WindowOptions& options) {
        const auto error = [](const std::string& reason) {
            std::fputs(j4::options::usageError("j4_updater", reason).c_str(), stderr);
            return j4::runs::kUsage;
        };
        if (!parser_.parse(given.decoded()))
            return error(parser_.errorText().toStdString());
        if (const auto done = helpOrVersion(help, error))
            return done;
        std::optional<j4::options::RawArguments> merged;
        if (parser_.isSet(stationOptions_.profile)) {
            if (!parser_.isSet(station_))
                return error("--profile goes with --station");
            options.profile = parser_.value(stationOptions_.profile);
            auto arguments = stationOptions_.withProfile(parser_, given);
            if (!arguments)
                return error(arguments.error());
            merged.emplace(std::move(*arguments));
            if (!parser_.parse(merged->decoded()))
                return error(parser_.errorText().toStdString());
        }
        if (const auto problem = take(merged ? *merged : given, options); !problem)
            return error(problem.error());
        return std::nullopt;
    }

private:
    // --help and --version answer alone and leave: 0 would otherwise pass
    // for a session that never ran.
    template <class Error> std::optional<int> helpOrVersion(const char* help, const Error& error) {
        const bool alone =
            parser_.optionNames().size() == 1 && parser_.positionalArguments().isEmpty();
        for (const auto& [option, name] :
             {std::pair{&help_, "--help"}, std::pair{&version_, "--version"}}) {
            if (!parser_.isSet(*option))
                continue;
            if (!alone)
                return error(std::string(name) + " goes alone");
            if (option == &version_)
                std::printf("j4_updater %s\n", j4::kVersion);
            else
                std::fputs(help, stdout);
            return j4::runs::kCompleted;
        }
        return std::nullopt;
    }

    j4::Result<j4::Done> take(const j4::options::RawArguments& raw, WindowOptions& options) const {
        options.verbose = parser_.isSet(verbose_);
        options.stationWindow = parser_.isSet(station_);
        options.slotNames = devices_.names(parser_, raw);
        auto line = stationOptions_.read(parser_, raw);
        if (!line)
            return j4::fail(line.error());
        options.station = std::move(*line);
        const QStringList files = parser_.positionalArguments();
        if (files.size() > 1)
            return j4::fail("name one update file");
        if (!files.isEmpty())
            options.file = QFile::decodeName(QByteArray::fromStdString(raw.bytesOf(files.first())));
        if (options.file && !options.station.line.empty())
            return j4::fail("--line sends what the plant assigns the line: name no update file");
        // FILE alone opens the window with it chosen, as from the desktop;
        // the updater window follows a line as a station does, one unit a
        // Start.
        bool stationOnly = devices_.named(parser_) || parser_.isSet(devices_.expectSha256);
        for (const QCommandLineOption* option : stationOptions_.stationOnly())
            if (option != &stationOptions_.line && option != &stationOptions_.offlineUnits)
                stationOnly = stationOnly || parser_.isSet(*option);
        if (!options.stationWindow && stationOnly)
            return j4::fail("--port, --device, --serial, --expect-sha256 and a station's settings "
                            "go with --station");
        const auto pinned = devices_.pinnedSha256(parser_);
        if (!pinned)
            return j4::fail(pinned.error());
        options.expectedSha256 = *pinned;
        for (const auto& slot : options.slotNames)
            if (auto usable = j4::station::checkSlot(slot); !usable)
                return usable;
        return j4::Done{};
    }

    QCommandLineParser parser_;
    j4::options::DeviceOptions devices_;
    j4::options::StationOptions stationOptions_;
    QCommandLineOption help_{{"h", "help"}, "This text."};
    QCommandLineOption version_{{"V", "version"}, "The version."};
    QCommandLineOption verbose_{{"v", "verbose"}, "A line per transmission."};
    QCommandLineOption station_{"station", "The station window."};
};

} // namespace

std::optional<int> readWindowCommandLine(int argc, char** argv, const char* help,
                                         WindowOptions& options) {
    return WindowCommandLine().read(j4::options::RawArguments(withoutQtOptions(argc, argv)), help,
                                    options);
}
