/*
 * Sends a single GET_NUM_PORTS request and prints the count.  Run under the
 * simulator it makes the simulator load its state file and nothing more, so
 * its time and memory are the simulator's share of an `info` run.
 */
#include <linux/if_brantel.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

int main(void) {
  struct brantel_ioctl_reply reply = {0};
  struct brantel_ioctl req = {0};
  int s = socket(AF_INET, SOCK_STREAM, 0);

  req.cmd = GET_NUM_PORTS;
  req.reply = &reply;
  if (s < 0 || ioctl(s, SIOCGIFBRANTEL, &req) < 0) {
    perror("GET_NUM_PORTS");
    return 1;
  }
  printf("%d\n", reply.num);
  return 0;
}
