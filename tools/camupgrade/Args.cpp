#include "Args.h"

#include "ExitCodes.h"
#include "Output.h"

#include "platform/platform.h"
#include "platform/socket.h"
#include "platform/utctime.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <regex>
#include <filesystem>
#include <iostream>

#ifndef CAMUPGRADE_TOOL_VERSION
#define CAMUPGRADE_TOOL_VERSION "unknown"
#endif

namespace cli {

namespace {

const char* const kExamples =
    "Examples:\n"
    "  camupgrade --camera 192.168.1.20 --package fw-2.1.0.zip\n"
    "      upgrade one camera; the host address is the one of the route to it\n"
    "  camupgrade --all --model CS-GE-1 --package fw-2.1.0.zip --json > line3.json\n"
    "      every camera of that model that answers discovery; JSON for scripts\n"
    "  camupgrade --cameras line3.txt --package fw.zip --parallel 4 --log line3.log\n"
    "      the cameras of a file (address [package|-] [name] a line), four at a time\n"
    "  camupgrade plan --all --model CS-GE-1 --package fw-2.1.0.zip --expect-version 2.1.0\n"
    "      what would happen to each camera, without touching any\n"
    "  camupgrade --cameras line3.txt --package fw.zip --canary 1 --stop-after 2 --report line3.csv\n"
    "      the first camera alone, the rest only if it upgraded; none after two failures\n"
    "  camupgrade history [--camera IP] [--serial S] [--since 2026-12-01] [--json|--csv]\n"
    "      the attempts recorded on this host, newest first (--history FILE for another)\n";

int usage(const std::string& why) {
    std::cerr << "camupgrade: " << why << " (see camupgrade --help)\n";
    return EXIT_USAGE;
}


void addUpgradeOptions(CLI::App& app, Options& o) {
    app.add_option("--camera", o.cameras, "camera address; repeat for several cameras");
    app.add_option("--cameras", o.camerasFile,
                   "file: address [package|-] [name] a line");
    app.add_flag("--all", o.all, "every camera of --model that answers discovery");
    app.add_option("--model", o.model, "the model for --all, as cameras report it (any case)");
    app.add_option("--interface", o.interfaceName, "network interface for --all's discovery");
    app.add_option("--package", o.package, "firmware package for cameras without their own");
    app.add_option("--host", o.host, "this host's address (default: the route's)");
    app.add_option("--parallel", o.parallel, "cameras upgraded at once (default: all)");
    app.add_flag("--force", o.force)->group("");
    app.add_option("--canary", o.canary,
                   "the first N cameras go alone; the rest only if all N upgraded");
    app.add_option("--stop-after", o.stopAfter,
                   "after N failures start no further camera (default: no limit)");
    app.add_option("--expect-version", o.expectVersion,
                   "the package's version: skip cameras at it, refuse newer ones, check after");
    app.add_flag("--reinstall", o.reinstall, "flash cameras already at --expect-version");
    app.add_flag("--allow-older", o.allowOlder, "flash cameras newer than --expect-version");
    app.add_option("--sha256", o.sha256, "refuse a package with another SHA-256 digest");
    app.add_flag("--yes", o.yes, "--all without showing the plan and asking");
    app.add_option("--inactivity", o.inactivitySeconds,
                   "seconds without progress before time-out (default: 900)");
    // A read and its one retry must land inside the 3000 ms heartbeat
    // timeout written to the camera.
    app.add_option("--heartbeat", o.heartbeatMs,
                   "ms between heartbeat reads (0: back to back)")
        ->check(CLI::Range(0, 1500))
        ->capture_default_str();
    app.add_option("--lost-after", o.lostAfterSeconds,
                   "seconds a camera silent mid-transfer is waited for (default: 60)")
        ->check(CLI::PositiveNumber);
    app.add_flag("--json", o.json, "one JSON document on stdout, progress on stderr");
    app.add_flag("-q,--quiet", o.quiet, "show only the final lines");
    app.add_flag("-v,--verbose", o.verbose, "show the library's lines as they are written");
    app.add_option("--log", o.logPath, "write every line the library logs to this file");
    app.add_option("--report", o.reportPath, "also write the results to this file (.csv: CSV)");
    app.add_option("--history", o.historyPath,
                   "the history file (default: /var/lib/camupgrade/history.sqlite)");
    app.add_flag("--no-history", o.noHistory, "record nothing in the history");
}

// A file the command will write: its folder must exist. Made absolute.
int checkOutputFile(const char* option, std::string& path) {
    if (path.empty())
        return -1;
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (!std::filesystem::is_directory(absolute.parent_path(), ec))
        return usage(std::string(option) + " " + path + ": the folder " +
                     absolute.parent_path().string() + " does not exist");
    if (std::filesystem::is_directory(absolute, ec))
        return usage(std::string(option) + " " + path + " is a folder, not a file");
    path = absolute.string();
    return -1;
}

int checkHistory(const CLI::App& history, Options& o) {
    if (history.count("--since") > 0) {
        std::chrono::system_clock::time_point since;
        if (!platform::parseUtc(o.since, &since))
            return usage("--since " + o.since +
                         " is not a date like 2026-12-06 or 2026-12-06T05:30:00Z (UTC)");
        o.since = platform::isoUtc(since);
    }
    if (o.json && o.csv)
        return usage("--json and --csv contradict each other");
    for (const auto& c : o.cameras)
        if (!platform::isIpv4Text(c.c_str()))
            return usage("--camera " + c + " is not an IPv4 address like 192.168.1.20");
    return checkOutputFile("--history", o.historyPath);
}

bool isHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// The version guard, the digest, and what a plan or --all asks for.
int checkGuard(Options& o) {
    if (o.force)
        return usage("--force is gone: a package that does not read as a known layout is never "
                     "served; to serve a folder of firmware files, give the folder itself as "
                     "--package");
    if (!o.expectVersion.empty() &&
        !std::regex_match(o.expectVersion, std::regex("[0-9]+(\\.[0-9]+)*")))
        return usage("--expect-version " + o.expectVersion +
                     " is not a version of dotted numbers like 2.1.0");
    if ((o.reinstall || o.allowOlder) && o.expectVersion.empty())
        return usage(std::string(o.reinstall ? "--reinstall" : "--allow-older") +
                     " goes with --expect-version: without it no camera is skipped or refused "
                     "for its version");
    if (!o.sha256.empty() && (o.sha256.size() != 64 || !isHex(o.sha256)))
        return usage("--sha256 takes the package's digest as 64 hexadecimal digits");
    for (char& c : o.sha256)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (o.dryRun)
        o.command = Options::Command::Plan;
    if (o.command == Options::Command::Plan && o.yes)
        return usage("--yes confirms an upgrade; a plan commands nothing");
    if (o.command == Options::Command::Upgrade && o.all && !o.yes && !platform::isTerminal(0))
        return usage("--all off a terminal needs --yes (nobody can confirm the plan here; "
                     "see it first with camupgrade plan)");
    return -1;
}

// Checks what CLI11 cannot: which cameras, and the addresses.
int checkUpgrade(Options& o) {
    bool listed = !o.cameras.empty() || !o.camerasFile.empty();
    if (o.all && listed)
        return usage("--all cannot be combined with --camera or --cameras");
    if (o.all && o.model.empty())
        return usage("--all needs --model: the model whose cameras to upgrade");
    if (!o.all && (!o.model.empty() || !o.interfaceName.empty()))
        return usage("--model and --interface go with --all");
    if (!o.all && !listed)
        return usage("which camera? give --camera, --cameras or --all --model");
    for (const auto& c : o.cameras)
        if (!platform::isIpv4Text(c.c_str()))
            return usage("--camera " + c + " is not an IPv4 address like 192.168.1.20");
    if (!o.host.empty() && !platform::isIpv4Text(o.host.c_str()))
        return usage("--host " + o.host + " is not an IPv4 address like 192.168.1.10");
    if (o.quiet && o.verbose)
        return usage("-q and -v contradict each other");
    if (int rc = checkGuard(o); rc >= 0)
        return rc;
    if (!(o.inactivitySeconds >= 1 && o.inactivitySeconds <= 86400))
        return usage("--inactivity is in seconds, from 1 to 86400 (a day); the default is 900");
    if (o.noHistory && !o.historyPath.empty())
        return usage("--history and --no-history contradict each other");
    for (auto [option, path] : {std::make_pair("--report", &o.reportPath),
                                std::make_pair("--history", &o.historyPath)})
        if (int rc = checkOutputFile(option, *path); rc >= 0)
            return rc;
    if (!o.logPath.empty())
        o.logPath = std::filesystem::absolute(o.logPath).string();
    return -1;
}

}  // namespace

int parseArguments(int argc, char** argv, Options& o) {
    CLI::App app{"Upgrades the firmware of GigE Vision cameras: one, a list, or every camera\n"
                 "of a model. `info` and `list` only read."};
    app.get_formatter()->column_width(26);
    app.footer(std::string("\n") + kExamples + "\n" + exitCodeTable());
    addUpgradeOptions(app, o);
    app.add_flag("--dry-run", o.dryRun, "show the plan only, as camupgrade plan does");
    bool showVersion = false;
    app.add_flag("--version", showVersion, "show the versions of the tool and the library");

    Options forInfo, forList, forPlan;
    CLI::App* plan = app.add_subcommand(
        "plan", "what an upgrade with these options would do, reading only");
    addUpgradeOptions(*plan, forPlan);
    plan->footer("\nExit codes: 0 every camera would be upgraded or skipped as current; "
                 "otherwise the code the upgrade would end with for the first refused camera.");
    CLI::App* info = app.add_subcommand(
        "info", "show a camera's identity and whether it is busy, reading only");
    info->add_option("--camera,camera", forInfo.cameras, "camera address (the word --camera may be left out)")
        ->required()
        ->expected(1);
    info->add_flag("--json", forInfo.json, "one JSON object on stdout");
    info->footer("\nExit codes: 0 read, 2 bad command line, 3 the camera does not answer.");
    CLI::App* list = app.add_subcommand("list", "list the cameras that answer discovery");
    list->add_option("--interface", forList.interfaceName, "network interface to discover on");
    list->add_flag("--json", forList.json, "one JSON array on stdout");
    list->footer("\nExit codes: 0 (also when no camera answers), 2 nothing could be sent.");
    Options forHistory;
    CLI::App* history = app.add_subcommand("history", "show the upgrades recorded on this host, newest first");
    history->add_option("--camera", forHistory.cameras, "only this camera's address")->expected(1);
    history->add_option("--serial", forHistory.serial, "only the camera of this serial number");
    history->add_option("--since", forHistory.since, "only attempts started since this UTC date or time");
    history->add_flag("--json", forHistory.json, "one JSON array on stdout");
    history->add_flag("--csv", forHistory.csv, "CSV with a header row on stdout");
    history->add_option("--history", forHistory.historyPath,
                        "the history file (default: /var/lib/camupgrade/history.sqlite)");
    history->footer("\nExit codes: 0 read (also when nothing is recorded), 2 bad command line or a "
                    "history that cannot be read.");
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ArgumentMismatch& e) {
        // CLI11 says "--stop-after: 1 required UINT missing".
        std::string what = e.what();
        std::string option = what.substr(0, what.find(':'));
        if (option.rfind("--", 0) != 0)
            option = "an option";
        // The same error also says "At Most 1 ... 2 provided".
        if (what.find("missing") == std::string::npos)
            return usage(option + " takes one value here, and was given more");
        return usage(option + " needs a value after it");
    } catch (const CLI::ConversionError& e) {
        // "Could not convert: --stop-after = x"
        std::string what = e.what();
        auto at = what.find(": "), eq = what.find(" = ");
        if (at != std::string::npos && eq != std::string::npos && eq > at)
            return usage(what.substr(at + 2, eq - at - 2) + " needs a number, not \"" +
                         what.substr(eq + 3) + "\"");
        app.exit(e);
        return EXIT_USAGE;
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }
    if (showVersion) {
        std::cout << "camupgrade " << CAMUPGRADE_TOOL_VERSION << " (library "
                  << camupgrade::version() << ")\n";
        return EXIT_UPGRADED;
    }
    if (info->parsed()) {
        o = forInfo;
        o.command = Options::Command::Info;
        if (!platform::isIpv4Text(o.cameras[0].c_str()))
            return usage("--camera " + o.cameras[0] + " is not an IPv4 address");
        return -1;
    }
    if (plan->parsed()) {
        o = forPlan;
        o.command = Options::Command::Plan;
        return checkUpgrade(o);
    }
    if (list->parsed()) {
        o = forList;
        o.command = Options::Command::List;
        return -1;
    }
    if (history->parsed()) {
        o = forHistory;
        o.command = Options::Command::History;
        return checkHistory(*history, o);
    }
    if (app.count("--canary") > 0 && o.canary == 0)
        return usage("--canary needs at least one camera to go first");
    if (app.count("--stop-after") > 0 && o.stopAfter == 0)
        return usage("--stop-after needs a number of failures of at least 1");
    return checkUpgrade(o);
}

}  // namespace cli
