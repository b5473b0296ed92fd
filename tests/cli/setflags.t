# setflags: SET_PORT_FLAGS with the flag word in ifidx.

=== setting flag 0x01 and clearing every flag, silently
state:
  port eth1 0x0
$ brantel_config setflags eth1 1
trace:
  SET_PORT_FLAGS ifname="eth1" ifidx=1 -> ok
after:
  port eth1 0x1
$ brantel_config setflags eth1 0x01
trace:
  SET_PORT_FLAGS ifname="eth1" ifidx=1 -> ok
$ brantel_config setflags eth1 0
trace:
  SET_PORT_FLAGS ifname="eth1" ifidx=0 -> ok
after:
  port eth1 0x0

=== the word is read as parseInt reads it, and shows in info in hex
state:
  port eth1 0x0
$ brantel_config setflags eth1 0755
trace:
  SET_PORT_FLAGS ifname="eth1" ifidx=493 -> ok
$ brantel_config setflags eth1 -1
$ brantel_config info
> -eth1
> -eth1 flag: 0xffffffff

=== beyond 32 bits the nearest int limit is sent; 32-bit values, signed or not, as they are
state:
  port eth1 0x0
$ brantel_config setflags eth1 4294967296
trace:
  SET_PORT_FLAGS ifname="eth1" ifidx=2147483647 -> ok
$ brantel_config setflags eth1 -2147483649
trace:
  SET_PORT_FLAGS ifname="eth1" ifidx=-2147483648 -> ok
$ brantel_config setflags eth1 0xffffffff
trace:
  SET_PORT_FLAGS ifname="eth1" ifidx=-1 -> ok

=== a port that is not enabled: perror, listing, status 1
$ brantel_config setflags eth1 1
! ioctl (SIOCGIFBRANTEL, SET_PORT_FLAGS): No such device
> @listing
? 1

=== a name but no flags: usage line, nothing sent
$ brantel_config setflags eth1
> usage: setflags <ifname> <flags>
> @listing
? 1
trace:

=== no socket
fault: socket=EMFILE
$ brantel_config setflags eth1 1
! socket: Too many open files
> @listing
? 1

=== words after the flags are ignored
state:
  port eth1 0x0
$ brantel_config setflags eth1 1 0
after:
  port eth1 0x1
