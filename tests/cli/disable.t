# disable: the worker sends BRANTEL_DISABLE and reports either way.

=== disabling a port removes it with its interfaces and says so
state:
  port eth1 0x1
  vlan eth1#0
  vlan eth1#4
  mac 00:11:22:33:44:55
  port eth2 0x0
  vlan eth2#0
$ brantel_config disable eth1
> Disabled port: eth1
trace:
  BRANTEL_DISABLE ifname="eth1" -> ok
after:
  port eth2 0x0
  vlan eth2#0

=== a refused disable: disable-port perror line, listing, status 255
state:
  port eth1 0x0
$ brantel_config disable eth9
! disable-port: No such device
> @listing
? 255
trace:
  BRANTEL_DISABLE ifname="eth9" -> ENODEV

=== the module may refuse and keep the port
state:
  port eth1 0x0
  vlan eth1#0
fault: BRANTEL_DISABLE=EBUSY
$ brantel_config disable eth1
! disable-port: Device or resource busy
> @listing
? 255
after:
  port eth1 0x0
  vlan eth1#0

=== without a name: usage line and listing, status 1
$ brantel_config disable
> usage: disable <ifname>
> @listing
? 1
trace:

=== no socket: status 1, no request
fault: socket=EACCES
$ brantel_config disable eth1
! socket: Permission denied
> @listing
? 1

=== words after the name are ignored
state:
  port eth1 0x0
$ brantel_config disable eth1 eth2
> Disabled port: eth1
after:
