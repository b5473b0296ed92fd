// brantel_config: configure MAC-address-based virtual LANs over Ethernet
// ports.  Each run does one subcommand by sending control requests to the
// brantel kernel module and exits with 0 on success, 1 or 255 on failure.
//
// The tool is deliberately C-like: a fixed table of handlers, records and
// buffers on the stack, stdio for output, no heap and no exceptions, so that
// it needs nothing but the C library at run time and starts like a C program.
#include "brantel_config.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/if_brantel.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

const struct command command_list[NUM_COMMANDS] = {
    {"help", "help on other commands", do_help, "help <command>"},
    {"enable", "enables mac based vlans over an ethernet device", do_enable,
     "enable <ifname>\n"
     " - enables mac based vlans over \"ifname\"\n"
     " - also creates a default vlan over \"ifname\" called \"ifname#0\""},
    {"disable", "disables mac based vlans over an ethernet device", do_disable, "disable <ifname>"},
    {"add", "creates new mac based vlan", do_add,
     "add <ifname> <index>\n"
     " - creates a new mac based vlan called \"ifname#index\" layered over \"ifname\"\n"
     " - mac based vlans over \"ifname\" must first be enabled with \"enable\"\n"
     " - \"ifname#index\" is not mapped to any MAC address until \"bind\" is called"},
    {"del", "destroys a mac based vlan", do_del,
     "del <ifname>\n"
     " - deletes a mac base vlan called \"ifname\""},
    {"bind", "binds macaddr to vlan", do_bind,
     "bind  <ifname> <macaddr>\n"
     " - binds macaddr to vlan called \"ifname\""},
    {"unbind", "unbinds macaddr from vlan", do_unbind,
     "unbind <ifname> <macaddr>\n"
     " - unbinds macaddr from vlan called \"ifname\""},
    {"unload", "Unconfigure all of the brantel devices", do_unload,
     "Unconfigure all of the brantel devices so module can be unloaded"},
    {"setflags", "Set port flags on a port", do_setflags,
     "setflags <ifname> <new_flags>\n"
     "0x01   Bind to Destination instead of source MAC"},
    {"info", "print state of mac based vlans", do_info, "info"},
};

// Why a write to standard output first failed.  The C library drops the
// text then, so main reports it instead of claiming success.
static int output_error;

static void flush_output(void) {
  if (fflush(stdout) != 0 && output_error == 0) output_error = errno;
}

// perror after flushing standard output, so that when both streams share a
// pipe or file the lines printed so far come before the error.
static void report_error(const char *context) {
  int saved = errno;
  flush_output();
  errno = saved;
  perror(context);
}

static int open_control_socket(void) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0)
    report_error("socket");
  else
    ioctl(s, FIOCLEX, NULL);  // not for the ifconfig that unload starts
  return s;
}

static int send_request(int s, struct brantel_ioctl *req) { return ioctl(s, SIOCGIFBRANTEL, req); }

// Send a request with the given code, reporting a refusal under context.
static int send_checked(int s, struct brantel_ioctl *req, int code, const char *context) {
  req->cmd = code;
  if (send_request(s, req) < 0) {
    report_error(context);
    return -1;
  }
  return 0;
}

// Copy a name from a reply.  The module promises a NUL within the 16 bytes;
// a reply that breaks the promise is cut at 16 bytes instead of being read
// past its end.  dst must hold BRANTEL_NAMSIZ + 1 bytes.
static void copy_reply_name(char *dst, const char *name) {
  size_t len = strnlen(name, BRANTEL_NAMSIZ);
  memcpy(dst, name, len);
  dst[len] = '\0';
}

static const struct command *find_command(const char *word) {
  for (const struct command &c : command_list)
    if (strcmp(c.name, word) == 0) return &c;
  return NULL;
}

int parseInt(const char *s) {
  long value = strtol(s, NULL, 0);
  // A value that fits 32 bits, signed or not, is narrowed as it always was
  // (0xffffffff sends every bit set).  One beyond them is sent as the nearest
  // int limit, for the module to refuse, rather than as the unrelated number
  // its low 32 bits make.
  if (value > INT_MAX && (unsigned long)value > UINT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return (int)value;
}

int do_help(int argc, char **argv) {
  if (argc <= 1) return -1;
  const struct command *c = find_command(argv[1]);
  if (!c) return -1;
  puts(c->long_help);
  return 0;
}

int do_enable(int argc, char **argv) {
  if (argc < 2) {
    printf("usage: %s <ifname>\n", argv[0]);
    return 1;
  }
  int s = open_control_socket();
  if (s < 0) return 1;
  struct brantel_ioctl req = {};
  req.cmd = BRANTEL_ENABLE;
  req.ifname = argv[1];
  if (send_request(s, &req) < 0) {
    int err = errno;
    if (err == EEXIST) return 0;
    // The C library's perror may itself change errno (it does when
    // standard error is write-only), so print the module's number.
    report_error("ioctl (SIOCGIFBRANTEL, BRANTEL_ENABLE)");
    printf("errno: %i\n", err);
    return 1;
  }
  return 0;
}

int _do_disable(char *port, int s) {
  struct brantel_ioctl req = {};
  req.ifname = port;
  if (send_checked(s, &req, BRANTEL_DISABLE, "disable-port") < 0) return -1;
  printf("Disabled port: %s\n", port);
  return 0;
}

// disable and del hand the name and their socket to a worker, whose result
// they pass on unchanged.
static int run_worker(int argc, char **argv, int (*worker)(char *name, int s)) {
  if (argc < 2) {
    printf("usage: %s <ifname>\n", argv[0]);
    return 1;
  }
  int s = open_control_socket();
  if (s < 0) return 1;
  return worker(argv[1], s);
}

int do_disable(int argc, char **argv) { return run_worker(argc, argv, _do_disable); }

// add and setflags send a port name and a number; they differ only in the
// request code, the name of the number and the error context.
static int send_number_request(int argc, char **argv, int code, const char *number,
                               const char *context) {
  if (argc < 3) {
    printf("usage: %s <ifname> %s\n", argv[0], number);
    return 1;
  }
  int s = open_control_socket();
  if (s < 0) return 1;
  struct brantel_ioctl req = {};
  req.cmd = code;
  req.ifname = argv[1];
  req.ifidx = parseInt(argv[2]);
  if (send_request(s, &req) < 0) {
    report_error(context);
    return 1;
  }
  return 0;
}

int do_add(int argc, char **argv) {
  return send_number_request(argc, argv, BRANTEL_ADD, "<index>",
                             "ioctl (SIOCGIFBRANTEL, BRANTEL_ADD)");
}

int _do_del(char *ifname, int s) {
  struct brantel_ioctl req = {};
  req.cmd = BRANTEL_DEL;
  req.ifname = ifname;
  if (send_request(s, &req) < 0) {
    int saved = errno;
    printf("failed to delete interface: %s\n", ifname);
    errno = saved;
    report_error("ioctl (SIOCGIFBRANTEL, BRANTEL_DEL)");
    return -1;
  }
  printf("Deleted interface: %s\n", ifname);
  return 0;
}

int do_del(int argc, char **argv) { return run_worker(argc, argv, _do_del); }

int do_setflags(int argc, char **argv) {
  // The new flag word travels in ifidx.
  return send_number_request(argc, argv, SET_PORT_FLAGS, "<flags>",
                             "ioctl (SIOCGIFBRANTEL, SET_PORT_FLAGS)");
}

int htoi(char *s) {
  // Unsigned, so that digits shifted out past the top are simply lost.
  unsigned int value = 0;
  for (; *s; s++) {
    signed char c = (signed char)*s;
    value <<= 4;
    if (c >= '0' && c <= '9')
      value += (unsigned int)(c - '0');
    else if (c >= 'a' && c <= 'f')
      value += (unsigned int)(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      value += (unsigned int)(c - 'A' + 10);
  }
  return (int)value;
}

// bind and unbind differ only in the request code and the error context.
static int send_address_request(int argc, char **argv, int code, const char *context) {
  if (argc < 3) {
    printf("usage: %s <ifname> <macaddr>\n", argv[0]);
    return 1;
  }
  int s = open_control_socket();
  if (s < 0) return 1;
  struct brantel_ioctl req = {};
  unsigned char macaddr[6];
  req.cmd = code;
  req.ifname = argv[1];
  char *text = argv[2];
  if (strlen(text) != 17) {
    printf("bad macaddr format: need aa:bb:cc:dd:ee:ff\n");
    return 1;
  }
  // Cut at the fixed offsets whatever the separators are.
  for (int i = 2; i < 16; i += 3) text[i] = '\0';
  for (int i = 0; i < 6; i++) macaddr[i] = (unsigned char)(htoi(text + 3 * i) & 0xff);
  req.macaddr = macaddr;
  if (send_request(s, &req) < 0) {
    report_error(context);
    return 1;
  }
  return 0;
}

int do_bind(int argc, char **argv) {
  return send_address_request(argc, argv, BRANTEL_BIND, "ioctl (BRANTEL_BIND)");
}

int do_unbind(int argc, char **argv) {
  return send_address_request(argc, argv, BRANTEL_UNBIND, "ioctl (BRANTEL_UNBIND)");
}

int do_info(int, char **) {
  int s = open_control_socket();
  if (s < 0) return 1;
  // One record pair serves the whole report.
  struct brantel_ioctl req = {};
  struct brantel_ioctl_reply reply = {};
  char tmpifname[64];
  req.reply = &reply;

  if (send_checked(s, &req, GET_NUM_PORTS, "ioctl (GET_NUM_PORTS)") < 0) return 1;
  int nports = reply.num;
  for (int portidx = 0; portidx < nports; portidx++) {
    req.portidx = portidx;
    if (send_checked(s, &req, GET_PORT_NAME, "ioctl (GET_PORT_NAME)") < 0) return 1;
    printf("-%.*s\n", BRANTEL_NAMSIZ, reply.name);
    copy_reply_name(tmpifname, reply.name);

    req.ifname = tmpifname;
    if (send_checked(s, &req, GET_PORT_FLAGS, "ioctl (GET_PORT_FLAGS)") < 0) return 1;
    printf("-%s flag: 0x%x\n", tmpifname, (unsigned int)reply.num);

    if (send_checked(s, &req, GET_NUM_VLANS, "ioctl (GET_NUM_VLANS)") < 0) return 1;
    int nifs = reply.num;
    for (int ifidx = 0; ifidx < nifs; ifidx++) {
      req.ifidx = ifidx;
      if (send_checked(s, &req, GET_VLAN_NAME, "ioctl (GET_VLAN_NAME)") < 0) return 1;
      printf(" |-%.*s\n", BRANTEL_NAMSIZ, reply.name);

      if (send_checked(s, &req, GET_NUM_MACS, "ioctl (GET_NUM_MACS)") < 0) return 1;
      int nmacs = reply.num;
      for (int macidx = 0; macidx < nmacs; macidx++) {
        req.macaddridx = macidx;
        if (send_checked(s, &req, GET_MAC_NAME, "ioctl (GET_MAC_NAME)") < 0) return 1;
        const unsigned char *a = (const unsigned char *)reply.name;
        printf(" | |-%02x:%02x:%02x:%02x:%02x:%02x\n", a[0], a[1], a[2], a[3], a[4], a[5]);
      }
    }
  }
  return 0;
}

int get_num_ports(int s) {
  struct brantel_ioctl req = {};
  struct brantel_ioctl_reply reply = {};
  req.reply = &reply;
  if (send_checked(s, &req, GET_NUM_PORTS, "ioctl (SIOCGIFBRANTEL, GET_NUM_PORTS)") < 0) return -1;
  printf("Found: %i ports\n", reply.num);
  return reply.num;
}

int get_num_vlans(int portidx, int s) {
  struct brantel_ioctl req = {};
  struct brantel_ioctl_reply reply = {};
  req.portidx = portidx;
  req.reply = &reply;
  if (send_checked(s, &req, GET_NUM_VLANS, "ioctl (GET_NUM_VLANS)") < 0) return -1;
  printf("Found: %i vlans for port: %i\n", reply.num, portidx);
  return reply.num;
}

// ifconfig would read a name that starts with '-' as an option and leave the
// interface up, so such a name gets the flag request ifconfig itself makes.
static void take_down(const char *ifname, int s) {
  struct ifreq ifr = {};
  if (strlen(ifname) >= sizeof ifr.ifr_name) {
    errno = ENAMETOOLONG;  // the kernel would act on a shorter name
  } else {
    strcpy(ifr.ifr_name, ifname);
    if (ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
      ifr.ifr_flags &= ~IFF_UP;
      if (ioctl(s, SIOCSIFFLAGS, &ifr) == 0) return;
    }
  }
  fprintf(stderr, "brantel_config: cannot take %s down: %s\n", ifname, strerror(errno));
}

// Take an interface down with the system's ifconfig.  The name comes from
// the module and may hold shell metacharacters, so it is passed as one
// argument with no shell in between.  The outcome is not looked at.
static void ifconfig_down(char *ifname, int s) {
  char prog[] = "ifconfig";
  char down[] = "down";
  char *args[] = {prog, ifname, down, NULL};
  pid_t pid;

  flush_output();  // our progress text comes before whatever ifconfig prints
  if (ifname[0] == '-') {
    take_down(ifname, s);
    return;
  }
  int err = posix_spawnp(&pid, prog, NULL, NULL, args, environ);
  if (err != 0) {
    fprintf(stderr, "brantel_config: cannot start ifconfig: %s\n", strerror(err));
    return;
  }
  while (waitpid(pid, NULL, 0) < 0 && errno == EINTR)
    ;
}

static void ignore_signal(int) {}

int do_unload(int, char **) {
  // A reader that goes away must not stop the teardown halfway: a write
  // then fails instead of killing the tool, and main reports it.  A handler
  // does that where SIG_IGN would, and unlike SIG_IGN it does not reach the
  // ifconfig started below; a SIG_IGN the tool was given stays.
  if (signal(SIGPIPE, ignore_signal) == SIG_IGN) signal(SIGPIPE, SIG_IGN);

  int s = open_control_socket();
  if (s < 0) return 1;
  struct brantel_ioctl req = {};
  struct brantel_ioctl_reply rep = {};

  // Both loops always address index 0: the module renumbers what is left
  // from 0 after each removal.  A refused removal would bring the same
  // entry back forever, so it ends the teardown instead.
  while (get_num_ports(s) > 0) {
    char port[64];
    req.portidx = 0;
    req.reply = &rep;
    if (send_checked(s, &req, GET_PORT_NAME, "ioctl (GET_PORT_NAME)") < 0) return 1;
    copy_reply_name(port, rep.name);

    while (get_num_vlans(0, s) > 0) {
      char ifname[BRANTEL_NAMSIZ + 1];
      req.portidx = 0;
      req.ifidx = 0;
      req.reply = &rep;
      if (send_checked(s, &req, GET_VLAN_NAME, "ioctl (GET_VLAN_NAME)") < 0) return 1;
      copy_reply_name(ifname, rep.name);
      printf("Configuring down interface: %s with ifconfig...", ifname);
      ifconfig_down(ifname, s);
      if (_do_del(ifname, s) < 0) return 1;
    }
    if (_do_disable(port, s) < 0) return 1;
  }
  return 0;
}

int dispatch(int argc, char **argv) {
  // Started with no name (argc 0, or the empty name Linux puts in its place).
  const char *prog = argc > 0 && argv[0] && argv[0][0] ? argv[0] : "brantel_config";
  int result = 1;  // no subcommand, or no row matches: a usage error
  if (argc > 1) {
    const struct command *c = find_command(argv[1]);
    if (c) {
      result = c->fn(argc - 1, argv + 1);
      if (result == 0) return 0;
    }
  }
  printf("\n%s subcommands:\n\n", prog);
  for (const struct command &c : command_list) printf("%s %s:\t%s\n", prog, c.name, c.short_help);
  return result;
}

// A closed standard descriptor would be the next one opened, the control
// socket say, and the tool's text would go there; each is put on /dev/null.
// isatty tells a closed descriptor (EBADF) and is imported anyway: each
// imported routine costs start-up time.
static bool open_standard_descriptors(void) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
    if (!isatty(fd) && errno == EBADF && open("/dev/null", fd ? O_WRONLY : O_RDONLY) != fd)
      return false;
  return true;
}

int main(int argc, char **argv) {
  if (!open_standard_descriptors()) {
    fprintf(stderr, "brantel_config: cannot open /dev/null: %s\n", strerror(errno));
    return 1;
  }
  // Fully buffered into a static buffer when not on a terminal: a large
  // report then costs a few write calls and no heap.
  static char outbuf[1 << 16];
  if (!isatty(STDOUT_FILENO)) setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
  int result = dispatch(argc, argv);

  // Text that was lost is a failure even where the command succeeded.  A
  // write that failed inside printf leaves no reason behind (a terminal's,
  // mostly): EIO stands for it.  ferror_unlocked is inline, not imported.
  flush_output();
  if (ferror_unlocked(stdout)) {
    fprintf(stderr, "brantel_config: write error: %s\n",
            strerror(output_error ? output_error : EIO));
    if (result == 0) result = 1;
  }
  return result;
}
