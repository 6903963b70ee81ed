/* Declaration-only stand-in for the target's <process.h>, for the host compile check of the target
 * side (cmake/target-check/README.md). Never linked or run; the real toolchain's headers always
 * win. */
#ifndef CORESYSTEM_TARGET_CHECK_PROCESS_H
#define CORESYSTEM_TARGET_CHECK_PROCESS_H

/* spawn*() modes. */
#define P_WAIT 0
#define P_NOWAIT 1
#define P_NOWAITO 3

#ifdef __cplusplus
extern "C" {
#endif

int spawnv(int mode, const char* path, char* const argv[]);
int spawnvp(int mode, const char* file, char* const argv[]);

#ifdef __cplusplus
}
#endif

#endif
