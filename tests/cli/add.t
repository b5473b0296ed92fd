# add: BRANTEL_ADD with the index as parseInt reads it.

=== add creates ifname#index over an enabled port, silently
state:
  port eth1 0x0
  vlan eth1#0
$ brantel_config add eth1 3
trace:
  BRANTEL_ADD ifname="eth1" ifidx=3 -> ok
after:
  port eth1 0x0
  vlan eth1#0
  vlan eth1#3

=== the index follows its prefix: hex, octal, decimal, trailing text, no digits
state:
  port eth1 0x0
$ brantel_config add eth1 0x10
trace:
  BRANTEL_ADD ifname="eth1" ifidx=16 -> ok
$ brantel_config add eth1 010
trace:
  BRANTEL_ADD ifname="eth1" ifidx=8 -> ok
$ brantel_config add eth1 12abc
trace:
  BRANTEL_ADD ifname="eth1" ifidx=12 -> ok
$ brantel_config add eth1 x
trace:
  BRANTEL_ADD ifname="eth1" ifidx=0 -> ok
$ brantel_config add eth1 '  +0X1f'
trace:
  BRANTEL_ADD ifname="eth1" ifidx=31 -> ok
after:
  port eth1 0x0
  vlan eth1#16
  vlan eth1#8
  vlan eth1#12
  vlan eth1#0
  vlan eth1#31

=== a negative index is sent as is and the module decides
state:
  port eth1 0x0
$ brantel_config add eth1 -1
! ioctl (SIOCGIFBRANTEL, BRANTEL_ADD): Invalid argument
> @listing
? 1
trace:
  BRANTEL_ADD ifname="eth1" ifidx=-1 -> EINVAL

=== refusals: port not enabled, interface exists; perror, listing, status 1
state:
  port eth1 0x0
  vlan eth1#0
$ brantel_config add eth9 1
! ioctl (SIOCGIFBRANTEL, BRANTEL_ADD): No such device
> @listing
? 1
$ brantel_config add eth1 0
! ioctl (SIOCGIFBRANTEL, BRANTEL_ADD): File exists
> @listing
? 1

=== a name but no number: usage line, nothing sent
$ brantel_config add eth1
> usage: add <ifname> <index>
> @listing
? 1
trace:

=== no socket
fault: socket=ENFILE
$ brantel_config add eth1 1
! socket: Too many open files in system
> @listing
? 1

=== words after the number are ignored
state:
  port eth1 0x0
$ brantel_config add eth1 2 7 extra
trace:
  BRANTEL_ADD ifname="eth1" ifidx=2 -> ok
