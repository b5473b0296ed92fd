# bind: 17 characters cut at fixed offsets, each two-character piece read by
# htoi; nothing printed on success.

=== bind maps the address and prints nothing
state:
  port eth0 0x0
  vlan eth0#1
$ brantel_config bind eth0#1 00:11:22:33:44:55
trace:
  BRANTEL_BIND ifname="eth0#1" macaddr=00:11:22:33:44:55 -> ok
after:
  port eth0 0x0
  vlan eth0#1
  mac 00:11:22:33:44:55

=== any separator, a hex digit included, gives the same bytes; only enable forgives EEXIST
state:
  port eth0 0x0
  vlan eth0#1
  mac 00:11:22:33:44:55
$ brantel_config bind eth0#1 00-11-22-33-44-55
! ioctl (BRANTEL_BIND): File exists
> @listing
? 1
trace:
  BRANTEL_BIND ifname="eth0#1" macaddr=00:11:22:33:44:55 -> EEXIST
$ brantel_config bind eth0#1 00a11a22a33a44a55
! ioctl (BRANTEL_BIND): File exists
> @listing
? 1
trace:
  BRANTEL_BIND ifname="eth0#1" macaddr=00:11:22:33:44:55 -> EEXIST

=== upper and lower case give the same bytes
state:
  port eth0 0x0
  vlan eth0#0
  vlan eth0#1
$ brantel_config bind eth0#0 AA:BB:CC:DD:EE:FF
trace:
  BRANTEL_BIND ifname="eth0#0" macaddr=aa:bb:cc:dd:ee:ff -> ok
$ brantel_config bind eth0#1 aa:bb:cc:dd:ee:fF
! ioctl (BRANTEL_BIND): File exists
> @listing
? 1
trace:
  BRANTEL_BIND ifname="eth0#1" macaddr=aa:bb:cc:dd:ee:ff -> EEXIST

=== a non-digit counts as 0, bytes from 0x80 too, and misplaced separators are cut anyway
state:
  port eth0 0x0
  vlan eth0#0
$ brantel_config bind eth0#0 1G:G1:GG:0g:zz:9Z
trace:
  BRANTEL_BIND ifname="eth0#0" macaddr=10:01:00:00:00:90 -> ok
$ brantel_config bind eth0#0 0011:22:33:44:556
trace:
  BRANTEL_BIND ifname="eth0#0" macaddr=00:10:20:30:40:56 -> ok
$ brantel_config bind eth0#0 é:11:22:33:44:55
trace:
  BRANTEL_BIND ifname="eth0#0" macaddr=00:11:22:33:44:55 -> ok
$ brantel_config bind eth0#0 'f :11:22:33:44:55'
trace:
  BRANTEL_BIND ifname="eth0#0" macaddr=f0:11:22:33:44:55 -> ok
after:
  port eth0 0x0
  vlan eth0#0
  mac 10:01:00:00:00:90
  mac 00:10:20:30:40:56
  mac 00:11:22:33:44:55
  mac f0:11:22:33:44:55

=== 16 or 18 characters: the format line, no request, status 1
state:
  port eth0 0x0
  vlan eth0#0
$ brantel_config bind eth0#0 00:11:22:33:44:5
> bad macaddr format: need aa:bb:cc:dd:ee:ff
> @listing
? 1
trace:
$ brantel_config bind eth0#0 00:11:22:33:44:555
> bad macaddr format: need aa:bb:cc:dd:ee:ff
> @listing
? 1
trace:
$ brantel_config bind eth0#0 ''
> bad macaddr format: need aa:bb:cc:dd:ee:ff
> @listing
? 1
after:
  port eth0 0x0
  vlan eth0#0

=== the socket is opened before the length test
fault: socket=EMFILE
$ brantel_config bind eth0#0 short
! socket: Too many open files
> @listing
? 1
trace:
  socket -> EMFILE (injected)

=== a refused bind: short perror context, listing, status 1
$ brantel_config bind eth0#9 00:11:22:33:44:55
! ioctl (BRANTEL_BIND): No such device
> @listing
? 1

=== too few arguments: usage line with the word bind, no socket
fault: socket=EMFILE
$ brantel_config bind eth0#0
> usage: bind <ifname> <macaddr>
> @listing
? 1
trace:

=== words after the address are ignored
state:
  port eth0 0x0
  vlan eth0#0
$ brantel_config bind eth0#0 00:00:00:00:00:01 00:00:00:00:00:02
trace:
  BRANTEL_BIND ifname="eth0#0" macaddr=00:00:00:00:00:01 -> ok
