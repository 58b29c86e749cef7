#include "plant_command.h"

#include "account_name.h"
#include "j4_version.h"

#include "interrupts.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QThread>

namespace j4::cli::plant {
namespace {

constexpr const char* kHelpText =
    "Usage: j4_plant [--records URI] [--json] release add FILE --signature SIG [--trust-key "
    "KEY]...\n"
    "  or:  j4_plant [--records URI] [--json] release list\n"
    "  or:  j4_plant [--records URI] [--json] assign LINE --release R --work-order WO --quantity N "
    "[--lot LOT] [--part PN] [--stop-after K/M [--stop-station]]\n"
    "  or:  j4_plant [--records URI] [--json] status [LINE]\n"
    "  or:  j4_plant [--records URI] [--json] hold LINE [--reason TEXT]\n"
    "  or:  j4_plant [--records URI] [--json] resume LINE\n"
    "  or:  j4_plant [--records URI] serve [--listen ADDRESS:PORT] [--tls-cert FILE --tls-key "
    "FILE] [--users FILE]\n"
    "The plant decides what each line flashes: the releases its stations may send,\n"
    "each line's release, work order, lot, part number and quantity, and which\n"
    "lines are held. It keeps them in the records' PostgreSQL database, where the\n"
    "stations of each line find them.\n"
    "\n"
    "Commands:\n"
    "  release add FILE  add FILE as a release; refused unless --signature, its\n"
    "                    minisign signature (FILE.minisig when not given),\n"
    "                    verifies with a key the plant trusts\n"
    "  release list      the releases added, oldest first: version, SHA-256, key\n"
    "  assign LINE       what LINE flashes from now on; the earlier assignment is\n"
    "                    kept as history\n"
    "  status [LINE]     what each line flashes, N of its quantity done, whether it\n"
    "                    is held, the stations that recorded on it\n"
    "  hold LINE         no new transfer starts on LINE's stations\n"
    "  resume LINE       LINE's stations go on\n"
    "  serve             the plant's live page: lines, stations and slots as they\n"
    "                    are now, today's yields, a unit's history, hold and\n"
    "                    resume for a supervisor, /metrics for Prometheus;\n"
    "                    until Ctrl+C\n"
    "\n"
    "Options:\n"
    "  --records URI     the plant's PostgreSQL database, a connection URI (default:\n"
    "                    J4_RECORDS); TLS as its sslmode, sslrootcert, sslcert and\n"
    "                    sslkey say, its password never in it\n"
    "  --json            the result as JSON on standard output\n"
    "  --listen ADDRESS:PORT\n"
    "                    serve: where (default 127.0.0.1:8080); any other address\n"
    "                    than loopback needs --tls-cert, --tls-key and --users\n"
    "  --tls-cert FILE, --tls-key FILE\n"
    "                    serve: HTTPS with this certificate and key (PEM)\n"
    "  --users FILE      serve: every request signed in; lines NAME:ROLE:HASH, ROLE\n"
    "                    viewer or supervisor, HASH as mkpasswd(1) makes it\n"
    "  --signature SIG   release add: the file's minisign signature\n"
    "  --trust-key KEY   release add: trust this minisign public key file too\n"
    "  --release R       assign: the release, by its version or its SHA-256\n"
    "  --work-order WO   assign: the work order its units are made for\n"
    "  --quantity N      assign: how many units the work order needs\n"
    "  --lot LOT         assign: the lot\n"
    "  --part PN         assign: the part number\n"
    "  --stop-after K/M  assign: the line holds itself after K failures in its\n"
    "                    last M attempts\n"
    "  --stop-station    assign: the failure rule holds only the station whose\n"
    "                    attempts failed, not the whole line\n"
    "  --reason TEXT     hold: why, as the line's stations say it\n"
    "  -h, --help        show this help and exit\n"
    "  -V, --version     show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  refused by the plant's rules: a release not signed by a trusted key, an\n"
    "     unknown release or line, a line with nothing to resume\n"
    "  2  a wrong command line\n"
    "  3  the database could not be reached, or failed\n"
    "\n"
    "Environment:\n"
    "  J4_RECORDS        the database's URI, as --records gives it\n"
    "  PGPASSFILE        where libpq finds the password (default ~/.pgpass)\n"
    "  J4_TRUST_KEYS     more trusted key files, ':'-separated\n"
    "\n"
    "Files:\n"
    "  /etc/j4-updater/trusted-keys/*.pub, ~/.config/j4-updater/trusted-keys/*.pub\n"
    "                    the minisign public keys the plant trusts\n"
    "\n"
    "Examples:\n"
    "  j4_plant release add fw-2.1.0.j4u --signature fw-2.1.0.j4u.minisig\n"
    "      Add a release signed by a trusted key.\n"
    "  j4_plant assign line-3 --release 2.1.0 --work-order WO-1187 --quantity 500\n"
    "      Line 3 flashes release 2.1.0: 500 units of work order WO-1187.\n"
    "  j4_plant assign line-3 --release 2.1.0 --work-order WO-1187 --stop-after 3/10\n"
    "      The same, the line holding itself after 3 failures in its last 10 attempts.\n"
    "  j4_plant status line-3\n"
    "      What line 3 flashes, how far its work order is, and its stations.\n"
    "  j4_plant hold line-3 --reason \"fixture worn\"\n"
    "      Stop line 3's stations starting units, until it is resumed.\n"
    "  j4_plant --records postgresql://j4plant@db/j4 serve\n"
    "      The live page, on this machine only: http://127.0.0.1:8080/.\n";

std::unique_ptr<PlantCommand> commandFor(const PlantOptions& options) {
    const auto& command = options.command;
    if (command == "release" && options.arguments.size() == 2 && options.arguments[0] == "add")
        return releaseCommand();
    if (command == "release" && options.arguments.size() == 1 && options.arguments[0] == "list")
        return releaseListCommand();
    if (command == "assign" && options.arguments.size() == 1)
        return assignCommand();
    if (command == "status" && options.arguments.size() <= 1)
        return statusCommand();
    if (command == "hold" && options.arguments.size() == 1)
        return holdCommand();
    if (command == "resume" && options.arguments.size() == 1)
        return resumeCommand();
    if (command == "serve" && options.arguments.empty())
        return serveCommand();
    return nullptr;
}

int usageError(std::FILE* err, const std::string& reason) {
    say(err, "j4_plant: " + reason, Priority::Error);
    say(err, "Try 'j4_plant --help' for more information.");
    return kUsage;
}

} // namespace

void say(std::FILE* to, const std::string& text, Priority priority) {
    if (writesToJournal(to))
        std::fprintf(to, "<%d>", static_cast<int>(priority));
    std::fprintf(to, "%s\n", text.c_str());
    std::fflush(to);
}

int failed(const PlantRun& run, const j4::plant::PlantError& error) {
    say(run.err, "j4_plant: " + error.text, Priority::Error);
    return error.kind == j4::plant::PlantError::Kind::Refused ? kRefused : kDatabase;
}

namespace {

// j4_plant's options, declared once for the parser and for reading it.
struct PlantFlags {
    QCommandLineOption records{"records", "", "URI"};
    QCommandLineOption json{"json"};
    QCommandLineOption signature{"signature", "", "SIG"};
    QCommandLineOption trustKey{"trust-key", "", "KEY"};
    QCommandLineOption release{"release", "", "RELEASE"};
    QCommandLineOption workOrder{"work-order", "", "WO"};
    QCommandLineOption lot{"lot", "", "LOT"};
    QCommandLineOption part{"part", "", "PN"};
    QCommandLineOption quantity{"quantity", "", "N"};
    QCommandLineOption stopAfter{"stop-after", "", "K/M"};
    QCommandLineOption stopStation{"stop-station"};
    QCommandLineOption reason{"reason", "", "TEXT"};
    QCommandLineOption listen{"listen", "", "ADDRESS:PORT"};
    QCommandLineOption tlsCert{"tls-cert", "", "FILE"};
    QCommandLineOption tlsKey{"tls-key", "", "FILE"};
    QCommandLineOption users{"users", "", "FILE"};
    QCommandLineOption help{QStringList{"h", "help"}};
    QCommandLineOption version{QStringList{"V", "version"}};

    void addTo(QCommandLineParser& parser) const {
        parser.addOptions({records, json, signature, trustKey, release, workOrder, lot, part,
                           quantity, stopAfter, stopStation, reason, listen, tlsCert, tlsKey, users,
                           help, version});
    }
};

// What the plant takes as free text goes into every record of a line, and
// is indexed there: bounded, as a line's name is.
constexpr qsizetype kLongestText = 200;
constexpr qsizetype kLongestReason = 500;

Result<Done> bounded(const QCommandLineParser& parser, const QCommandLineOption& option,
                     qsizetype longest) {
    if (parser.value(option).toUcs4().size() <= longest)
        return Done{};
    return fail("--" + option.names().front().toStdString() + " takes at most " +
                std::to_string(longest) + " characters");
}

// The assignment's options, or what is wrong with them.
Result<j4::plant::Assignment> assignmentFrom(const QCommandLineParser& parser,
                                             const PlantFlags& flags) {
    for (const QCommandLineOption* text : {&flags.workOrder, &flags.lot, &flags.part})
        if (auto fits = bounded(parser, *text, kLongestText); !fits)
            return fail(fits.error());
    if (auto fits = bounded(parser, flags.reason, kLongestReason); !fits)
        return fail(fits.error());
    j4::plant::Assignment assignment;
    assignment.release = parser.value(flags.release).toStdString();
    assignment.workOrder = parser.value(flags.workOrder).toStdString();
    assignment.lot = parser.value(flags.lot).toStdString();
    assignment.partNumber = parser.value(flags.part).toStdString();
    if (parser.isSet(flags.quantity)) {
        bool ok = false;
        assignment.quantity = parser.value(flags.quantity).toLongLong(&ok);
        if (!ok || assignment.quantity < 1 || assignment.quantity > 2147483647)
            return fail(std::string("--quantity takes a whole number of units, at least 1"));
    }
    if (parser.isSet(flags.stopAfter)) {
        auto rule = j4::plant::parseStopRule(parser.value(flags.stopAfter).toStdString());
        if (!rule)
            return fail(rule.error());
        rule->wholeLine = !parser.isSet(flags.stopStation);
        assignment.stop = *rule;
    } else if (parser.isSet(flags.stopStation)) {
        return fail(std::string("--stop-station goes with --stop-after K/M, the rule it applies"));
    }
    return assignment;
}

// The command line as options, or the usage error to say.
Result<PlantOptions> optionsFrom(const QCommandLineParser& parser, const PlantFlags& flags) {
    PlantOptions options;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return fail(
            std::string("a command is needed: release add, release list, assign, status, hold, "
                        "resume or serve"));
    options.command = positional.front().toStdString();
    for (qsizetype i = 1; i < positional.size(); ++i)
        options.arguments.push_back(positional[i].toLocal8Bit().toStdString());
    options.records = parser.isSet(flags.records)
                          ? parser.value(flags.records).toStdString()
                          : qEnvironmentVariable("J4_RECORDS").toStdString();
    options.json = parser.isSet(flags.json);
    options.signature = parser.value(flags.signature).toLocal8Bit().toStdString();
    for (const QString& key : parser.values(flags.trustKey))
        options.trustKeys.push_back(key.toLocal8Bit().toStdString());
    auto assignment = assignmentFrom(parser, flags);
    if (!assignment)
        return fail(assignment.error());
    options.assignment = std::move(*assignment);
    options.reason = parser.value(flags.reason).toStdString();
    if (parser.isSet(flags.listen)) {
        const QString listen = parser.value(flags.listen);
        const auto colon = listen.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        options.serve.port = listen.mid(colon + 1).toInt(&ok);
        if (colon < 1 || !ok || options.serve.port < 1 || options.serve.port > 65535)
            return fail(std::string("--listen takes ADDRESS:PORT, such as 127.0.0.1:8080"));
        options.serve.host =
            listen.left(colon).remove(QLatin1Char('[')).remove(QLatin1Char(']')).toStdString();
    }
    options.serve.tlsCert = parser.value(flags.tlsCert).toLocal8Bit().toStdString();
    options.serve.tlsKey = parser.value(flags.tlsKey).toLocal8Bit().toStdString();
    options.serve.usersFile = parser.value(flags.users).toLocal8Bit().toStdString();
    return options;
}

// What the chosen command needs besides its own arguments.
std::string missingFor(PlantOptions& options) {
    if (options.command == "assign") {
        auto& assignment = options.assignment;
        assignment.line = options.arguments.front();
        if (assignment.release.empty() || assignment.workOrder.empty() || assignment.quantity == 0)
            return "assign needs --release, --work-order and --quantity";
    }
    // minisign writes FILE.minisig beside the file: taken when none is named.
    if (options.command == "release" && options.signature.empty() && options.arguments.size() > 1 &&
        QFile::exists(QString::fromLocal8Bit((options.arguments[1] + ".minisig").c_str())))
        options.signature = options.arguments[1] + ".minisig";
    if (options.command == "release" && options.arguments.size() > 1 && options.signature.empty())
        return "release add needs --signature SIG, the file's minisign signature (or FILE.minisig "
               "beside the file)";
    if (options.records.empty())
        return "the plant's database is needed: --records URI (or J4_RECORDS)";
    return {};
}

// A page server started while its database is away (the plant's server
// booting before the database's) waits for it, saying so once, rather than
// exit; a stop ends the wait.
j4::plant::PlantResult<j4::plant::PlantStore> storeForServe(const PlantRun& run) {
    const auto& stop = installInterruptHandlers();
    for (bool said = false;; said = true) {
        auto store = j4::plant::PlantStore::open(run.options.records, &stop);
        if (store || stop || store.error().kind == j4::plant::PlantError::Kind::Refused)
            return store;
        if (!said)
            say(run.err, "j4_plant: " + store.error().text + "; trying again every 5 s",
                Priority::Warning);
        for (int step = 0; step < 50 && !stop; ++step)
            QThread::msleep(100);
    }
}

} // namespace

int runPlant(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err) {
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const PlantFlags flags;
    flags.addTo(parser);
    QStringList list;
    for (const auto& argument : arguments)
        list << QString::fromLocal8Bit(argument.c_str());
    if (!parser.parse(list))
        return usageError(err, parser.errorText().toStdString());
    if (parser.isSet(flags.help)) {
        std::fputs(kHelpText, out);
        return kDone;
    }
    if (parser.isSet(flags.version)) {
        say(out, std::string("j4_plant ") + kVersion);
        return kDone;
    }
    auto options = optionsFrom(parser, flags);
    if (!options)
        return usageError(err, options.error());
    const auto command = commandFor(*options);
    if (!command)
        return usageError(err,
                          options->command == "release"
                              ? std::string("release takes add FILE [--signature SIG], or list")
                              : "\"" + options->command + "\" with " +
                                    std::to_string(options->arguments.size()) +
                                    " arguments is not a j4_plant command");
    if (const std::string missing = missingFor(*options); !missing.empty())
        return usageError(err, missing);

    const PlantRun run{*options, out, err, runs::accountName()};
    auto store = options->command == "serve"
                     ? storeForServe(run)
                     : j4::plant::PlantStore::open(options->records, nullptr);
    if (!store)
        return store.error().text.starts_with("--records") ? usageError(err, store.error().text)
                                                           : failed(run, store.error());
    return command->execute(run, *store);
}

} // namespace j4::cli::plant
