/*
 * Preloaded into brantel_config by the benchmark to compare two ways of
 * starting ifconfig during `unload`:
 *   BENCH_SPAWN unset or "direct": as the tool does, one process per call;
 *   BENCH_SPAWN=shell: through a shell, sh -c 'ifconfig "$1" down' sh NAME,
 *     the quoting-safe form of system("ifconfig NAME down");
 *   BENCH_SPAWN=none: nothing is started (pid -1, so the tool's waitpid
 *     returns at once), which leaves the cost of the teardown itself.
 * In both, the child's environment loses LD_PRELOAD, so neither variant pays
 * for loading the simulator into the programs it starts.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>

typedef int (*spawnp_fn)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                         const posix_spawnattr_t *, char *const[], char *const[]);

static char **without_preload(char *const envp[]) {
  static char *out[4096];
  size_t n = 0;

  for (; *envp && n + 1 < sizeof out / sizeof out[0]; envp++)
    if (strncmp(*envp, "LD_PRELOAD=", 11) != 0) out[n++] = *envp;
  out[n] = NULL;
  return out;
}

int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
  static spawnp_fn real;
  const char *mode = getenv("BENCH_SPAWN");
  char **env = without_preload(envp);

  if (mode && strcmp(mode, "none") == 0) {
    *pid = -1;
    return 0;
  }
  if (!real) *(void **)&real = dlsym(RTLD_NEXT, "posix_spawnp"); /* POSIX's way */
  if (mode && strcmp(mode, "shell") == 0 && argv[0] && argv[1]) {
    char *sh_argv[] = {(char *)"sh", (char *)"-c", (char *)"ifconfig \"$1\" down",
                       (char *)"sh", argv[1],      NULL};
    return real(pid, "sh", actions, attr, sh_argv, env);
  }
  return real(pid, file, actions, attr, argv, env);
}
