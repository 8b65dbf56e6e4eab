#include "ExitCodes.h"

#include "session/SessionStates.h"

#include <csignal>
#include <cstdio>

namespace cli {

int exitCodeOf(const engine::CameraResult& r, int signal) {
    using engine::Reason;
    switch (r.reason) {
    case Reason::None:
        return r.verdict == engine::Verdict::Upgraded || r.verdict == engine::Verdict::Current
                   ? EXIT_UPGRADED
                   : EXIT_NO_VERDICT;
    case Reason::BadInput:
        return EXIT_USAGE;
    case Reason::Unreachable:
    case Reason::ControlDenied:
        return EXIT_UNREACHABLE;
    case Reason::PortUnavailable:
    case Reason::Busy:
        return EXIT_NO_FILE_SERVICE;
    case Reason::SessionFailed:
        return r.state >= 0 ? EXIT_STATE_BASE + r.state : EXIT_NO_VERDICT;
    case Reason::NotReleased:
        return EXIT_NOT_RELEASED;
    case Reason::Cancelled:
        return signal == SIGTERM ? EXIT_SIGTERM : EXIT_SIGINT;
    case Reason::Internal:
        return EXIT_STATE_BASE + ST_INNER_ERROR;
    case Reason::CameraBusy:
        return EXIT_BUSY;
    case Reason::Newer:
        return EXIT_NEWER;
    case Reason::WrongVersion:
        return EXIT_WRONG_VERSION;
    case Reason::Lost:
        return EXIT_LOST;
    case Reason::NoVerdict:
    case Reason::HeldBack:
        break;
    }
    return EXIT_NO_VERDICT;
}

int exitCodeOf(const engine::CameraPlan& plan) {
    if (plan.action != engine::Action::Refuse)
        return EXIT_UPGRADED;
    engine::CameraResult refused;
    refused.verdict = engine::Verdict::Refused;
    refused.reason = plan.reason;
    return exitCodeOf(refused);
}

int runExitCode(const std::vector<engine::CameraResult>& results, int signal) {
    if (signal != 0)
        return signal == SIGTERM ? EXIT_SIGTERM : EXIT_SIGINT;
    for (const auto& r : results)
        if (int code = exitCodeOf(r, signal); code != EXIT_UPGRADED)
            return code;
    return EXIT_UPGRADED;
}

std::string exitCodeTable() {
    struct Row { int code; const char* words; };
    const Row before[] = {
        {EXIT_UPGRADED, "every camera upgraded, or current (already at --expect-version)"},
        {EXIT_NO_VERDICT, "the job ended without a verdict, or --all's plan was not confirmed"},
        {EXIT_USAGE, "bad command line or package, or the pre-flight check refused"},
        {EXIT_UNREACHABLE, "the camera does not answer, or refused control"},
        {EXIT_NO_FILE_SERVICE, "UDP port 69 cannot be bound (privilege, another upgrade, a server)"},
        {EXIT_NOT_RELEASED, "the camera could not be released at the end"},
        {EXIT_NEWER, "refused: the camera is newer than --expect-version (--allow-older)"},
        {EXIT_BUSY, "refused: the camera is busy with an earlier upgrade"},
        {EXIT_WRONG_VERSION, "failed: after the upgrade it reports another version than expected"},
        {EXIT_LOST, "failed: the camera was lost during the transfer (--lost-after)"},
    };
    std::string out = "Exit codes (several cameras: the first failure in the list):\n";
    char line[200];
    for (const Row& row : before) {
        std::snprintf(line, sizeof line, "  %3d  %s\n", row.code, row.words);
        out += line;
    }
    std::snprintf(line, sizeof line, "  %d+ the camera or its session failed in state N, the code is %d + N:\n",
                  EXIT_STATE_BASE, EXIT_STATE_BASE);
    out += line;
    std::size_t count = 0;
    const SessionState* states = sessionStates(&count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!states[i].final || states[i].value == ST_SUCCESS)
            continue;
        std::snprintf(line, sizeof line, "  %3d  %s\n", EXIT_STATE_BASE + states[i].value, states[i].words);
        out += line;
    }
    std::snprintf(line, sizeof line, "  %3d  cancelled by Ctrl-C\n  %3d  cancelled by SIGTERM\n",
                  EXIT_SIGINT, EXIT_SIGTERM);
    return out + line;
}

}  // namespace cli
