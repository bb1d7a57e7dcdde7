// A verified TLS connection to one server (secure.cpp), for the transport's own files.
#pragma once

#include <netinet/in.h>

#include "common/own.h"
#include "config/params.h"
#include "transport/channel_int.h"
#include "transport/servers_int.h"

namespace zv::transport {

struct SecureConnection {
  Fd fd;
  UniquePtr<SSL> ssl;
};

// How long the steps of a connection took, for the check command (-1: not reached).
struct StepTimes {
  double resolve_ms = -1, connect_ms = -1, handshake_ms = -1;
  char address[INET6_ADDRSTRLEN + 2] = {}; // the address connected to (the proxy's, proxied)
  int proxy_status = 0; // the status of the proxy's answer to CONNECT (0: none came)
};

// Connects to `server`, directly or through the proxy, runs the TLS handshake (offering
// *session to resume when there is one) and checks the certificate, all before the deadline.
// False on failure, with *why and the failing step in *stage, logged under post_json_request
// (a step that ran out of time names the server and the step).
bool open_secure(const module_params *params, SSL_CTX *ctx, const Server &server,
                 UniquePtr<SSL_SESSION> *session, const Deadline &deadline, SecureConnection *out,
                 Failure *why, const char **stage, StepTimes *times);

// The failure of a step: OpenSSL's queue at LOG_DEBUG, and the time limit named when one ran
// out (the request's deadline, or the time one address may take to accept a connection). When
// the queue says that memory or descriptors ran out, the failure is Failure::local.
void fail_step(const module_params *params, int line, const char *operation, const Server &server,
               const Deadline &deadline, Failure *why, const char **stage, Failure failure,
               const char *step);

} // namespace zv::transport
