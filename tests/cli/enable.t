# enable: one BRANTEL_ENABLE request; EEXIST counts as success.

=== enable a port: silent, and the module holds it with its default interface
$ brantel_config enable eth1
trace:
  BRANTEL_ENABLE ifname="eth1" -> ok
after:
  port eth1 0x0
  vlan eth1#0

=== enabling an enabled port succeeds silently on the module's EEXIST
state:
  port eth1 0x1
  vlan eth1#0
$ brantel_config enable eth1
trace:
  BRANTEL_ENABLE ifname="eth1" -> EEXIST
after:
  port eth1 0x1
  vlan eth1#0

=== another refusal prints perror, the errno line and the listing, status 1
fault: BRANTEL_ENABLE=EPERM
$ brantel_config enable eth1
! ioctl (SIOCGIFBRANTEL, BRANTEL_ENABLE): Operation not permitted
> errno: 1
> @listing
? 1
after:

=== a name the module rejects is passed on untouched and reported
$ brantel_config enable abcdefghijklmnop
! ioctl (SIOCGIFBRANTEL, BRANTEL_ENABLE): Invalid argument
> errno: 22
> @listing
? 1
trace:
  BRANTEL_ENABLE ifname="abcdefghijklmnop..." -> EINVAL

=== an injected EEXIST also counts as success
fault: BRANTEL_ENABLE=EEXIST
$ brantel_config enable eth1
after:

=== without a name: usage line and listing, no socket, no request
fault: socket=EMFILE
$ brantel_config enable
> usage: enable <ifname>
> @listing
? 1
trace:

=== a socket that cannot be opened is reported before any request
fault: socket=EMFILE
$ brantel_config enable eth1
! socket: Too many open files
> @listing
? 1
trace:
  socket -> EMFILE (injected)

=== words after the name are ignored
$ brantel_config enable eth1 eth2 extra
trace:
  BRANTEL_ENABLE ifname="eth1" -> ok
