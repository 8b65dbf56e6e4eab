/*
 * camupgrade SDK - the upgrade engine for host applications, as a C API with
 * a stable ABI (libcamupgrade-sdk.so.1 / camupgrade-sdk.dll).
 *
 * A job is a table of cameras (address, package, name) with options. It is
 * planned (every check, nothing commanded), run (blocking) or started and
 * waited for, and cancelled from any thread or a signal handler. What happens
 * reaches the host through three callbacks, all called from one thread of
 * the job, one call at a time. docs/sdk.md tells the whole lifecycle.
 *
 * ABI rules: structs begin with their size, which the caller sets to
 * sizeof(the struct) as its header knows it. Fields are only ever added at
 * the end. A struct the library reads (cu_options) may be smaller than the
 * library's (older caller: the missing fields take their zero default) or
 * larger (newer caller: accepted when every byte the library does not know is
 * zero, refused with CU_ERR_STRUCT_SIZE otherwise, so that a setting the
 * library cannot honour is never silently dropped). A struct the library
 * fills (cu_identity, cu_plan, cu_result) is filled up to the smaller of the
 * two sizes; its struct_size then says how much was written. Structs the
 * library hands to a callback carry the library's size: read a field only
 * when struct_size covers it. Every zero-filled option struct means "the
 * defaults".
 */
#ifndef CAMUPGRADE_SDK_H
#define CAMUPGRADE_SDK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(CAMUPGRADE_SDK_BUILDING)
#    define CU_API __declspec(dllexport)
#  else
#    define CU_API __declspec(dllimport)
#  endif
#else
#  define CU_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Every call returns one of these; cu_strerror turns it into a sentence and
 * cu_last_error gives the detail of the calling thread's last failure. */
typedef enum cu_error {
    CU_OK = 0,
    CU_ERR_ARGUMENT = 1,     /* a required pointer is null or a value is out of range */
    CU_ERR_HANDLE = 2,       /* null, freed or unknown job handle */
    CU_ERR_STRUCT_SIZE = 3,  /* struct_size too small, or a newer struct with settings this library lacks */
    CU_ERR_ADDRESS = 4,      /* not a dotted IPv4 address, or a camera listed twice */
    CU_ERR_PACKAGE = 5,      /* the package file does not exist or cannot be read */
    CU_ERR_RUNNING = 6,      /* the job is running */
    CU_ERR_DONE = 7,         /* the job has already run; make a new one */
    CU_ERR_NOT_STARTED = 8,  /* the job was never started */
    CU_ERR_TIMEOUT = 9,      /* cu_job_wait: the job still runs */
    CU_ERR_IN_CALLBACK = 10, /* waiting for or freeing the job from its own callback */
    CU_ERR_NO_ANSWER = 11,   /* the camera does not answer */
    CU_ERR_NETWORK = 12,     /* a discovery could not be sent */
    CU_ERR_LIMIT = 13,       /* too many jobs exist at once (4096) */
    CU_ERR_INTERNAL = 14,    /* an unexpected failure inside the library */
    CU_ERR_OPTION = 15,      /* an option's value is unusable (cu_last_error says which) */
    CU_ERR_HISTORY = 16      /* the history file cannot be used (cu_last_error says why) */
} cu_error;

/* A camera's session state: bits 0-7 of its status word (cu_status.state,
 * cu_result.state). cu_state_words names each. */
typedef enum cu_state {
    CU_STATE_SUCCESS = 0,
    CU_STATE_IP_ERROR = 1,
    CU_STATE_CHECK_FAIL = 2,
    CU_STATE_DEVICE_ERROR = 3,
    CU_STATE_UPGRADING = 4,       /* busy: fetching or flashing */
    CU_STATE_READY = 5,
    CU_STATE_CONNECT_FAIL = 6,
    CU_STATE_VERSION_MISMATCH = 7,
    CU_STATE_TIMEOUT = 8,
    CU_STATE_READY_SENDING = 9,
    CU_STATE_LINK_LOST = 10,
    CU_STATE_FIRMWARE_MISMATCH = 11,
    CU_STATE_CONNECTING = 12,
    CU_STATE_INNER_ERROR = 13,
    CU_STATE_OFFLINE = 14
} cu_state;

/* Where a camera's upgrade stands (cu_status.phase). */
typedef enum cu_phase {
    CU_PHASE_QUEUED = 0,     /* waiting for a free slot (cu_options.parallel) */
    CU_PHASE_CHECKING = 1,   /* pre-flight */
    CU_PHASE_CONNECTING = 2, /* taking control */
    CU_PHASE_PREPARING = 3,  /* unpacking the package */
    CU_PHASE_WAITING = 4,    /* commanded; nothing fetched yet */
    CU_PHASE_TRANSFER = 5,   /* the camera fetches its files */
    CU_PHASE_FLASHING = 6,   /* every file served; the camera writes its flash */
    CU_PHASE_RESTARTING = 7, /* the camera restarts: do not power it off */
    CU_PHASE_BACK_ONLINE = 8,
    CU_PHASE_RELEASING = 9,
    CU_PHASE_DONE = 10,
    CU_PHASE_LOST = 11       /* silent before all its files were served: not restarting */
} cu_phase;

typedef enum cu_verdict {
    CU_VERDICT_UPGRADED = 0,
    CU_VERDICT_FAILED = 1,    /* the camera or its session failed: reason and state say how */
    CU_VERDICT_REFUSED = 2,   /* the pre-flight refused: the camera was never commanded */
    CU_VERDICT_CANCELLED = 3, /* cu_job_cancel: serving stopped, control released, folder removed */
    CU_VERDICT_CURRENT = 4,   /* already at the expected version: never commanded */
    CU_VERDICT_NOT_STARTED = 5 /* held back (canary, stop-after): never commanded */
} cu_verdict;

/* Why a camera ended as it did (cu_result.reason, cu_plan.reason). */
typedef enum cu_reason {
    CU_REASON_NONE = 0,            /* upgraded and released (for a plan: nothing stands in the way) */
    CU_REASON_BAD_INPUT = 1,       /* an address, the package or its layout is unusable */
    CU_REASON_UNREACHABLE = 2,     /* the camera does not answer */
    CU_REASON_CONTROL_DENIED = 3,  /* another application holds the camera */
    CU_REASON_PORT = 4,            /* UDP port 69 could not be bound */
    CU_REASON_BUSY = 5,            /* another job runs in this process */
    CU_REASON_CAMERA_STATE = 6,    /* the camera or session failed in cu_result.state */
    CU_REASON_NO_VERDICT = 7,      /* the session ended without a final state */
    CU_REASON_NOT_RELEASED = 8,    /* upgraded, but control could not be given back */
    CU_REASON_CANCELLED = 9,
    CU_REASON_INTERNAL = 10,       /* an unexpected failure ended this camera */
    CU_REASON_CAMERA_BUSY = 11,    /* busy with an earlier upgrade: refused before it was commanded */
    CU_REASON_NEWER = 12,          /* newer than the expected version: refused */
    CU_REASON_WRONG_VERSION = 13,  /* upgraded, but it reports another version than the expected one */
    CU_REASON_LOST = 14,           /* silent before all its files were served */
    CU_REASON_HELD_BACK = 15       /* a canary or stop-after kept it from starting */
} cu_reason;

/* Who a camera is, read without taking control. Text fields are
 * NUL-terminated (cut to fit when a camera's register holds more). */
typedef struct cu_identity {
    size_t struct_size;
    char ip[16];
    char mac[18];                 /* "00:11:22:33:44:55" */
    char manufacturer[33];
    char model[33];
    char version[33];             /* the firmware version */
    char manufacturer_info[49];
    char serial[17];
    char user_name[17];
    int kind;                     /* hardware kind 0 or 1; -1 when unread */
    uint32_t kind_register;       /* 0 when unread */
    /* Version 3 of the struct (the first that grew it): the status register,
     * read without control by cu_info; status_read is 0 elsewhere. */
    int status_read;              /* the status register answered */
    int state;                    /* cu_state; -1 when unread */
    int percent;                  /* the camera's own percent */
} cu_identity;

/* A camera's status, on every change. Pointers are valid during the call. */
typedef struct cu_status {
    size_t struct_size;
    size_t index;                 /* the camera's position in the job */
    const char* camera_ip;
    const char* name;             /* "" when none was given */
    int phase;                    /* cu_phase */
    const char* phase_name;       /* "queued", ..., "lost", ..., "back online", "done" */
    int state;                    /* session state; -1 before the first */
    int percent;                  /* the camera's own percent */
    int link_up;                  /* the control channel answers */
    const char* file;             /* file being served; "" when none */
    uint64_t file_bytes;          /* of it served so far */
    uint64_t file_size;           /* 0 when unknown */
    uint64_t bytes_served;        /* every file so far */
    double bytes_per_second;      /* recent transfer rate */
    double silent_seconds;        /* since the last change of state, percent or transfer; -1 when none yet */
} cu_status;

/* How one camera ended. Pointers stay valid until cu_job_free. */
typedef struct cu_result {
    size_t struct_size;
    size_t index;
    const char* camera_ip;
    const char* name;
    int verdict;                  /* cu_verdict */
    const char* verdict_name;     /* "upgraded", "failed", "refused", "cancelled", "current", "not started" */
    int reason;                   /* cu_reason */
    int state;                    /* final session state; -1 when none was reached */
    const char* message;          /* one sentence for a person */
    int connected;                /* control was taken */
    int commanded;                /* the camera was told to upgrade */
    int released;                 /* control was given back (or never taken) */
    const cu_identity* before;    /* NULL when not read */
    const cu_identity* after;     /* NULL when not read */
    uint64_t bytes_served;
    double seconds;
    /* Version 2 of the struct (read only when struct_size covers it): */
    int downgraded;               /* after->version is older than before->version */
    /* Version 3 of the struct: what a record of the attempt needs. */
    const char* host_ip;          /* the address the camera fetched from; "" when not checked */
    const char* layout;           /* the package's layout as the pre-flight found it; "" */
    const char* package;          /* the package, as an absolute path */
    int64_t started_ms;           /* wall clock, milliseconds since 1970 UTC; 0 when the */
    int64_t ended_ms;             /* camera never started */
} cu_result;

/* What an upgrade would do with a camera (cu_plan.action). */
typedef enum cu_action {
    CU_ACTION_UPGRADE = 0,
    CU_ACTION_CURRENT = 1,   /* at cu_options.expect_version already: it would not be commanded */
    CU_ACTION_REFUSE = 2     /* reason and message say why */
} cu_action;

/* A file the camera would be served. The struct never grows. */
typedef struct cu_file {
    const char* name;
    uint64_t size;
} cu_file;

/* What an upgrade would do for one camera; nothing was commanded.
 * Pointers stay valid until the next cu_job_plan of the camera or cu_job_free. */
typedef struct cu_plan {
    size_t struct_size;
    size_t index;
    int ok;                       /* every check holds */
    int reason;                   /* cu_reason when not ok */
    const char* message;          /* one sentence when not ok, else "" */
    const char* host_ip;          /* the address the camera would fetch from */
    const char* layout;           /* "single image", "per kind", "package folder" */
    const cu_identity* identity;  /* NULL when the camera did not answer; only its kind
                                     is set (ip "") when the rest could not be read */
    /* Version 2 of the struct: */
    int action;                   /* cu_action; ok is set only for CU_ACTION_UPGRADE */
    /* Version 3 of the struct: everything the plan read. */
    const char* camera_ip;
    const char* name;             /* as given to the job; "" when none */
    int answered;                 /* the camera answered */
    int status_read;              /* its status register answered: */
    int busy;                     /*   it reports CU_STATE_UPGRADING */
    int state;                    /*   cu_state; -1 when unread */
    int percent;
    const char* package;          /* absolute path */
    int package_is_folder;
    uint64_t package_size;        /* bytes of the file; of every file of a folder */
    const char* sha256;           /* of the package file; "" for a folder or when unread */
    const char* folder;           /* what the camera's kind gets: "top level" or the entry; "" */
    size_t file_count;            /* the files that would be served, in name order */
    const cu_file* files;
    const char* expect_version;   /* "" when not checked */
} cu_plan;

typedef void (*cu_status_fn)(const cu_status* status, void* user);
typedef void (*cu_log_fn)(const char* line, void* user);  /* one line, no line end */
typedef void (*cu_result_fn)(const cu_result* result, void* user);
typedef void (*cu_found_fn)(const cu_identity* identity, void* user);
/* A log line with the camera it belongs to: its index in the job and its
 * address, or SIZE_MAX and "" when it belongs to none or cannot be told. */
typedef void (*cu_camera_log_fn)(size_t index, const char* camera_ip, const char* line,
                                 void* user);

/* cu_options.heartbeat_ms: heartbeat reads back to back, with no pause. */
#define CU_HEARTBEAT_BACK_TO_BACK UINT32_MAX

/* Options of a job. A zero field is the default. */
typedef struct cu_options {
    size_t struct_size;
    const char* host_ip;          /* this host's address for the cameras; NULL: the route's source */
    uint32_t inactivity_ms;       /* a camera times out after this long without news; 0: 15 minutes */
    uint32_t parallel;            /* cameras upgraded at once; 0: all */
    int skip_identity;            /* do not read the cameras' identity before and after */
    cu_status_fn on_status;       /* any callback may be NULL */
    cu_log_fn on_log;
    cu_result_fn on_result;
    void* user;                   /* passed to every callback */
    /* Version 2 of the struct: the version guard, the package's digest, the
     * brakes for a line and the pace of the heartbeat. */
    const char* expect_version;   /* the package's version, dotted numbers ("2.1.0"): a camera
                                     at it ends current and a newer one refused, neither
                                     commanded; after an upgrade the camera must report it.
                                     NULL or "": not checked */
    int reinstall;                /* flash cameras already at expect_version (needs it) */
    int allow_older;              /* flash cameras newer than expect_version (needs it) */
    const char* sha256;           /* the package's digest, 64 hex digits: any other package
                                     is refused before the camera is read. NULL or "": not checked */
    uint32_t canary;              /* the first N cameras go alone, the others only once every
                                     one of them upgraded; 0: off */
    uint32_t stop_after;          /* after N cameras failed or were refused no further one
                                     starts; 0: no limit */
    uint32_t heartbeat_ms;        /* pause between two heartbeat reads, at most 1500;
                                     0: 1000; CU_HEARTBEAT_BACK_TO_BACK: no pause */
    uint32_t lost_after_ms;       /* a camera silent this long before all its files were
                                     served ends lost; 0: 60000 */
    /* Version 3 of the struct: */
    const char* unpack_root;      /* packages are unpacked in a private folder made in it;
                                     NULL or "": the system's temporary folder */
    int plan_skips_port;          /* cu_job_plan leaves out whether port 69 can be bound
                                     (a plan made without the privilege to bind it) */
    cu_camera_log_fn on_camera_log; /* every log line with its camera (on_log gets it too) */
} cu_options;

typedef struct cu_job cu_job;

/* The library's version, "0.2.0". */
CU_API const char* cu_version(void);
/* A sentence for an error code (never NULL). */
CU_API const char* cu_strerror(int error);
/* The detail of the calling thread's last call ("cannot read the package
 * /x"), "" when it succeeded; cu_job_cancel leaves it alone. Valid until the
 * thread's next call. */
CU_API const char* cu_last_error(void);

/* A new job (options may be NULL: the defaults). */
CU_API cu_error cu_job_new(const cu_options* options, cu_job** job);
/* Adds a camera (dotted IPv4) with its package; name may be NULL. Relative
 * package paths are taken from the current folder now. */
CU_API cu_error cu_job_add_camera(cu_job* job, const char* camera_ip, const char* package,
                                  const char* name);
/* Checks camera `index` as the upgrade would, commanding nothing: the
 * package and its digest, the camera's answer, status and kind, the host
 * address, port 69 (unless plan_skips_port). Blocks; no callback is called. */
CU_API cu_error cu_job_plan(cu_job* job, size_t index, cu_plan* plan);
/* Starts the job on threads of its own and returns. */
CU_API cu_error cu_job_start(cu_job* job);
/* Waits until the job has ended and every callback has returned; timeout_ms
 * < 0 waits without limit. CU_ERR_TIMEOUT when it still runs. */
CU_API cu_error cu_job_wait(cu_job* job, int32_t timeout_ms);
/* cu_job_start, then cu_job_wait without limit. */
CU_API cu_error cu_job_run(cu_job* job);
/* Asks the job to stop. Safe from any thread and from a signal handler.
 * Before the start it is kept: the job then commands no camera. */
CU_API cu_error cu_job_cancel(cu_job* job);
/* The result of camera `index` once the job has ended. */
CU_API cu_error cu_job_result(cu_job* job, size_t index, cu_result* result);
/* Cancels the job if it runs, waits for its end, and frees it; the handle
 * is then invalid (CU_ERR_HANDLE from every call). */
CU_API cu_error cu_job_free(cu_job* job);

/* Reads a camera's identity without taking control; timeout_ms 0: 1000. */
CU_API cu_error cu_info(const char* camera_ip, uint32_t timeout_ms, cu_identity* identity);
/* Sends a GigE Vision discovery on the named interface (NULL or "": the
 * limited broadcast) and calls found for each camera that answers within
 * window_ms (0: 1000), on the calling thread. */
CU_API cu_error cu_discover(const char* interface_name, uint32_t window_ms, cu_found_fn found,
                            void* user);

/* The words a person is shown for a session state ("the camera rejected the
 * firmware image (check failed)"), NULL beyond the table. *final (may be
 * NULL) tells whether the session is over in that state. */
CU_API const char* cu_state_words(int state, int* final);

/* The history: one row per camera per run in an SQLite file the camupgrade
 * command writes as well (docs/history.md). The library never decides an
 * exit code: the host gives its own. A build without SQLite answers
 * CU_ERR_HISTORY to every call but cu_history_default_path. */

/* What the host adds to a row besides the result. */
typedef struct cu_record_info {
    size_t struct_size;
    int exit_code;                /* the host's exit code for this camera */
    const char* tool_version;     /* the recording program's version; NULL: none */
    const char* expected_version; /* NULL: none */
    const char* package_sha256;   /* NULL: read from cu_result.package; "": unknown */
    int64_t package_size;         /* with package_sha256; -1: unknown */
} cu_record_info;

/* One row as read back. Text the file holds as NULL is "", numbers -1.
 * Pointers are valid during the call. */
typedef struct cu_history_row {
    size_t struct_size;
    const char* started;          /* ISO 8601 UTC, "2026-12-06T05:01:02Z" */
    const char* ended;
    const char* host_name;
    const char* host_ip;
    const char* user;
    const char* tool_version;
    const char* library_version;
    const char* camera;
    const char* mac;
    const char* serial;
    const char* model;
    int kind;
    const char* version_before;
    const char* version_after;
    const char* expected_version;
    const char* package;
    int64_t package_size;
    const char* package_sha256;
    const char* layout;
    const char* verdict;
    int state;
    int exit_code;
    const char* message;
    double seconds;
    int64_t bytes_served;
} cu_history_row;

/* Which rows cu_history_query gives; NULL or "" fields select everything. */
typedef struct cu_history_filter {
    size_t struct_size;
    const char* camera;
    const char* serial;
    const char* since;            /* "2026-12-06", "2026-12-06T05:30", ... UTC */
} cu_history_filter;

typedef void (*cu_history_row_fn)(const cu_history_row* row, void* user);

/* The history's usual place for this user; valid until the thread's next call. */
CU_API const char* cu_history_default_path(void);
/* Opens the history for writing, creating it when new (path NULL: the usual
 * place). A damaged file is renamed aside and a new one started: *notice
 * (may be NULL) then says so, else it is ""; valid until the thread's next
 * call. */
CU_API cu_error cu_history_open(const char* path, const char** notice);
/* Records one camera's attempt as a row, as cu_history_open opens the file. */
CU_API cu_error cu_history_record(const char* path, const cu_result* result,
                                  const cu_record_info* info, const char** notice);
/* Calls row for each row that passes the filter (NULL: all), newest first,
 * on the calling thread. A missing or damaged file is CU_ERR_HISTORY and
 * left as it is. */
CU_API cu_error cu_history_query(const char* path, const cu_history_filter* filter,
                                 cu_history_row_fn row, void* user);

#ifdef __cplusplus
}
#endif

#endif
