#include "plant_command.h"

#include "account_name.h"
#include "j4_version.h"

#include "interrupts.h"
#include "plant_help.h"
#include "stoppable_wait.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

namespace j4::cli::plant {
namespace {

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

// j4_plant's options, declared once for the parser, its help and reading it.
struct PlantFlags {
    QCommandLineOption records{"records",
                               "The plant's PostgreSQL database, a connection URI (default: "
                               "J4_RECORDS); TLS as its sslmode, sslrootcert, sslcert and sslkey "
                               "say, its password never in it.",
                               "URI"};
    QCommandLineOption json{"json", "The result as JSON on standard output."};
    QCommandLineOption signature{"signature", "release add: the file's minisign signature.", "SIG"};
    QCommandLineOption trustKey{"trust-key",
                                "release add: trust this minisign public key file "
                                "too.",
                                "KEY"};
    QCommandLineOption release{"release", "assign: the release, by its version or its SHA-256.",
                               "R"};
    QCommandLineOption workOrder{"work-order", "assign: the work order its units are made for.",
                                 "WO"};
    QCommandLineOption lot{"lot", "assign: the lot.", "LOT"};
    QCommandLineOption part{"part", "assign: the part number.", "PN"};
    QCommandLineOption quantity{"quantity", "assign: how many units the work order needs.", "N"};
    QCommandLineOption stopAfter{"stop-after",
                                 "assign: the line holds itself after K failures in its last M "
                                 "attempts.",
                                 "K/M"};
    QCommandLineOption stopStation{"stop-station",
                                   "assign: the failure rule holds only the station whose "
                                   "attempts failed, not the whole line."};
    QCommandLineOption reason{"reason", "hold: why, as the line's stations say it.", "TEXT"};
    QCommandLineOption listen{"listen",
                              "serve: where (default 127.0.0.1:8080); any other address than "
                              "loopback needs --tls-cert, --tls-key and --users.",
                              "ADDRESS:PORT"};
    QCommandLineOption tlsCert{"tls-cert", "serve: HTTPS with this certificate (PEM).", "FILE"};
    QCommandLineOption tlsKey{"tls-key", "serve: HTTPS with this key (PEM).", "FILE"};
    QCommandLineOption users{"users",
                             "serve: every request signed in; lines NAME:ROLE:HASH, ROLE viewer "
                             "or supervisor, HASH as mkpasswd(1) makes it.",
                             "FILE"};
    QCommandLineOption help{QStringList{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{QStringList{"V", "version"}, "Show the version and exit."};

    void addTo(QCommandLineParser& parser) const {
        parser.setApplicationDescription(QString::fromLatin1(kPlantDescription));
        parser.addOptions({records, json, signature, trustKey, release, workOrder, lot, part,
                           quantity, stopAfter, stopStation, reason, listen, tlsCert, tlsKey, users,
                           help, version});
        parser.addPositionalArgument(QStringLiteral("COMMAND"),
                                     QStringLiteral("release add, release list, assign, "
                                                    "status, hold, resume or serve "
                                                    "(see Commands)."),
                                     QStringLiteral("release add FILE --signature SIG "
                                                    "[--trust-key KEY]..."));
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
        std::fputs((parser.helpText() + QString::fromLatin1(kPlantEpilogue)).toLocal8Bit(), out);
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

    return command->execute({*options, out, err, runs::accountName()});
}

namespace {

Result<j4::plant::PlantStore, int> said(const PlantRun& run, const j4::plant::PlantError& error) {
    return fail(error.text.starts_with("--records") ? usageError(run.err, error.text)
                                                    : failed(run, error));
}

} // namespace

Result<j4::plant::PlantStore, int> openStore(const PlantRun& run) {
    auto store = j4::plant::PlantStore::open(run.options.records, nullptr);
    if (!store)
        return said(run, store.error());
    return std::move(*store);
}

Result<j4::plant::PlantStore, int> storeForServe(const PlantRun& run) {
    const auto& stop = installInterruptHandlers();
    for (bool told = false;; told = true) {
        auto store = j4::plant::PlantStore::open(run.options.records, &stop);
        if (store)
            return std::move(*store);
        if (stop || store.error().kind == j4::plant::PlantError::Kind::Refused)
            return said(run, store.error());
        if (!told)
            say(run.err, "j4_plant: " + store.error().text + "; trying again every 5 s",
                Priority::Warning);
        waitUnlessStopped(j4::db::kReconnectAfter, {&stop});
    }
}

} // namespace j4::cli::plant
