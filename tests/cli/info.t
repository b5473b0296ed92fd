# info: the whole module as a tree, walked by index with one record pair.

=== an empty module prints nothing and succeeds
$ brantel_config info
trace:
  GET_NUM_PORTS -> num=0

=== one port, one interface, one address, and the requests that print it
state:
  port eth1 0x1
  vlan eth1#0
  mac 00:11:22:33:44:55
$ brantel_config info
> -eth1
> -eth1 flag: 0x1
>  |-eth1#0
>  | |-00:11:22:33:44:55
trace:
  GET_NUM_PORTS -> num=1
  GET_PORT_NAME portidx=0 -> name="eth1"
  GET_PORT_FLAGS portidx=0 ifname="eth1" -> num=1
  GET_NUM_VLANS portidx=0 -> num=1
  GET_VLAN_NAME portidx=0 ifidx=0 -> name="eth1#0"
  GET_NUM_MACS portidx=0 ifidx=0 -> num=1
  GET_MAC_NAME portidx=0 ifidx=0 macaddridx=0 -> name=00:11:22:33:44:55

=== several ports: flags 0 and more, an interface without addresses, a port without interfaces
state:
  port eth1 0x3
  vlan eth1#0
  mac 00:11:22:33:44:55
  mac fe:dc:ba:98:76:54
  vlan eth1#5
  port eth2 0x0
  port eth3 0x10
  vlan eth3#0
  mac 0a:00:00:00:00:ff
$ brantel_config info extra words
> -eth1
> -eth1 flag: 0x3
>  |-eth1#0
>  | |-00:11:22:33:44:55
>  | |-fe:dc:ba:98:76:54
>  |-eth1#5
> -eth2
> -eth2 flag: 0x0
> -eth3
> -eth3 flag: 0x10
>  |-eth3#0
>  | |-0a:00:00:00:00:ff

=== a count of zero or less runs no loop
state:
  port eth1 0x0
  vlan eth1#0
  mac 00:11:22:33:44:55
fault: GET_NUM_PORTS=num=-1
$ brantel_config info
fault: GET_NUM_VLANS=num=-5
$ brantel_config info
> -eth1
> -eth1 flag: 0x0
fault: GET_NUM_MACS=num=0
$ brantel_config info
> -eth1
> -eth1 flag: 0x0
>  |-eth1#0

=== each query refused in turn ends the report after the lines already printed
state:
  port eth1 0x1
  vlan eth1#0
  mac 00:11:22:33:44:55
  port eth2 0x0
  vlan eth2#0
  mac 00:00:00:00:00:01
  mac 00:00:00:00:00:02
fault: GET_NUM_PORTS=EPERM
$ brantel_config info
! ioctl (GET_NUM_PORTS): Operation not permitted
> @listing
? 1
fault: GET_PORT_NAME@2=EIO
$ brantel_config info
> -eth1
> -eth1 flag: 0x1
>  |-eth1#0
>  | |-00:11:22:33:44:55
! ioctl (GET_PORT_NAME): Input/output error
> @listing
? 1
fault: GET_PORT_FLAGS=ENODEV
$ brantel_config info
> -eth1
! ioctl (GET_PORT_FLAGS): No such device
> @listing
? 1
fault: GET_NUM_VLANS@2=EINVAL
$ brantel_config info
> -eth1
> -eth1 flag: 0x1
>  |-eth1#0
>  | |-00:11:22:33:44:55
> -eth2
> -eth2 flag: 0x0
! ioctl (GET_NUM_VLANS): Invalid argument
> @listing
? 1
fault: GET_VLAN_NAME=EBUSY
$ brantel_config info
> -eth1
> -eth1 flag: 0x1
! ioctl (GET_VLAN_NAME): Device or resource busy
> @listing
? 1
fault: GET_NUM_MACS@2=EIO
$ brantel_config info
> -eth1
> -eth1 flag: 0x1
>  |-eth1#0
>  | |-00:11:22:33:44:55
> -eth2
> -eth2 flag: 0x0
>  |-eth2#0
! ioctl (GET_NUM_MACS): Input/output error
> @listing
? 1
fault: GET_MAC_NAME@3=EIO
$ brantel_config info
> -eth1
> -eth1 flag: 0x1
>  |-eth1#0
>  | |-00:11:22:33:44:55
> -eth2
> -eth2 flag: 0x0
>  |-eth2#0
>  | |-00:00:00:00:00:01
! ioctl (GET_MAC_NAME): Input/output error
> @listing
? 1

=== names with no NUL in their 16 bytes are printed and copied at most 16 bytes
state:
  port eth1 0x1
  vlan eth1#0
  mac 00:11:22:33:44:55
fault: GET_PORT_NAME=nonul
fault: GET_VLAN_NAME=nonul
fault: GET_MAC_NAME=nonul
$ brantel_config info
> -eth1************
> -eth1************ flag: 0x1
>  |-eth1#0**********
>  | |-00:11:22:33:44:55
trace:
  GET_NUM_PORTS -> num=1
  GET_PORT_NAME portidx=0 -> name="eth1************..."
  GET_PORT_FLAGS portidx=0 ifname="eth1************..." -> num=1
  GET_NUM_VLANS portidx=0 -> num=1
  GET_VLAN_NAME portidx=0 ifidx=0 -> name="eth1#0**********..."
  GET_NUM_MACS portidx=0 ifidx=0 -> num=1
  GET_MAC_NAME portidx=0 ifidx=0 macaddridx=0 -> name=00:11:22:33:44:55

=== no socket: nothing is asked
fault: socket=EMFILE
$ brantel_config info
! socket: Too many open files
> @listing
? 1

=== closed or full standard output: the report is lost, and only a write error says so
state:
  port eth1 0x1
stdout: closed
$ brantel_config info
trace:
  GET_NUM_PORTS -> num=1
  GET_PORT_NAME portidx=0 -> name="eth1"
  GET_PORT_FLAGS portidx=0 ifname="eth1" -> num=1
  GET_NUM_VLANS portidx=0 -> num=0
stdout: full
$ brantel_config info
! brantel_config: write error: No space left on device
? 1

=== closed standard error: a refusal still ends with the listing and status 1
state:
  port eth1 0x1
stderr: closed
fault: GET_PORT_FLAGS=EIO
$ brantel_config info
> -eth1
> @listing
? 1
trace:
  GET_NUM_PORTS -> num=1
  GET_PORT_NAME portidx=0 -> name="eth1"
  GET_PORT_FLAGS portidx=0 ifname="eth1" -> EIO (injected)
