// SPDX-License-Identifier: GPL-2.0-or-later
/* Injector and receiver of bench/live.py: sends 60-byte frames with
 * sendmmsg on a packet socket at one end of a veth pair and counts, on a
 * packet socket per receiving device, which device each frame reached.
 *
 * On veth the receiving end's whole path (tc ingress, macvlan, the second
 * pass after a redirect, the receiving socket) runs in the softirq that the
 * sender's own sendmmsg raises, in the sender's context, so the thread's CPU
 * clock over the sendmmsg calls is the cost of the path.  The kernel here
 * has no IRQ time accounting, so that clock includes the softirq work; a
 * frame that reaches its socket only after sendmmsg returned ran elsewhere
 * (ksoftirqd) and is counted as late, so such a trial can be told apart.
 *
 * Each setup sends from its own device and has its own receivers; trials of
 * the setups are interleaved, with the order rotated each round, so that
 * what else runs on the machine falls on all of them alike.
 *
 * Input (stdin), one record a line, words separated by blanks:
 *   trials T FRAMES BATCH        T timed trials of FRAMES frames per setup
 *   setup NAME NS DEV src|dst    frames go out of DEV in namespace NS; the
 *                                source (src) or destination (dst) address
 *                                chooses the receiver
 *   recv NS DEV MAC...           a receiver of the last setup and the
 *                                addresses that must reach it
 * Every address of a setup's receivers is sent equally often, in a shuffled
 * order.  Output: one line a trial,
 *   trial SETUP ROUND ns_per_frame frames_per_s sent delivered wrong late
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define ETH_TEST 0x88B5 /* IEEE local experimental: no stack answers it */
#define FRAME_LEN 60
#define MAX_BATCH 1024
#define MAX_SETUPS 8

struct receiver {
  int fd;
};

struct setup {
  char name[32];
  int by_dst;
  int tx;                 /* the sending socket */
  size_t nrecv;           /* receivers */
  struct receiver *recv;
  size_t naddr;           /* addresses, each with its receiver */
  uint64_t *addr;
  uint32_t *want;
  size_t nslot;           /* open-addressing table: address -> index + 1 */
  uint32_t *slot;
  uint32_t *order;        /* the shuffled sequence of address indices */
  size_t norder;
  size_t next;            /* where the next trial goes on in it */
};

static struct setup setups[MAX_SETUPS];
static size_t nsetups;
static int epfd;

static void die(const char *what) {
  fprintf(stderr, "frames: %s: %s\n", what, strerror(errno));
  exit(1);
}

static void fail(const char *what, const char *detail) {
  fprintf(stderr, "frames: %s: %s\n", what, detail);
  exit(1);
}

static uint64_t now_ns(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static int parse_mac(const char *text, uint64_t *out) {
  unsigned b[6];
  char end;
  if (sscanf(text, "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &end) != 6)
    return -1;
  uint64_t v = 0;
  for (int i = 0; i < 6; i++) {
    if (b[i] > 255) return -1;
    v = v << 8 | b[i];
  }
  *out = v;
  return 0;
}

static void put_mac(unsigned char *p, uint64_t v) {
  for (int i = 5; i >= 0; i--, v >>= 8) p[i] = (unsigned char)(v & 255);
}

static uint64_t get_mac(const unsigned char *p) {
  uint64_t v = 0;
  for (int i = 0; i < 6; i++) v = v << 8 | p[i];
  return v;
}

static size_t hash_mac(uint64_t v, size_t n) {
  return (size_t)((v * 0x9E3779B97F4A7C15u) >> 17) & (n - 1);
}

/* A packet socket on DEV in namespace NS; the caller's namespace is kept. */
static int packet_socket(const char *ns, const char *dev, int proto) {
  static int home = -1;
  if (home < 0 && (home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) < 0) die("own netns");
  char path[256];
  snprintf(path, sizeof path, "/run/netns/%s", ns);
  int there = open(path, O_RDONLY | O_CLOEXEC);
  if (there < 0) die(path);
  if (setns(there, CLONE_NEWNET)) die("setns");
  close(there);
  /* Created with protocol 0 and given its protocol by bind: a socket made
   * with one is hooked at once, and unhooking it on bind would wait for an
   * RCU grace period, once per socket. */
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  struct sockaddr_ll sll = {.sll_family = AF_PACKET, .sll_protocol = htons(proto),
                            .sll_ifindex = (int)if_nametoindex(dev)};
  if (!sll.sll_ifindex) fail(dev, "no such device");
  if (bind(fd, (struct sockaddr *)&sll, sizeof sll)) die("bind");
  if (setns(home, CLONE_NEWNET)) die("setns back");
  return fd;
}

static void add_addr(struct setup *s, uint64_t mac, uint32_t recv) {
  s->addr = realloc(s->addr, (s->naddr + 1) * sizeof *s->addr);
  s->want = realloc(s->want, (s->naddr + 1) * sizeof *s->want);
  if (!s->addr || !s->want) die("realloc");
  s->addr[s->naddr] = mac;
  s->want[s->naddr++] = recv;
}

static void index_setup(struct setup *s, uint32_t seed) {
  s->nslot = 16;
  while (s->nslot < s->naddr * 2) s->nslot <<= 1;
  s->slot = calloc(s->nslot, sizeof *s->slot);
  if (!s->slot) die("calloc");
  for (size_t i = 0; i < s->naddr; i++) {
    size_t h = hash_mac(s->addr[i], s->nslot);
    while (s->slot[h]) {
      if (s->addr[s->slot[h] - 1] == s->addr[i]) fail(s->name, "an address given twice");
      h = (h + 1) & (s->nslot - 1);
    }
    s->slot[h] = (uint32_t)i + 1;
  }
  /* Each address equally often, at least 4096 entries so that a small N
   * still varies from frame to frame, shuffled once (Fisher-Yates). */
  size_t rounds = (4096 + s->naddr - 1) / s->naddr;
  s->norder = rounds * s->naddr;
  s->order = malloc(s->norder * sizeof *s->order);
  if (!s->order) die("malloc");
  for (size_t i = 0; i < s->norder; i++) s->order[i] = (uint32_t)(i % s->naddr);
  uint64_t x = seed * 2654435761u + 1;
  for (size_t i = s->norder - 1; i > 0; i--) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    size_t j = (size_t)(x % (i + 1));
    uint32_t t = s->order[i];
    s->order[i] = s->order[j];
    s->order[j] = t;
  }
}

static long lookup(const struct setup *s, uint64_t mac) {
  size_t h = hash_mac(mac, s->nslot);
  while (s->slot[h]) {
    if (s->addr[s->slot[h] - 1] == mac) return s->slot[h] - 1;
    h = (h + 1) & (s->nslot - 1);
  }
  return -1;
}

struct counts {
  uint64_t delivered, wrong;
};

/* Reads what is queued on the ready receivers, without waiting longer
 * than timeout_ms; the number of frames read. */
static uint64_t drain(struct setup *s, struct counts *c, int timeout_ms) {
  struct epoll_event ev[256];
  unsigned char buf[128];
  uint64_t n = 0;
  int ready = epoll_wait(epfd, ev, 256, timeout_ms);
  if (ready < 0 && errno != EINTR) die("epoll_wait");
  for (int i = 0; i < ready; i++) {
    uint32_t r = ev[i].data.u32;
    for (;;) {
      ssize_t len = recv(s->recv[r].fd, buf, sizeof buf, MSG_DONTWAIT);
      if (len < 0) {
        if (errno == EAGAIN) break;
        die("recv");
      }
      if (len < 14) continue;
      long a = lookup(s, get_mac(s->by_dst ? buf : buf + 6));
      n++;
      c->delivered++;
      if (a < 0 || s->want[a] != r) c->wrong++;
    }
  }
  return n;
}

static void watch(struct setup *s, int on) {
  for (size_t r = 0; r < s->nrecv; r++) {
    struct epoll_event ev = {.events = EPOLLIN, .data.u32 = (uint32_t)r};
    if (epoll_ctl(epfd, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, s->recv[r].fd, &ev)) die("epoll_ctl");
  }
}

static void trial(struct setup *s, int round, uint64_t frames, unsigned batch, int report) {
  static unsigned char data[MAX_BATCH][FRAME_LEN];
  static struct iovec iov[MAX_BATCH];
  static struct mmsghdr msgs[MAX_BATCH];
  const uint64_t peer = 0x02eeeeeeee01u; /* the other end of each frame: bound nowhere */
  struct counts c = {0, 0};
  uint64_t cpu = 0, wall = 0, sent = 0, late = 0;
  watch(s, 1);
  while (sent < frames) {
    unsigned k = frames - sent < batch ? (unsigned)(frames - sent) : batch;
    for (unsigned i = 0; i < k; i++) {
      uint64_t a = s->addr[s->order[s->next]];
      s->next = (s->next + 1) % s->norder;
      memset(data[i], 0, FRAME_LEN);
      put_mac(data[i], s->by_dst ? a : peer);
      put_mac(data[i] + 6, s->by_dst ? peer : a);
      data[i][12] = ETH_TEST >> 8;
      data[i][13] = ETH_TEST & 255;
      memcpy(data[i] + 14, &sent, sizeof sent);
      iov[i] = (struct iovec){data[i], FRAME_LEN};
      msgs[i] = (struct mmsghdr){.msg_hdr = {.msg_iov = &iov[i], .msg_iovlen = 1}};
    }
    unsigned done = 0;
    uint64_t t0 = now_ns(CLOCK_THREAD_CPUTIME_ID), w0 = now_ns(CLOCK_MONOTONIC);
    while (done < k) {
      int n = sendmmsg(s->tx, msgs + done, k - done, 0);
      if (n < 0) {
        if (errno == ENOBUFS || errno == EAGAIN) continue;
        die("sendmmsg");
      }
      done += (unsigned)n;
    }
    cpu += now_ns(CLOCK_THREAD_CPUTIME_ID) - t0;
    wall += now_ns(CLOCK_MONOTONIC) - w0;
    sent += k;
    /* All of the batch is queued by now unless ksoftirqd took some over. */
    while (drain(s, &c, 0)) {
    }
    uint64_t deadline = now_ns(CLOCK_MONOTONIC) + 500000000u;
    while (c.delivered < sent && now_ns(CLOCK_MONOTONIC) < deadline) {
      uint64_t before = c.delivered;
      drain(s, &c, 20);
      late += c.delivered - before;
    }
  }
  watch(s, 0);
  if (report)
    printf("trial %s %d %.1f %.0f %llu %llu %llu %llu\n", s->name, round, (double)cpu / (double)frames,
           wall ? (double)frames * 1e9 / (double)wall : 0.0, (unsigned long long)sent,
           (unsigned long long)c.delivered, (unsigned long long)c.wrong, (unsigned long long)late);
  fflush(stdout);
}

/* Closing a packet socket waits for an RCU grace period; closed from many
 * threads at once, thousands of them share a few grace periods. */
#define CLOSERS 64
static void *close_some(void *arg) {
  size_t k = (size_t)(uintptr_t)arg;
  for (size_t i = 0; i < nsetups; i++)
    for (size_t r = k; r < setups[i].nrecv; r += CLOSERS) close(setups[i].recv[r].fd);
  return NULL;
}

static void close_all(void) {
  pthread_t t[CLOSERS];
  int made[CLOSERS];
  for (size_t k = 0; k < CLOSERS; k++)
    if (!(made[k] = !pthread_create(&t[k], NULL, close_some, (void *)(uintptr_t)k)))
      close_some((void *)(uintptr_t)k);
  for (size_t k = 0; k < CLOSERS; k++)
    if (made[k]) pthread_join(t[k], NULL);
}

int main(void) {
  int trials = 0;
  unsigned long long frames = 0;
  unsigned batch = 0;
  char *line = NULL;
  size_t cap = 0;
  struct setup *s = NULL;
  if ((epfd = epoll_create1(EPOLL_CLOEXEC)) < 0) die("epoll_create1");
  while (getline(&line, &cap, stdin) > 0) {
    char *save = NULL, *word = strtok_r(line, " \t\n", &save);
    if (!word) continue;
    if (!strcmp(word, "trials")) {
      char *t = strtok_r(NULL, " \t\n", &save), *f = strtok_r(NULL, " \t\n", &save),
           *b = strtok_r(NULL, " \t\n", &save);
      if (!t || !f || !b) fail("trials", "needs T FRAMES BATCH");
      trials = atoi(t), frames = strtoull(f, NULL, 10), batch = (unsigned)atoi(b);
      if (trials < 1 || !frames || batch < 1 || batch > MAX_BATCH) fail("trials", "out of range");
    } else if (!strcmp(word, "setup")) {
      char *name = strtok_r(NULL, " \t\n", &save), *ns = strtok_r(NULL, " \t\n", &save),
           *dev = strtok_r(NULL, " \t\n", &save), *mode = strtok_r(NULL, " \t\n", &save);
      if (!mode) fail("setup", "needs NAME NS DEV src|dst");
      if (nsetups == MAX_SETUPS) fail("setup", "too many");
      s = &setups[nsetups++];
      snprintf(s->name, sizeof s->name, "%s", name);
      s->by_dst = !strcmp(mode, "dst");
      s->tx = packet_socket(ns, dev, 0); /* protocol 0: it receives nothing */
      int one = 1;
      if (setsockopt(s->tx, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one)) die("bypass");
    } else if (!strcmp(word, "recv")) {
      char *ns = strtok_r(NULL, " \t\n", &save), *dev = strtok_r(NULL, " \t\n", &save);
      if (!s || !dev) fail("recv", "needs a setup, NS and DEV");
      s->recv = realloc(s->recv, (s->nrecv + 1) * sizeof *s->recv);
      if (!s->recv) die("realloc");
      int fd = packet_socket(ns, dev, ETH_TEST);
      int size = 4 << 20;
      if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size)) die("SO_RCVBUFFORCE");
      s->recv[s->nrecv].fd = fd;
      for (char *m; (m = strtok_r(NULL, " \t\n", &save));) {
        uint64_t v;
        if (parse_mac(m, &v)) fail("recv", m);
        add_addr(s, v, (uint32_t)s->nrecv);
      }
      s->nrecv++;
    } else {
      fail("input", word);
    }
  }
  free(line);
  if (!trials || !nsetups) fail("input", "no trials or no setup");
  for (size_t i = 0; i < nsetups; i++) {
    if (!setups[i].naddr) fail(setups[i].name, "no address");
    index_setup(&setups[i], (uint32_t)i + 7);
  }
  /* One untimed trial each first: caches, the map's pages, socket queues. */
  for (size_t i = 0; i < nsetups; i++) trial(&setups[i], 0, frames / 4 + 1, batch, 0);
  for (int t = 1; t <= trials; t++)
    for (size_t i = 0; i < nsetups; i++) trial(&setups[(i + (size_t)t) % nsetups], t, frames, batch, 1);
  close_all();
  return 0;
}
