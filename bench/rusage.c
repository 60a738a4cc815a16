/* SPDX-License-Identifier: MIT */
/* rusage OUTPUT COMMAND...: runs COMMAND and writes its own CPU time and peak
 * resident size to OUTPUT as "user_us system_us maxrss_kib"; exits with its
 * status (128 + signal when killed).
 *
 * A child's peak resident size includes the memory of the image it had before
 * exec, copied at fork. Built static and small, this launcher gives the command
 * next to nothing, so the peak is the command's own, unlike a child of the
 * Python benchmark, which would carry the interpreter's megabytes. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 3) {
    fputs("usage: rusage OUTPUT COMMAND...\n", stderr);
    return 2;
  }
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage use;
  if (pid < 0 || wait4(pid, &status, 0, &use) != pid) {
    return 2;
  }
  FILE *out = fopen(argv[1], "w");
  if (out == NULL) {
    return 2;
  }
  /* time_t and suseconds_t may be 64 bits on a 32-bit target: summed and
   * printed as long long, the widest of them. */
  fprintf(out, "%lld %lld %ld\n", (long long)use.ru_utime.tv_sec * 1000000 + use.ru_utime.tv_usec,
          (long long)use.ru_stime.tv_sec * 1000000 + use.ru_stime.tv_usec, use.ru_maxrss);
  fclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
