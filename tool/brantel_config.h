// brantel_config: configure MAC-address-based virtual LANs over Ethernet
// ports through the brantel kernel module.
#ifndef BRANTEL_CONFIG_H
#define BRANTEL_CONFIG_H

struct command {
  const char *name;
  const char *short_help;
  int (*fn)(int argc, char **argv);
  const char *long_help;
};

enum { NUM_COMMANDS = 10 };
extern const struct command command_list[NUM_COMMANDS];

int do_help(int argc, char **argv);
int do_enable(int argc, char **argv);
int do_disable(int argc, char **argv);
int do_add(int argc, char **argv);
int do_del(int argc, char **argv);
int do_bind(int argc, char **argv);
int do_unbind(int argc, char **argv);
int do_unload(int argc, char **argv);
int do_setflags(int argc, char **argv);
int do_info(int argc, char **argv);

int _do_disable(char *port, int s);
int _do_del(char *ifname, int s);
int get_num_ports(int s);
int get_num_vlans(int portidx, int s);

int parseInt(const char *s);
int htoi(char *s);

// What main does once the process is set up: pick the row, run its
// handler, print the listing on failure.  Harnesses with a main of their own
// call it directly.
int dispatch(int argc, char **argv);

#endif
