# The dispatcher and help: the table picks a row by the whole word.

=== no subcommand prints only the listing
$ brantel_config
> @listing
? 1

=== words match whole and exact: case, prefixes and options match no row
$ brantel_config ENABLE eth1
> @listing
? 1
$ brantel_config dis eth1
> @listing
? 1
$ brantel_config --help
> @listing
? 1
$ brantel_config ''
> @listing
? 1
$ brantel_config 'info '
> @listing
? 1
trace:

=== the listing names the program as it was started, or brantel_config with no name
$ bash -c 'exec -a /usr/sbin/brantel_config brantel_config'
> 
> /usr/sbin/brantel_config subcommands:
> 
> /usr/sbin/brantel_config help:	help on other commands
> /usr/sbin/brantel_config enable:	enables mac based vlans over an ethernet device
> /usr/sbin/brantel_config disable:	disables mac based vlans over an ethernet device
> /usr/sbin/brantel_config add:	creates new mac based vlan
> /usr/sbin/brantel_config del:	destroys a mac based vlan
> /usr/sbin/brantel_config bind:	binds macaddr to vlan
> /usr/sbin/brantel_config unbind:	unbinds macaddr from vlan
> /usr/sbin/brantel_config unload:	Unconfigure all of the brantel devices
> /usr/sbin/brantel_config setflags:	Set port flags on a port
> /usr/sbin/brantel_config info:	print state of mac based vlans
? 1
$ bash -c 'exec -a "" brantel_config'
> @listing
? 1

=== help on every row prints its long text
$ brantel_config help help
> help <command>
$ brantel_config help enable
> enable <ifname>
>  - enables mac based vlans over "ifname"
>  - also creates a default vlan over "ifname" called "ifname#0"
$ brantel_config help disable
> disable <ifname>
$ brantel_config help add
> add <ifname> <index>
>  - creates a new mac based vlan called "ifname#index" layered over "ifname"
>  - mac based vlans over "ifname" must first be enabled with "enable"
>  - "ifname#index" is not mapped to any MAC address until "bind" is called
$ brantel_config help del
> del <ifname>
>  - deletes a mac base vlan called "ifname"
$ brantel_config help bind
> bind  <ifname> <macaddr>
>  - binds macaddr to vlan called "ifname"
$ brantel_config help unbind
> unbind <ifname> <macaddr>
>  - unbinds macaddr from vlan called "ifname"
$ brantel_config help unload
> Unconfigure all of the brantel devices so module can be unloaded
$ brantel_config help setflags
> setflags <ifname> <new_flags>
> 0x01   Bind to Destination instead of source MAC
$ brantel_config help info
> info
trace:

=== help without a topic, or with no such row, gives only the listing and 255
$ brantel_config help
> @listing
? 255
$ brantel_config help Info
> @listing
? 255
$ brantel_config help inf
> @listing
? 255

=== help ignores words after the topic and sends no request
$ brantel_config help info enable extra
> info
trace:

=== output that cannot be written: one line on stderr, status 1 where it was 0
stdout: full
$ brantel_config help info
! brantel_config: write error: No space left on device
? 1
stdout: full
$ brantel_config help
! brantel_config: write error: No space left on device
? 255
