/*
 * Sends brantel requests given on the command line, one per argument, and
 * prints one line per result.  Used to drive the preload library end to end.
 *
 *   CODE[,p=PORTIDX][,n=IFNAME|NULL][,i=IFIDX][,m=aa:bb:cc:dd:ee:ff|NULL]
 *       [,x=MACADDRIDX][,r=NULL]
 *   sock      open a fresh control socket ("socket ok" or "socket -1 ERRNO")
 *   dgram     open a datagram socket, as ifconfig does ("dgram ok" or "dgram -1 ERRNO")
 *   devnull   send the following requests on /dev/null instead
 *
 * A request prints "0 num=N name=HEX" (the 16 name bytes in hex) or
 * "-1 ERRNO untouched|touched" (whether the reply record was written).
 * Fields left out hold garbage pointers, as in the tool's reused records.
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/if_brantel.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static void *const garbage = (void *)0x10;

int main(int argc, char **argv) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    printf("socket -1 %d\n", errno);
    return 1;
  }
  for (int a = 1; a < argc; a++) {
    if (strcmp(argv[a], "sock") == 0) {
      int s = socket(AF_INET, SOCK_STREAM, 0);
      if (s < 0) {
        printf("socket -1 %d\n", errno);
      } else {
        fd = s;
        printf("socket ok\n");
      }
      continue;
    }
    if (strcmp(argv[a], "dgram") == 0) {
      int s = socket(AF_INET, SOCK_DGRAM, 0);
      if (s < 0)
        printf("dgram -1 %d\n", errno);
      else
        printf("dgram ok\n");
      continue;
    }
    if (strcmp(argv[a], "devnull") == 0) {
      fd = open("/dev/null", O_RDWR);
      continue;
    }
    struct brantel_ioctl req;
    struct brantel_ioctl_reply rep, before;
    unsigned char mac[6];
    memset(&req, 0x7f, sizeof req);
    req.ifname = garbage;
    req.macaddr = garbage;
    req.reply = &rep;
    memset(&rep, 0x5a, sizeof rep);
    before = rep;

    char *spec = argv[a];
    req.cmd = (int)strtol(spec, &spec, 10);
    for (char *f = strtok(spec, ","); f; f = strtok(NULL, ",")) {
      char key = f[0];
      char *val = f + 2;
      int null = strcmp(val, "NULL") == 0;
      switch (key) {
        case 'p': req.portidx = atoi(val); break;
        case 'i': req.ifidx = atoi(val); break;
        case 'x': req.macaddridx = atoi(val); break;
        case 'n': req.ifname = null ? NULL : val; break;
        case 'r': req.reply = NULL; break;
        case 'm':
          if (null) {
            req.macaddr = NULL;
          } else {
            for (int i = 0; i < 6; i++) mac[i] = (unsigned char)strtol(val + 3 * i, NULL, 16);
            req.macaddr = mac;
          }
          break;
      }
    }
    if (ioctl(fd, SIOCGIFBRANTEL, &req) < 0) {
      printf("-1 %d %s\n", errno, memcmp(&rep, &before, sizeof rep) ? "touched" : "untouched");
      continue;
    }
    printf("0 num=%d name=", rep.num);
    for (int i = 0; i < BRANTEL_NAMSIZ; i++) printf("%02x", (unsigned char)rep.name[i]);
    printf("\n");
  }
  return 0;
}
