#include "ExitCodes.h"

#include <csignal>
#include <cstdio>

namespace cli {

int exitCodeOf(const camupgrade::Result& r, int signal) {
    switch (r.reason) {
    case CU_REASON_NONE:
        return r.verdict == CU_VERDICT_UPGRADED || r.verdict == CU_VERDICT_CURRENT
                   ? EXIT_UPGRADED
                   : EXIT_NO_VERDICT;
    case CU_REASON_BAD_INPUT:
        return EXIT_USAGE;
    case CU_REASON_UNREACHABLE:
    case CU_REASON_CONTROL_DENIED:
        return EXIT_UNREACHABLE;
    case CU_REASON_PORT:
    case CU_REASON_BUSY:
        return EXIT_NO_FILE_SERVICE;
    case CU_REASON_CAMERA_STATE:
        return r.state >= 0 ? EXIT_STATE_BASE + r.state : EXIT_NO_VERDICT;
    case CU_REASON_NOT_RELEASED:
        return EXIT_NOT_RELEASED;
    case CU_REASON_CANCELLED:
        return signal == SIGTERM ? EXIT_SIGTERM : EXIT_SIGINT;
    case CU_REASON_INTERNAL:
        return EXIT_STATE_BASE + CU_STATE_INNER_ERROR;
    case CU_REASON_CAMERA_BUSY:
        return EXIT_BUSY;
    case CU_REASON_NEWER:
        return EXIT_NEWER;
    case CU_REASON_WRONG_VERSION:
        return EXIT_WRONG_VERSION;
    case CU_REASON_LOST:
        return EXIT_LOST;
    case CU_REASON_NO_VERDICT:
    case CU_REASON_HELD_BACK:
        break;
    }
    return EXIT_NO_VERDICT;
}

int exitCodeOf(const camupgrade::Plan& plan) {
    if (plan.action != CU_ACTION_REFUSE)
        return EXIT_UPGRADED;
    camupgrade::Result refused;
    refused.verdict = CU_VERDICT_REFUSED;
    refused.reason = plan.reason;
    return exitCodeOf(refused);
}

int runExitCode(const std::vector<camupgrade::Result>& results, int signal) {
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
    int final = 0;
    for (int state = CU_STATE_SUCCESS + 1; const char* words = cu_state_words(state, &final);
         ++state) {
        if (!final)
            continue;
        std::snprintf(line, sizeof line, "  %3d  %s\n", EXIT_STATE_BASE + state, words);
        out += line;
    }
    std::snprintf(line, sizeof line, "  %3d  cancelled by Ctrl-C\n  %3d  cancelled by SIGTERM\n",
                  EXIT_SIGINT, EXIT_SIGTERM);
    return out + line;
}

}  // namespace cli
