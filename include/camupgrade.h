/*
 * camupgrade - firmware upgrade of GigE Vision cameras.
 *
 * One CamUpgrade call runs one complete upgrade of one camera and returns when
 * the job has ended. While it runs, another thread may call GetUpdateStatus to
 * read a progress value from 0 to 100; each such call blocks for two seconds.
 */
#ifndef CAMUPGRADE_H
#define CAMUPGRADE_H

#if defined(CAMUPGRADE_NOT_EXPORTED)
/* Built into another library (the SDK's DLL), which exports only its own. */
#  define CAMUPGRADE_API
#elif defined(_WIN32)
#  if defined(CAMUPGRADE_BUILDING)
#    define CAMUPGRADE_API __declspec(dllexport)
#  else
#    define CAMUPGRADE_API __declspec(dllimport)
#  endif
#else
#  define CAMUPGRADE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Upgrades the camera at deviceIp (dotted IPv4) with the firmware package at
 * packagePath; hostIp is this host's own address on the camera's network.
 * Returns 1 when the job ran to its end (whatever the camera's verdict, which
 * is logged and drives GetUpdateStatus), 0 when the camera could not be
 * connected, the file service (UDP port 69) could not start, or the camera
 * could not be released at the end.
 */
CAMUPGRADE_API int CamUpgrade(const char* hostIp, const char* deviceIp,
                              const char* packagePath);

/* Advances and returns the progress percent (0..100); blocks for 2000 ms. */
CAMUPGRADE_API unsigned int GetUpdateStatus(void);

#ifdef __cplusplus
}
#endif

#endif
