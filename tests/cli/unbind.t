# unbind: the same address rules as bind, with its own code and context.

=== unbind removes the mapping and prints nothing; the rest keep their order
state:
  port eth0 0x0
  vlan eth0#1
  mac 00:11:22:33:44:55
  mac 00:11:22:33:44:66
  mac 00:11:22:33:44:77
$ brantel_config unbind eth0#1 00-11-22-33-44-66
trace:
  BRANTEL_UNBIND ifname="eth0#1" macaddr=00:11:22:33:44:66 -> ok
after:
  port eth0 0x0
  vlan eth0#1
  mac 00:11:22:33:44:55
  mac 00:11:22:33:44:77

=== an address that is not bound: unbind's own context, listing, status 1
state:
  port eth0 0x0
  vlan eth0#1
$ brantel_config unbind eth0#1 00:11:22:33:44:55
! ioctl (BRANTEL_UNBIND): No such file or directory
> @listing
? 1
trace:
  BRANTEL_UNBIND ifname="eth0#1" macaddr=00:11:22:33:44:55 -> ENOENT

=== the cut at fixed offsets applies to unbind too
state:
  port eth0 0x0
  vlan eth0#1
  mac 00:10:20:30:40:56
$ brantel_config unbind eth0#1 0011:22:33:44:556
after:
  port eth0 0x0
  vlan eth0#1

=== wrong length, too few arguments, no socket
$ brantel_config unbind eth0#1 00:11:22:33:44:5
> bad macaddr format: need aa:bb:cc:dd:ee:ff
> @listing
? 1
trace:
$ brantel_config unbind eth0#1
> usage: unbind <ifname> <macaddr>
> @listing
? 1
fault: socket=EMFILE
$ brantel_config unbind eth0#1 00:11:22:33:44:55
! socket: Too many open files
> @listing
? 1
