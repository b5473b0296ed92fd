# del: the worker sends BRANTEL_DEL and reports either way.

=== deleting an interface says so; the rest are renumbered from 0
state:
  port eth1 0x0
  vlan eth1#0
  mac 00:00:00:00:00:01
  vlan eth1#1
$ brantel_config del eth1#0
> Deleted interface: eth1#0
trace:
  BRANTEL_DEL ifname="eth1#0" -> ok
$ brantel_config info
> -eth1
> -eth1 flag: 0x0
>  |-eth1#1

=== a refused del: failed line, perror line, listing, status 255
$ brantel_config del eth1#7
> failed to delete interface: eth1#7
! ioctl (SIOCGIFBRANTEL, BRANTEL_DEL): No such device
> @listing
? 255

=== the module may refuse and keep the interface
state:
  port eth1 0x0
  vlan eth1#0
fault: BRANTEL_DEL=EPERM
$ brantel_config del eth1#0
> failed to delete interface: eth1#0
! ioctl (SIOCGIFBRANTEL, BRANTEL_DEL): Operation not permitted
> @listing
? 255
after:
  port eth1 0x0
  vlan eth1#0

=== without a name: usage line and listing, status 1
$ brantel_config del
> usage: del <ifname>
> @listing
? 1
trace:

=== no socket
fault: socket=EMFILE
$ brantel_config del eth1#0
! socket: Too many open files
> @listing
? 1

=== words after the name are ignored
state:
  port eth1 0x0
  vlan eth1#0
  vlan eth1#1
$ brantel_config del eth1#1 eth1#0
> Deleted interface: eth1#1
after:
  port eth1 0x0
  vlan eth1#0
