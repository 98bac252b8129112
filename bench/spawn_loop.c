/* The physical limit of a process alias: spawn /bin/sh -c COMMAND (default
 * 'echo hello') with a pipe on stdout, read it, reap it, in a loop; one loop
 * per process.
 * usage: spawn_loop SECONDS [PROCS [COMMAND]] -> prints spawns/s and CPU ms per spawn */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 5;
  int procs = argc > 2 ? atoi(argv[2]) : (int)sysconf(_SC_NPROCESSORS_ONLN);
  long *counts = mmap(NULL, sizeof(long) * procs, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  for (int p = 0; p < procs; ++p) {
    if (fork() == 0) {
      double end = now() + seconds;
      long n = 0;
      char *args[] = {"sh", "-c", argc > 3 ? argv[3] : "echo hello", NULL};
      while (now() < end) {
        int fds[2];
        if (pipe(fds)) return 1;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        pid_t pid;
        if (posix_spawn(&pid, "/bin/sh", &fa, NULL, args, environ)) return 1;
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        char buf[64];
        while (read(fds[0], buf, sizeof buf) > 0) {
        }
        close(fds[0]);
        waitpid(pid, NULL, 0);
        ++n;
      }
      counts[p] = n;
      _exit(0);
    }
  }
  for (int p = 0; p < procs; ++p) wait(NULL);
  long total = 0;
  for (int p = 0; p < procs; ++p) total += counts[p];
  struct rusage ru;
  getrusage(RUSAGE_CHILDREN, &ru);
  const double cpu_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
  printf("spawn_loop: %d loops, %.0f spawns/s, cpu/spawn %.2f ms\n", procs, total / seconds, cpu_ms / total);
  return 0;
}
