// SPDX-License-Identifier: GPL-2.0-or-later
/* Command timer of bench/live.py: runs a schedule of commands one after
 * another and prints how long each took, from posix_spawn to the end of
 * waitpid, so that what is timed is the command and not the interpreter
 * that starts it.
 *
 *   commands < SCHEDULE
 *
 * Each line of the schedule is a label, a network namespace (a name under
 * /run/netns, or "-" for the timer's own) and the argument vector,
 * separated by tabs.  Entering the namespace is not timed.
 * Output: "LABEL MILLISECONDS STATUS" a line.  Standard input and
 * output of each command are /dev/null; standard error passes through. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

int main(int argc, char **argv) {
  (void)argv;
  if (argc > 1) {
    fprintf(stderr, "usage: commands < SCHEDULE\n");
    return 2;
  }
  int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (home < 0) {
    perror("/proc/self/ns/net");
    return 1;
  }
  char current[256] = "-";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  char *line = NULL;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, stdin)) > 0) {
    if (line[len - 1] == '\n') line[--len] = 0;
    char *args[64];
    int n = 0;
    for (char *save = NULL, *w = strtok_r(line, "\t", &save); w && n < 63; w = strtok_r(NULL, "\t", &save))
      args[n++] = w;
    if (n < 3) continue;
    args[n] = NULL;
    if (strcmp(args[1], current)) {
      int fd = home;
      char path[300];
      if (strcmp(args[1], "-")) {
        snprintf(path, sizeof path, "/run/netns/%s", args[1]);
        fd = open(path, O_RDONLY | O_CLOEXEC);
      }
      if (fd < 0 || setns(fd, CLONE_NEWNET)) {
        perror(args[1]);
        return 1;
      }
      if (fd != home) close(fd);
      snprintf(current, sizeof current, "%s", args[1]);
    }
    pid_t pid;
    double t0 = now_ms();
    int err = posix_spawn(&pid, args[2], &fa, NULL, args + 2, environ);
    if (err) {
      fprintf(stderr, "commands: %s: %s\n", args[2], strerror(err));
      return 1;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0)
      if (errno != EINTR) {
        perror("waitpid");
        return 1;
      }
    double ms = now_ms() - t0;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("%s %.3f %d\n", args[0], ms, code);
    fflush(stdout);
  }
  free(line);
  return 0;
}
