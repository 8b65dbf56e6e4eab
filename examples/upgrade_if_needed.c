/*
 * Checks the firmware of one camera and upgrades it when it differs from the
 * wanted version, with the C API. Ctrl-C cancels the upgrade: the camera is
 * released before the program ends.
 *
 *   upgrade_if_needed_c CAMERA_IP PACKAGE VERSION [HOST_IP]
 *
 * Exit status 0 when the camera runs VERSION (already or after the upgrade).
 */
#include <camupgrade_sdk.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>

static cu_job* volatile g_job;

static void on_signal(int signal_number) {
    (void)signal_number;
    cu_job_cancel(g_job); /* async-signal-safe; a null handle is refused */
}

static void on_status(const cu_status* status, void* user) {
    int* last_phase = user;
    if (status->phase == *last_phase)
        return;
    *last_phase = status->phase;
    printf("%s: %s\n", status->camera_ip, status->phase_name);
}

static int fail(const char* what, cu_error error) {
    fprintf(stderr, "%s: %s\n", what, *cu_last_error() ? cu_last_error() : cu_strerror(error));
    return 1;
}

int main(int argc, char** argv) {
    const char *camera, *package, *wanted;
    cu_identity identity;
    cu_options options;
    cu_result result;
    cu_job* job = NULL;
    cu_error error;
    int last_phase = -1, ok;

    if (argc < 4) {
        fprintf(stderr, "usage: %s CAMERA_IP PACKAGE VERSION [HOST_IP]\n", argv[0]);
        return 2;
    }
    camera = argv[1];
    package = argv[2];
    wanted = argv[3];

    memset(&identity, 0, sizeof identity);
    identity.struct_size = sizeof identity;
    if ((error = cu_info(camera, 1000, &identity)) != CU_OK)
        return fail(camera, error);
    if (strcmp(identity.version, wanted) == 0) {
        printf("%s (%s %s) runs firmware %s already\n", camera, identity.manufacturer,
               identity.model, identity.version);
        return 0;
    }
    printf("%s runs firmware %s; upgrading to %s\n", camera, identity.version, wanted);

    memset(&options, 0, sizeof options);
    options.struct_size = sizeof options;
    options.host_ip = argc > 4 ? argv[4] : NULL;
    options.on_status = on_status;
    options.user = &last_phase;
    if ((error = cu_job_new(&options, &job)) != CU_OK)
        return fail("cu_job_new", error);
    if ((error = cu_job_add_camera(job, camera, package, NULL)) != CU_OK) {
        cu_job_free(job);
        return fail(camera, error);
    }
    g_job = job;
    signal(SIGINT, on_signal);
    error = cu_job_run(job);
    signal(SIGINT, SIG_DFL);
    g_job = NULL;

    memset(&result, 0, sizeof result);
    result.struct_size = sizeof result;
    if (error == CU_OK)
        error = cu_job_result(job, 0, &result);
    if (error != CU_OK) {
        cu_job_free(job);
        return fail(camera, error);
    }
    ok = result.verdict == CU_VERDICT_UPGRADED && result.after != NULL &&
         strcmp(result.after->version, wanted) == 0;
    printf("%s: %s%s%s\n", camera, result.verdict_name, *result.message ? ": " : "",
           result.message);
    if (result.after != NULL)
        printf("%s: firmware %s\n", camera, result.after->version);
    cu_job_free(job); /* the result's strings go with the job */
    return ok ? 0 : 1;
}
