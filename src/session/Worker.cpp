// The job's worker: reads the session's status word, logs what it means and
// publishes it, until the session ends.
#include "session/Worker.h"

#include "platform/platform.h"
#include "platform/socket.h"
#include "printfColor.h"

ResProcess processRes(std::uint16_t word) {
    const SessionState* row = sessionState(stateOf(word));
    if (row == nullptr)
        return RES_CONNECTING;
    if (row->message != nullptr)
        LOG_MAIN_LINE("%s", row->message);
    return row->result;
}

int getProcessStatus(std::uint16_t word) {
    const SessionState* row = sessionState(stateOf(word));
    if (row == nullptr)
        return ST_UPGRADING;
    if (row->repeated)
        LOG_MAIN_LINE("%s", row->message);
    return row->value;
}

namespace camjob {

namespace {

const char* const kLogConfigFile = "SDKLOG_default.properties";

// What a console of the host's locale shows: the GBK code page on Windows,
// UTF-8 elsewhere (GBK bytes would be noise in terminals and log files).
const char* const kNetFailed = platform::kGbkConsole
                                   ? "\xcd\xf8\xc2\xe7\xb3\xf5\xca\xbc\xbb\xaf\xca\xa7\xb0\xdc\xa3"
                                     "\xac\xc7\xeb\xd6\xd8\xc6\xf4\xc8\xed\xbc\xfe"
                                   : "网络初始化失败，请重启软件";

void publish(const Watch& watch, std::uint16_t word) {
    int published = getProcessStatus(word);
    if (watch.publish)
        watch.publish(published);
}

}  // namespace

bool initNetResource() {
    if (platform::netStartup() != 0) {
        LOG_MAIN_LINE("%s", kNetFailed);
        return false;
    }
    LOG_MAIN_LINE("initResource() successed.\n");
    return true;
}

bool deInitNetResource() {
    LOG_MAIN_LINE("CTftpSocket_New::deInitNetResource() successed...\n");
    platform::netCleanup();
    return true;
}

bool setUpLogging() {
    bool configLoaded = TARNlog4cpp::CTarnLog::LoadConfig(kLogConfigFile);
    if (!configLoaded)
        TARNlog4cpp::CTarnLog::LoadDefault();
    const char* rule = "###########################################################################";
    LOG_LINE_AS("CamUpgrade", "%s", rule);
    LOG_LINE_AS("CamUpgrade", "%s", "#                                 Quillon\t\t\t\t\t\t\t  #");
    LOG_LINE_AS("CamUpgrade", "%s", rule);
    LOG_LINE_AS("CamUpgrade", "%s",
                configLoaded ? "use log configuration file" : "use default log configuration");
    return configLoaded;
}

void logConnected() { LOG_LINE_AS("CamUpgrade", "connect succeed\n"); }

int process(const std::function<std::uint16_t()>& status, std::promise<ResProcess>& result,
            const Watch& watch) {
    LOG_MAIN_LINE("updating\n");
    ResProcess last = RES_FAL;
    for (;;) {
        std::uint16_t word = status();
        if (watch.seen)
            watch.seen(word);
        last = processRes(word);
        publish(watch, word);
        if (sessionEnded(word))
            break;
        Pause outcome = Pause::Go;
        if (watch.pause)
            outcome = watch.pause(watch.period);
        else
            platform::sleepMs(static_cast<unsigned>(watch.period.count()));
        if (outcome == Pause::TimedOut) {
            last = processRes(ST_TIMEOUT);
            publish(watch, ST_TIMEOUT);
            break;
        }
        if (outcome == Pause::Cancelled)
            break;
    }
    result.set_value(last);
    return 0;
}

}  // namespace camjob
