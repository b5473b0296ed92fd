# Names at their longest (15 bytes) travel whole through every command.

=== a 13-byte port and its 15-byte interfaces: enable, add, bind, info, del, unload
$ brantel_config enable port-12345678
$ brantel_config add port-12345678 9
$ brantel_config bind port-12345678#9 02:00:00:00:00:09
$ brantel_config info
> -port-12345678
> -port-12345678 flag: 0x0
>  |-port-12345678#0
>  |-port-12345678#9
>  | |-02:00:00:00:00:09
$ brantel_config del port-12345678#9
> Deleted interface: port-12345678#9
trace:
  BRANTEL_DEL ifname="port-12345678#9" -> ok
$ brantel_config unload
> Found: 1 ports
> Found: 1 vlans for port: 0
> Configuring down interface: port-12345678#0 with ifconfig...Deleted interface: port-12345678#0
> Found: 0 vlans for port: 0
> Disabled port: port-12345678
> Found: 0 ports
ifconfig:
  [port-12345678#0] [down]
after:

=== a name one byte too long is refused whole, not cut
$ brantel_config enable port-123456789
! ioctl (SIOCGIFBRANTEL, BRANTEL_ENABLE): Invalid argument
> errno: 22
> @listing
? 1
after:
