// The servers of the `host` list (servers.cpp), for the transport's own files and its tests.
#pragma once

#include <cstddef>

#include "common/call.h"
#include "config/params.h"

namespace zv::transport {

struct Server {
  char name[256]; // host name or address, without IPv6 brackets
  char port[16];
  bool address; // an IP address: checked against the certificate's addresses, sent without SNI
  bool ipv6;    // written in brackets in the Host header, CONNECT and log lines
};

// The servers of params->host: names, IPv4 addresses or IPv6 addresses in brackets, separated by
// commas or blanks, each optionally followed by ":port" (else params->port). Fills at most
// ZV_MAX_SERVERS of `out` and returns how many; entries it cannot use are logged and skipped.
int parse_servers(const module_params *params, Server *out);

// "name:port", or "[address]:port" for IPv6, into `buf` (ZV_SERVER_TEXT_SIZE bytes).
void server_text(const Server &server, char *buf);

// The name for the Host header and CONNECT: the name, or the IPv6 address in brackets.
void server_host(const Server &server, char *buf, size_t size);

} // namespace zv::transport
