// camsim: simulated GigE Vision cameras with the vendor upgrade service, and
// the maker of firmware packages for them.
#include "camsim/Camera.h"
#include "camsim/Package.h"
#include "platform/socket.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

std::atomic<bool> g_quit{false};

extern "C" void onSignal(int) { g_quit.store(true); }

const char* const INFO_FORMAT_HELP =
    "Information file (what a camera reads first; one statement per line, '#' comments):\n"
    "  kind <n>                      hardware kind the images are for (0 or 1)\n"
    "  version <dotted numbers>      firmware version, e.g. 2.1.0\n"
    "  image <name> <size> <sha256>  an image to fetch (repeatable), size in bytes\n"
    "Verdicts in the status register 0xEFFFFFE8 (bits 0-7 state, 8-15 percent):\n"
    "  4 working (percent: 0-50 fetching, 50-100 flashing), then a restart, then 0 done;\n"
    "  2 size or digest mismatch, 11 kind mismatch, 7 version older than --min-version,\n"
    "  3 information file unreadable / image too big / transfer broken, 6 file server\n"
    "  never answered, 1 file-server address unusable. Between upgrades it reads 5.";

struct ServeOptions {
    camsim::Config cfg;
    std::vector<std::string> ips{"127.0.0.2"};
    std::vector<int> kinds{0};
    std::vector<std::string> pending;
    std::string ackFault = "none";
    int verbosity = 1;
    bool quiet = false;
    bool summary = false;
    double runFor = 0;
};

void addServeOptions(CLI::App& app, ServeOptions& o) {
    camsim::Config& c = o.cfg;
    app.add_option("--ip", o.ips, "camera address; repeat for several cameras in one process")
        ->capture_default_str();
    app.add_option("--kind", o.kinds,
                   "hardware kind 0 (register 0x2A5) or 1 (0x1A4); one value for all cameras or one per --ip")
        ->capture_default_str();
    app.add_option("--kind-register", c.kindRegister, "device-kind register value (overrides the kind's)");
    app.add_option("--gvcp-port", c.gvcpPort, "GVCP port")->capture_default_str();
    app.add_option("--manufacturer", c.manufacturer, "manufacturer name")->capture_default_str();
    app.add_option("--model", c.model, "model name")->capture_default_str();
    app.add_option("--serial", c.serial, "serial number (default: derived from the address)");
    app.add_option("--user-name", c.userName, "user-defined name");
    app.add_option("--firmware-version", c.firmwareVersion, "firmware version before an upgrade")
        ->capture_default_str();

    auto* up = "Upgrade service";
    app.add_option("--info-file", c.infoFile, "information file the camera requests first")
        ->capture_default_str()->group(up);
    app.add_option("--tftp-port", c.tftpPort, "port of the file server the camera fetches from")
        ->capture_default_str()->group(up);
    app.add_option("--tftp-timeout-ms", c.tftpTimeoutMs,
                   "re-send the last acknowledgement when no block came for this long")
        ->capture_default_str()->group(up);
    app.add_option("--tftp-retries", c.tftpRetries, "re-sends before a transfer counts as broken")
        ->capture_default_str()->group(up);
    app.add_option("--max-image-bytes", c.maxImageBytes, "larger images are refused with state 3")
        ->capture_default_str()->group(up);
    app.add_option("--min-version", c.minVersion, "refuse packages older than this with state 7")
        ->group(up);
    app.add_option("--flash-ms", c.flashMs, "duration of flashing after the fetch")
        ->capture_default_str()->group(up);
    app.add_option("--restart-ms", c.restartMs, "silence of a restart")->capture_default_str()->group(up);
    app.add_flag("--no-restart", [&c](std::int64_t) { c.restartAfterUpgrade = false; },
                 "report the verdict without restarting after an upgrade")
        ->group(up);

    auto* f = "Faults";
    app.add_option("--gvcp-loss", c.gvcpLoss, "probability to drop an incoming GVCP request")
        ->check(CLI::Range(0.0, 1.0))->group(f);
    app.add_option("--data-loss", c.dataLoss, "probability to drop an incoming TFTP data block")
        ->check(CLI::Range(0.0, 1.0))->group(f);
    app.add_option("--latency-ms", c.replyLatencyMs, "delay before every GVCP acknowledge")->group(f);
    app.add_option("--pending", o.pending,
                   "answer these commands with a pending acknowledge first: readreg, writereg, readmem, "
                   "writemem or all (repeatable)")
        ->check(CLI::IsMember({"readreg", "writereg", "readmem", "writemem", "all"}))->group(f);
    app.add_option("--pending-ms", c.pendingMs, "time announced by the pending acknowledge")
        ->capture_default_str()->check(CLI::Range(0, 65535))->group(f);
    app.add_option("--pending-delay-ms", c.pendingDelayMs,
                   "actual delay before the real acknowledge (default: half the announced time)")
        ->group(f);
    app.add_option("--ack-fault", o.ackFault,
                   "stale: send the previous acknowledge before each one; duplicate: send each twice")
        ->check(CLI::IsMember({"none", "stale", "duplicate"}))->capture_default_str()->group(f);
    app.add_flag("--refuse-control", c.refuseControl, "answer every control request with access denied")
        ->group(f);
    app.add_flag("--never-return", c.neverReturn, "stay silent for good after a restart")->group(f);
    app.add_option("--force-state", c.forceState, "report this final state instead of the real verdict")
        ->check(CLI::Range(0, 255))->group(f);
    app.add_flag("--restart-mid-transfer", c.restartMidTransfer,
                 "restart halfway through the first image, then request it again")
        ->group(f);
    app.add_flag("--restart-on-command", c.restartOnCommand,
                 "restart as soon as the upgrade command came, then fetch and upgrade")
        ->group(f);
    app.add_option("--stale-state", c.staleState,
                   "the status register holds this verdict of an earlier upgrade until the pre-upgrade clear")
        ->check(CLI::Range(0, 255))->group(f);
    app.add_flag("--end-on-short-block", c.endOnShortBlockOnly,
                 "end a file only at a block shorter than 512 bytes, not at the announced size")
        ->group(f);
    app.add_option("--seed", c.seed, "seed of the loss knobs (0: random)")->group(f);

    auto* out = "Output";
    app.add_flag("-v,--verbose", [&o](std::int64_t n) { o.verbosity = 1 + static_cast<int>(n); },
                 "also show every GVCP request and TFTP detail")
        ->group(out);
    app.add_flag("-q,--quiet", o.quiet, "show nothing but errors")->group(out);
    app.add_flag("--summary", o.summary,
                 "at the end, the GVCP requests each camera received, and per second outside file fetches")
        ->group(out);
    app.add_option("--run-for", o.runFor, "stop after this many seconds (default: until Ctrl-C)")
        ->group(out);
}

// Requests a second outside fetches: what the host's heartbeat and polls cost
// a camera, apart from the transfer.
void printSummary(const std::vector<std::unique_ptr<camsim::Camera>>& cams) {
    unsigned requests = 0, outside = 0;
    double outsideSeconds = 0;
    for (const auto& cam : cams) {
        camsim::Snapshot s = cam->snapshot();
        double idle = std::max(0.0, s.requestSeconds - s.fetchSeconds);
        std::printf("%-15s gvcp     %u requests in %.1f s; outside fetches %u in %.1f s (%.1f/s)\n",
                    cam->config().ip.c_str(), s.requests, s.requestSeconds, s.requestsOutsideFetch, idle,
                    idle > 0 ? s.requestsOutsideFetch / idle : 0.0);
        requests += s.requests;
        outside += s.requestsOutsideFetch;
        outsideSeconds += idle;
    }
    std::printf("summary cameras %zu requests %u outside_requests %u outside_s %.2f\n", cams.size(), requests,
                outside, outsideSeconds);
    std::fflush(stdout);
}

int serve(ServeOptions& o) {
    if (!o.pending.empty()) {
        const std::map<std::string, std::uint16_t> codes = {{"readreg", camsim::CMD_READREG},
                                                             {"writereg", camsim::CMD_WRITEREG},
                                                             {"readmem", camsim::CMD_READMEM},
                                                             {"writemem", camsim::CMD_WRITEMEM}};
        for (const auto& p : o.pending)
            for (const auto& kv : codes)
                if (p == "all" || p == kv.first)
                    o.cfg.pendingCommands.insert(kv.second);
    }
    o.cfg.ackFault = o.ackFault == "stale"       ? camsim::AckFault::STALE
                     : o.ackFault == "duplicate" ? camsim::AckFault::DUPLICATE
                                                 : camsim::AckFault::NONE;
    o.cfg.eventLevel = o.quiet ? 0 : o.verbosity;
    if (o.kinds.size() != 1 && o.kinds.size() != o.ips.size()) {
        std::cerr << "camsim: give one --kind for all cameras or one per --ip\n";
        return 2;
    }

    // Before the first camera answers, so a stop request never meets the
    // default action.
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::mutex outLock;
    std::vector<std::unique_ptr<camsim::Camera>> cams;
    for (std::size_t i = 0; i < o.ips.size(); ++i) {
        camsim::Config c = o.cfg;
        c.ip = o.ips[i];
        c.kind = o.kinds[o.kinds.size() == 1 ? 0 : i];
        if (c.seed != 0)
            c.seed += static_cast<std::uint32_t>(i) * 7919;
        auto cam = std::make_unique<camsim::Camera>(c);
        cam->setEventHandler([&outLock](const camsim::Event& e) {
            std::lock_guard<std::mutex> g(outLock);
            std::printf("%s\n", camsim::formatEvent(e).c_str());
            std::fflush(stdout);
        });
        std::string error;
        if (!cam->start(&error)) {
            std::cerr << "camsim: " << error << "\n";
            return 1;
        }
        cams.push_back(std::move(cam));
    }

    auto until = std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(static_cast<long long>(o.runFor * 1000));
    while (!g_quit.load() && (o.runFor <= 0 || std::chrono::steady_clock::now() < until))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto& cam : cams)
        cam->stop();
    if (o.summary)
        printSummary(cams);
    return 0;
}

struct PackageOptions {
    camsim::PackageSpec spec;
    std::string output;
    std::string format;
    std::string layout;
};

void addPackageOptions(CLI::App& sub, PackageOptions& o) {
    camsim::PackageSpec& s = o.spec;
    sub.add_option("-o,--output", o.output, "package file to write")->required();
    sub.add_option("--format", o.format, "zip or tar.gz (default: from the output name, else zip)")
        ->check(CLI::IsMember({"zip", "tar.gz"}));
    sub.add_option("--layout", o.layout,
                   "single: one image set at the top level; per-kind: one inner archive per kind "
                   "(default: per-kind when --kind0/--kind1/--kind3d are given)")
        ->check(CLI::IsMember({"single", "per-kind"}));
    sub.add_option("--image", s.images, "image file of the single layout (repeatable)")->check(CLI::ExistingFile);
    sub.add_option("--kind", s.kind, "hardware kind written into the single layout's information file")
        ->capture_default_str();
    sub.add_option("--kind0", s.kind0Images, "images of the kind-0 inner archive (<base>.zip)")
        ->check(CLI::ExistingFile);
    sub.add_option("--kind1", s.kind1Images, "images of the kind-1 inner archive (<base>-D.zip)")
        ->check(CLI::ExistingFile);
    sub.add_option("--kind3d", s.kind3dImages, "images of the 3D-line inner archive (<base>-KX-D.zip, kind 0)")
        ->check(CLI::ExistingFile);
    sub.add_option("--base-name", s.baseName, "name of the inner archives before their markers")
        ->capture_default_str();
    sub.add_option("--info-name", s.infoName, "information file name")
        ->check(CLI::IsMember({camsim::INFO_NAMES[0], camsim::INFO_NAMES[1], camsim::INFO_NAMES[2]}))
        ->capture_default_str();
    sub.add_option("--version", s.version, "firmware version in the information file")->capture_default_str();
    sub.add_flag("--bad-digest", s.badDigest, "write wrong digests, so cameras answer with state 2");
}

int makePackage(PackageOptions& o) {
    camsim::PackageSpec& s = o.spec;
    bool perKind = !s.kind0Images.empty() || !s.kind1Images.empty() || !s.kind3dImages.empty();
    if (!o.layout.empty())
        perKind = o.layout == "per-kind";
    s.layout = perKind ? camsim::PackageSpec::PER_KIND : camsim::PackageSpec::SINGLE;
    auto endsWith = [&](const char* ext) {
        std::string e(ext);
        return o.output.size() >= e.size() && o.output.compare(o.output.size() - e.size(), e.size(), e) == 0;
    };
    bool tgz = o.format.empty() ? endsWith(".tar.gz") || endsWith(".tgz") : o.format == "tar.gz";
    s.format = tgz ? camsim::ArchiveFormat::TAR_GZ : camsim::ArchiveFormat::ZIP;
    std::string error;
    if (!camsim::makePackage(s, o.output, &error)) {
        std::cerr << "camsim make-package: " << error << "\n";
        return 1;
    }
    std::cout << "wrote " << o.output << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"camsim: simulated GigE Vision cameras with a firmware-upgrade service.\n"
                 "Without a subcommand it serves cameras (GVCP on <ip>:3956) until Ctrl-C."};
    app.footer(INFO_FORMAT_HELP);
    ServeOptions serveOpts;
    addServeOptions(app, serveOpts);

    PackageOptions pkgOpts;
    CLI::App* pkg = app.add_subcommand("make-package", "build a firmware package for the cameras");
    addPackageOptions(*pkg, pkgOpts);
    pkg->footer(INFO_FORMAT_HELP);
    app.require_subcommand(0, 1);

    CLI11_PARSE(app, argc, argv);
    platform::netStartup();  // Winsock before any socket; nothing elsewhere
    if (pkg->parsed())
        return makePackage(pkgOpts);
    return serve(serveOpts);
}
