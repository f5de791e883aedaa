/* The loopback floor for one synchronous client: round trips of a 4096-byte
 * message each way over one TCP connection on 127.0.0.1, the child echoing
 * with blocking calls. No HTTP/2 server can answer one request at a time
 * faster than this; scripts/bench.sh prints W1 against it.
 *   loopback-floor ROUNDS [SERVER_CPU CLIENT_CPU]
 * Prints "floor: R round trips/s". */
#define _GNU_SOURCE
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kSize = 4096 };

static void Pin(const char *cpu) {
  if (cpu == NULL) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(atoi(cpu), &set);
  sched_setaffinity(0, sizeof(set), &set);
}

static int Exact(int fd, char *buf, int out) {
  int done = 0;
  while (done < kSize) {
    ssize_t n = out ? send(fd, buf + done, kSize - done, MSG_NOSIGNAL)
                    : recv(fd, buf + done, kSize - done, 0);
    if (n <= 0) return -1;
    done += (int)n;
  }
  return 0;
}

int main(int argc, char **argv) {
  long rounds = argc > 1 ? atol(argv[1]) : 20000;
  int one = 1;
  struct sockaddr_in addr;
  socklen_t len = sizeof(addr);
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  if (lfd < 0 || bind(lfd, (struct sockaddr *)&addr, sizeof(addr)) != 0 || listen(lfd, 1) != 0 ||
      getsockname(lfd, (struct sockaddr *)&addr, &len) != 0) {
    perror("loopback-floor: listen");
    return 1;
  }
  pid_t child = fork();
  if (child < 0) {
    perror("loopback-floor: fork");
    return 1;
  }
  char buf[kSize];
  if (child == 0) {
    Pin(argc > 2 ? argv[2] : NULL);
    int fd = accept(lfd, NULL, NULL);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    while (Exact(fd, buf, 0) == 0 && Exact(fd, buf, 1) == 0) {
    }
    _exit(0);
  }
  Pin(argc > 3 ? argv[3] : NULL);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof(addr)) != 0) {
    perror("loopback-floor: connect");
    kill(child, SIGKILL);
    return 1;
  }
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  memset(buf, 'x', sizeof(buf));
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  long i;
  for (i = 0; i < rounds; ++i) {
    if (Exact(fd, buf, 1) != 0 || Exact(fd, buf, 0) != 0) break;
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  close(fd);
  waitpid(child, NULL, 0);
  double secs = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  if (i < rounds || secs <= 0) {
    fprintf(stderr, "loopback-floor: stopped after %ld of %ld round trips\n", i, rounds);
    return 1;
  }
  printf("floor: %.0f round trips/s\n", (double)rounds / secs);
  return 0;
}
