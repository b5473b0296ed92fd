# unload: take down, delete and disable everything, always at index 0.
# A stand-in ifconfig first on PATH records its arguments.

=== one port with one interface: the progress text shares the delete's line
state:
  port eth1 0x1
  vlan eth1#0
  mac 00:11:22:33:44:55
$ brantel_config unload
> Found: 1 ports
> Found: 1 vlans for port: 0
> Configuring down interface: eth1#0 with ifconfig...Deleted interface: eth1#0
> Found: 0 vlans for port: 0
> Disabled port: eth1
> Found: 0 ports
ifconfig:
  [eth1#0] [down]
trace:
  GET_NUM_PORTS -> num=1
  GET_PORT_NAME portidx=0 -> name="eth1"
  GET_NUM_VLANS portidx=0 -> num=1
  GET_VLAN_NAME portidx=0 ifidx=0 -> name="eth1#0"
  BRANTEL_DEL ifname="eth1#0" -> ok
  GET_NUM_VLANS portidx=0 -> num=0
  BRANTEL_DISABLE ifname="eth1" -> ok
  GET_NUM_PORTS -> num=0
after:

=== no ports: one count line, status 0
$ brantel_config unload extra
> Found: 0 ports
ifconfig:

=== two ports with several interfaces and one without: the counts go down
state:
  port eth1 0x0
  vlan eth1#0
  vlan eth1#7
  mac 00:00:00:00:00:01
  vlan eth1#2
  port eth2 0x1
  port eth3 0x0
  vlan eth3#0
$ brantel_config unload
> Found: 3 ports
> Found: 3 vlans for port: 0
> Configuring down interface: eth1#0 with ifconfig...Deleted interface: eth1#0
> Found: 2 vlans for port: 0
> Configuring down interface: eth1#7 with ifconfig...Deleted interface: eth1#7
> Found: 1 vlans for port: 0
> Configuring down interface: eth1#2 with ifconfig...Deleted interface: eth1#2
> Found: 0 vlans for port: 0
> Disabled port: eth1
> Found: 2 ports
> Found: 0 vlans for port: 0
> Disabled port: eth2
> Found: 1 ports
> Found: 1 vlans for port: 0
> Configuring down interface: eth3#0 with ifconfig...Deleted interface: eth3#0
> Found: 0 vlans for port: 0
> Disabled port: eth3
> Found: 0 ports
ifconfig:
  [eth1#0] [down]
  [eth1#7] [down]
  [eth1#2] [down]
  [eth3#0] [down]
after:

=== a refused first port count: only its perror line, status 0
state:
  port eth1 0x0
fault: GET_NUM_PORTS=EPERM
$ brantel_config unload
! ioctl (SIOCGIFBRANTEL, GET_NUM_PORTS): Operation not permitted
after:
  port eth1 0x0

=== a refused later port count also ends with status 0
state:
  port eth1 0x0
  port eth2 0x0
fault: GET_NUM_PORTS@2=EIO
$ brantel_config unload
> Found: 2 ports
> Found: 0 vlans for port: 0
> Disabled port: eth1
! ioctl (SIOCGIFBRANTEL, GET_NUM_PORTS): Input/output error
after:
  port eth2 0x0

=== a refused interface count ends that port's loop; the port is still disabled
state:
  port eth1 0x0
  vlan eth1#0
fault: GET_NUM_VLANS=EIO
$ brantel_config unload
> Found: 1 ports
! ioctl (GET_NUM_VLANS): Input/output error
> Disabled port: eth1
> Found: 0 ports
ifconfig:
after:

=== refused name queries: status 1 and the listing
state:
  port eth1 0x0
  vlan eth1#0
fault: GET_PORT_NAME=EIO
$ brantel_config unload
> Found: 1 ports
! ioctl (GET_PORT_NAME): Input/output error
> @listing
? 1
fault: GET_VLAN_NAME=EIO
$ brantel_config unload
> Found: 1 ports
> Found: 1 vlans for port: 0
! ioctl (GET_VLAN_NAME): Input/output error
> @listing
? 1
after:
  port eth1 0x0
  vlan eth1#0

=== a refused delete that keeps the interface ends the teardown, status 1
state:
  port eth1 0x0
  vlan eth1#0
  vlan eth1#1
fault: BRANTEL_DEL@2=EPERM
$ brantel_config unload
> Found: 1 ports
> Found: 2 vlans for port: 0
> Configuring down interface: eth1#0 with ifconfig...Deleted interface: eth1#0
> Found: 1 vlans for port: 0
> Configuring down interface: eth1#1 with ifconfig...failed to delete interface: eth1#1
! ioctl (SIOCGIFBRANTEL, BRANTEL_DEL): Operation not permitted
> @listing
? 1
after:
  port eth1 0x0
  vlan eth1#1

=== a refused disable that keeps the port ends the teardown, status 1
state:
  port eth1 0x0
fault: BRANTEL_DISABLE=EBUSY
$ brantel_config unload
> Found: 1 ports
> Found: 0 vlans for port: 0
! disable-port: Device or resource busy
> @listing
? 1
after:
  port eth1 0x0

=== names with shell metacharacters reach ifconfig as one literal argument
state:
  port a$(>z) 0x0
  vlan a$(>z)#0
  port p;>z; 0x0
  vlan p;>z;#0
$ brantel_config unload
> Found: 2 ports
> Found: 1 vlans for port: 0
> Configuring down interface: a$(>z)#0 with ifconfig...Deleted interface: a$(>z)#0
> Found: 0 vlans for port: 0
> Disabled port: a$(>z)
> Found: 1 ports
> Found: 1 vlans for port: 0
> Configuring down interface: p;>z;#0 with ifconfig...Deleted interface: p;>z;#0
> Found: 0 vlans for port: 0
> Disabled port: p;>z;
> Found: 0 ports
ifconfig:
  [a$(>z)#0] [down]
  [p;>z;#0] [down]
$ sh -c 'test ! -e z'

=== what ifconfig prints comes after the progress text
state:
  port eth1 0x0
  vlan eth1#0
env: IFCONFIG_SAY=eth1#0: ERROR while getting interface flags
env: IFCONFIG_STATUS=1
$ brantel_config unload
> Found: 1 ports
> Found: 1 vlans for port: 0
> Configuring down interface: eth1#0 with ifconfig...eth1#0: ERROR while getting interface flags
> Deleted interface: eth1#0
> Found: 0 vlans for port: 0
> Disabled port: eth1
> Found: 0 ports

=== an ifconfig that cannot be started: one line on stderr, the teardown goes on
state:
  port eth1 0x0
  vlan eth1#0
env: PATH=@tool
$ brantel_config unload
> Found: 1 ports
> Found: 1 vlans for port: 0
> Configuring down interface: eth1#0 with ifconfig...\c
! brantel_config: cannot start ifconfig: No such file or directory
> Deleted interface: eth1#0
> Found: 0 vlans for port: 0
> Disabled port: eth1
> Found: 0 ports
after:

=== a reply name with no NUL is cut at 16 bytes; the module refuses it and unload stops
state:
  port eth1 0x0
  vlan eth1#0
fault: GET_VLAN_NAME=nonul
$ brantel_config unload
> Found: 1 ports
> Found: 1 vlans for port: 0
> Configuring down interface: eth1#0********** with ifconfig...failed to delete interface: eth1#0**********
! ioctl (SIOCGIFBRANTEL, BRANTEL_DEL): Invalid argument
> @listing
? 1
ifconfig:
  [eth1#0**********] [down]

=== a reader that goes away: the teardown finishes, then the write error, status 1
state:
  port eth1 0x0
  vlan eth1#0
  vlan eth1#1
stdout: gone
$ brantel_config unload
! brantel_config: write error: Broken pipe
? 1
ifconfig:
  [eth1#0] [down]
  [eth1#1] [down]
after:

=== a name that starts with '-' is taken down without ifconfig, which takes it for an option
state:
  port -a 0x0
  vlan -a#0
$ brantel_config unload
> Found: 1 ports
> Found: 1 vlans for port: 0
> Configuring down interface: -a#0 with ifconfig...\c
! brantel_config: cannot take -a#0 down: No such device
> Deleted interface: -a#0
> Found: 0 vlans for port: 0
> Disabled port: -a
> Found: 0 ports
ifconfig:
after:

=== no socket
fault: socket=EMFILE
$ brantel_config unload
! socket: Too many open files
> @listing
? 1
