/* The header must also build as strict C, as user space and kernel code
 * include it. */
#include <linux/if_brantel.h>

_Static_assert(sizeof(struct brantel_ioctl_reply) == 20, "reply is num + 16 bytes");

int main(void) {
  struct brantel_ioctl req = {0};
  struct brantel_ioctl_reply rep = {0};
  req.cmd = GET_NUM_PORTS;
  req.reply = &rep;
  return req.reply->num;
}
