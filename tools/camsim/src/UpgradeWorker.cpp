#include "UpgradeWorker.h"

#include "camsim/Package.h"
#include "camsim/Sha256.h"

#include <mutex>

namespace camsim {

namespace {

// Verdicts a camera reports in its status register.
constexpr std::uint8_t ST_SUCCESS = 0;
constexpr std::uint8_t ST_CHECK_FAIL = 2;
constexpr std::uint8_t ST_DEVICE_ERROR = 3;
constexpr std::uint8_t ST_WORKING = 4;
constexpr std::uint8_t ST_CONNECT_FAIL = 6;
constexpr std::uint8_t ST_VERSION_REFUSED = 7;
constexpr std::uint8_t ST_KIND_MISMATCH = 11;

std::uint8_t fetchFailure(TftpResult::Outcome o) {
    return o == TftpResult::NO_ANSWER ? ST_CONNECT_FAIL : ST_DEVICE_ERROR;
}

}  // namespace

UpgradeWorker::UpgradeWorker(CameraState& state)
    : m_state(state), m_cfg(state.cfg), m_rng((state.cfg.seed != 0 ? state.cfg.seed : std::random_device{}()) + 1) {}

UpgradeWorker::~UpgradeWorker() { stop(); }

void UpgradeWorker::launch(const Action& action) {
    if (m_thread.joinable())
        m_thread.join();
    if (action.type == Action::START_UPGRADE)
        m_thread = std::thread([this, server = action.fileServer] { upgrade(server); });
    else
        m_thread = std::thread([this] {
            if (restart())
                finishJob();
        });
}

void UpgradeWorker::stop() {
    m_waker.wake();
    if (m_thread.joinable())
        m_thread.join();
}

void UpgradeWorker::finishJob() {
    std::lock_guard<std::mutex> g(m_state.lock);
    m_state.model.setBusy(false);
    m_state.wake.notify_all();
}

bool UpgradeWorker::restart() {
    std::vector<Event> out;
    {
        std::lock_guard<std::mutex> g(m_state.lock);
        m_state.answering = false;
        ++m_state.stats.restarts;
        m_state.noteLocked(&out, EventKind::Restart, 1,
                           m_cfg.neverReturn ? std::string("restarting, and never coming back (never-return)")
                                             : "restarting: silent for " + std::to_string(m_cfg.restartMs) + " ms");
        m_state.model.restart();
        m_state.noteLocked(&out, EventKind::Control, 1, {});
    }
    m_state.publish(out);
    if (m_cfg.neverReturn) {
        while (m_state.pause(60000)) {
        }
        return false;
    }
    if (!m_state.pause(m_cfg.restartMs))
        return false;
    std::vector<Event> back;
    {
        std::lock_guard<std::mutex> g(m_state.lock);
        m_state.answering = true;
        m_state.noteLocked(&back, EventKind::Restart, 1, "answering again, control free");
    }
    m_state.publish(back);
    return true;
}

void UpgradeWorker::verdict(std::uint8_t state, const std::string& why) {
    std::uint8_t reported = m_cfg.forceState >= 0 ? static_cast<std::uint8_t>(m_cfg.forceState) : state;
    std::uint8_t percent = 100;
    if (state != ST_SUCCESS) {
        std::lock_guard<std::mutex> g(m_state.lock);
        percent = m_state.model.percent();
    }
    std::string text = why;
    if (reported != state)
        text += " (force-state: reporting " + std::to_string(reported) + ")";
    m_state.setStatus(reported, percent, text);
    finishJob();
}

TftpResult UpgradeWorker::fetch(const std::string& server, const std::string& name, std::size_t limit,
                                std::function<bool(std::size_t)> progress, std::size_t expected) {
    TftpRequest req;
    req.localIp = m_cfg.ip;
    req.serverIp = server;
    req.serverPort = m_cfg.tftpPort;
    req.file = name;
    req.timeoutMs = m_cfg.tftpTimeoutMs;
    req.retries = m_cfg.tftpRetries;
    req.maxBytes = limit;
    // A camera that ends a file only at a short block waits on for a file
    // whose size is a multiple of 512.
    req.expectedBytes = m_cfg.endOnShortBlockOnly ? 0 : expected;
    std::bernoulli_distribution loss(m_cfg.dataLoss);
    if (m_cfg.dataLoss > 0)
        req.dropBlock = [this, &loss] {
            if (!loss(m_rng))
                return false;
            std::lock_guard<std::mutex> g(m_state.lock);
            ++m_state.stats.droppedBlocks;
            return true;
        };
    req.progress = std::move(progress);
    req.note = [this](const std::string& line) { m_state.note(EventKind::Transfer, 2, line); };
    m_state.note(EventKind::Transfer, 1,
                 "requesting " + name + " from " + server + ":" + std::to_string(m_cfg.tftpPort));
    m_state.fetchStarts();
    TftpResult result = tftpFetch(req, &m_waker);
    m_state.fetchEnds();
    return result;
}

void UpgradeWorker::upgrade(const std::string& server) {
    {
        std::lock_guard<std::mutex> g(m_state.lock);
        ++m_state.stats.upgradeCommands;
        m_state.stats.files.clear();
        m_state.stats.packageVersion.clear();
    }
    if (m_cfg.restartOnCommand) {
        // Some cameras restart into their loader before they fetch anything.
        m_state.note(EventKind::Fault, 1, "restarting before the fetch (restart-on-command)");
        if (!restart())
            return;
    }
    TftpResult infoData = fetch(server, m_cfg.infoFile, 64 * 1024, {});
    if (infoData.outcome == TftpResult::STOPPED)
        return;
    if (infoData.outcome != TftpResult::OK)
        return verdict(fetchFailure(infoData.outcome), "cannot fetch " + m_cfg.infoFile + ": " + infoData.message);
    m_state.note(EventKind::Transfer, 1,
                 "fetched " + m_cfg.infoFile + ": " + std::to_string(infoData.data.size()) + " bytes");

    InfoFile info;
    std::string error;
    if (!parseInfo(std::string(infoData.data.begin(), infoData.data.end()), &info, &error))
        return verdict(ST_DEVICE_ERROR, m_cfg.infoFile + " unreadable: " + error);
    {
        std::lock_guard<std::mutex> g(m_state.lock);
        m_state.stats.packageVersion = info.version;
    }
    if (info.kind != m_cfg.kind)
        return verdict(ST_KIND_MISMATCH, "package is for kind " + std::to_string(info.kind) +
                                             ", this camera is kind " + std::to_string(m_cfg.kind));
    if (!m_cfg.minVersion.empty() && compareVersions(info.version, m_cfg.minVersion) < 0)
        return verdict(ST_VERSION_REFUSED, "version " + info.version + " refused: older than " + m_cfg.minVersion);
    std::uint64_t total = 0;
    for (const auto& img : info.images) {
        if (img.size > m_cfg.maxImageBytes)
            return verdict(ST_DEVICE_ERROR, "image " + img.name + " of " + std::to_string(img.size) +
                                                " bytes does not fit (limit " + std::to_string(m_cfg.maxImageBytes) +
                                                ")");
        total += img.size;
    }

    bool restartPending = m_cfg.restartMidTransfer;
    std::uint64_t before = 0;  // bytes of the images already taken
    for (std::size_t i = 0; i < info.images.size(); ++i) {
        const ImageEntry& img = info.images[i];
        bool cutShort = false;
        auto progress = [&](std::size_t got) {
            if (restartPending && got * 2 >= img.size && got < img.size) {
                cutShort = true;
                return false;
            }
            auto pct = total == 0 ? 50 : (before + got) * 50 / total;
            m_state.setStatus(ST_WORKING, static_cast<std::uint8_t>(pct));
            return true;
        };
        // A small slack over the announced size lets a wrong size show up
        // as a failed check rather than as an image too big to take.
        TftpResult r = fetch(server, img.name, img.size + 65536, progress, img.size);
        if (cutShort) {
            restartPending = false;
            m_state.note(EventKind::Fault, 1,
                         "restarting in the middle of " + img.name + " after " + std::to_string(r.data.size()) +
                             " bytes (restart-mid-transfer)");
            if (!restart())
                return;
            m_state.note(EventKind::Transfer, 1, "requesting " + img.name + " again");
            --i;
            continue;
        }
        if (r.outcome == TftpResult::STOPPED)
            return;
        if (r.outcome != TftpResult::OK)
            return verdict(fetchFailure(r.outcome), "cannot fetch " + img.name + ": " + r.message);
        FetchedFile f{img.name, r.data.size(), Sha256::of(r.data.data(), r.data.size()), false, r.resends};
        f.verified = f.size == img.size && f.sha256 == img.sha256;
        {
            std::lock_guard<std::mutex> g(m_state.lock);
            m_state.stats.files.push_back(f);
        }
        m_state.note(EventKind::Transfer, 1,
                     "fetched " + img.name + ": " + std::to_string(f.size) + " bytes from port " +
                         std::to_string(r.serverPort) + ", sha256 " + f.sha256.substr(0, 16) + "... " +
                         (f.verified ? "ok" : "MISMATCH") +
                         (r.resends ? ", " + std::to_string(r.resends) + " re-sent" : std::string()));
        if (!f.verified)
            return verdict(ST_CHECK_FAIL, img.name + " does not match its information (" +
                                              std::to_string(img.size) + " bytes expected)");
        before += img.size;
    }

    m_state.note(EventKind::Upgrade, 1,
                 "flashing " + std::to_string(info.images.size()) + " image(s), version " + info.version);
    const int steps = m_cfg.flashMs >= 100 ? 10 : 1;
    for (int s = 1; s <= steps; ++s) {
        if (!m_state.pause(m_cfg.flashMs / steps))
            return;
        m_state.setStatus(ST_WORKING, static_cast<std::uint8_t>(50 + 50 * s / steps));
    }
    {
        std::lock_guard<std::mutex> g(m_state.lock);
        m_state.model.setFirmwareVersion(info.version);
    }
    if (m_cfg.restartAfterUpgrade && !restart())
        return;
    verdict(ST_SUCCESS, "upgrade to " + info.version + " done");
}

}  // namespace camsim
