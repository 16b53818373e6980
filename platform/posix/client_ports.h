// For the command line, whose upgrades may run by the hundred on one PC: the
// device web client's local TCP port is left to the system (its ephemeral
// range) instead of the wizard's 101 ports from 23456, which a hundred
// upgrades holding open requests, refused connects and TIME_WAITs can use up.
// The wizard itself keeps its range.
#pragma once

void net_use_system_client_ports(bool on);
