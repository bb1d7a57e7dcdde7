// One HTTPS POST of a JSON body to the authentication server: optional reachability pre-check,
// then, within one deadline, the servers of the `host` list in turn until one answers, each over
// a TLS 1.2+ connection (direct or through a proxy tunnel) whose certificate must chain to the
// trust store and name the server; the reply body of a 2xx response.
//
// Only an outage moves on to the next server and counts as unreachable: a refused or dropped
// connection, the deadline, a TLS or certificate failure, an unusable response, or HTTP 502, 503
// or 504. Any other HTTP status is the server's answer. Memory or descriptors running out on this
// side is neither: it ends the request at once, with no server marked as failed.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <openssl/err.h>
#include <sys/stat.h>
#include <syslog.h>

#include "common/call.h"
#include "pam/log.h"
#include "transport/channel_int.h"
#include "transport/framing_int.h"
#include "transport/secure_int.h"
#include "transport/servers_int.h"
#include "transport/tls_context_int.h"
#include "transport/transport.h"

namespace {

using namespace zv::transport;

// Log lines of the steps below carry the name of the function they are steps of.
constexpr const char kFn[] = "post_json_request";
constexpr size_t kMaxResponse = ZV_RESPONSE_MAX - 2; // 1,048,575 bytes are accepted

bool is_outage_status(int status) { return status == 502 || status == 503 || status == 504; }

// How one attempt on one server ended.
struct Attempt {
  Failure failure = Failure::none; // none: a response came, with `status`
  const char *stage = "";
  int status = 0;
  zv::Secret response; // the whole response, NUL-terminated (it can carry offline codes)
};

// The request text (it carries the credentials and the body's secrets), built piece by piece in
// a wiped buffer; empty when it cannot be built.
zv::Secret build_request(const module_params *params, const Server &server, const char *body) {
  zv::Secret text;
  if (body == nullptr) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to create POST request");
    return text;
  }
  char host[ZV_SERVER_TEXT_SIZE];
  server_host(server, host, sizeof host);
  char length[24];
  (void)snprintf(length, sizeof length, "%zu", std::strlen(body));
  bool ok = text.append("POST ") && text.append(params->path) &&
            text.append(" HTTP/1.1\r\nHost: ") && text.append(host) &&
            text.append("\r\nConnection: close\r\nAccept: application/json\r\n"
                        "Content-Type: application/json\r\nContent-Length: ") &&
            text.append(length) && text.append("\r\n");
  if (ok && has_text(params->application_key_id) && has_text(params->application_key)) {
    if (!text.append("Authorization: Basic ") ||
        !append_basic_credentials(&text, params->application_key_id, params->application_key)) {
      ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to allocate tenant_name_key");
      ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to create POST request");
      return {};
    }
    ok = text.append("\r\n");
  }
  if (!ok || !text.append("\r\n") || !text.append(body)) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to create POST request");
    return {};
  }
  return text;
}

// Reads the response until its framing says that it is complete (a body without framing runs
// until the server closes the connection), into a buffer that doubles from 4096 bytes up to
// ZV_RESPONSE_MAX. Fills a->response with the final response, its body decoded, or records why
// nothing usable came (logged).
void read_response(const module_params *params, const Channel &channel, const Server &server,
                   Attempt *a) {
  zv::Secret buf = zv::Secret::with_capacity(ZV_RESPONSE_INITIAL);
  if (!buf) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Memory allocation failed for response buffer");
    a->failure = Failure::local;
    a->stage = "reading the reply";
    return;
  }
  ResponseFrame frame;
  Framed framed = Framed::more;
  size_t received = 0; // as sent, chunk framing and interim responses included
  Failure why = Failure::none;
  long last = 0;
  while (framed == Framed::more) {
    // At most capacity - 1 bytes are filled, so the terminating NUL always fits.
    last = channel.read(buf.get() + buf.size(), buf.capacity() - 1 - buf.size(), &why);
    if (last <= 0) break;
    buf.grow_size(static_cast<size_t>(last));
    received += static_cast<size_t>(last);
    if (received > kMaxResponse) {
      framed = Framed::unusable;
      frame.too_large = true;
      break;
    }
    framed = frame_response(&frame, &buf, kMaxResponse, false);
    const size_t capacity = buf.capacity();
    if (buf.size() + ZV_RESPONSE_INITIAL >= capacity && capacity < ZV_RESPONSE_MAX &&
        !buf.grow_to(capacity * 2 < ZV_RESPONSE_MAX ? capacity * 2 : ZV_RESPONSE_MAX)) {
      ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to grow response buffer");
      a->failure = Failure::local;
      a->stage = "reading the reply";
      return;
    }
  }
  // A reply cut short by the deadline is no reply.
  if (framed == Framed::more && last < 0 && why == Failure::timed_out) {
    fail_step(params, __LINE__, "BIO_read", server, channel.deadline, &a->failure, &a->stage, why,
              "reading the reply");
    return;
  }
  // The end of the connection (or a failed read) ends a response that runs to the close.
  if (framed == Framed::more) framed = frame_response(&frame, &buf, kMaxResponse, true);
  if (framed == Framed::unusable) {
    if (frame.too_large)
      ZV_LOG_AS(kFn, params, LOG_ERR, "Response exceeds maximum size (%d bytes)",
                static_cast<int>(kMaxResponse + 1));
    else
      ZV_LOG_AS(kFn, params, LOG_ERR, "Unusable HTTP response: %s", frame.why);
    a->failure = Failure::protocol;
    return;
  }
  if (buf.size() == 0) {
    a->failure = last < 0 ? why : Failure::closed;
    a->stage = "reading the reply";
    if (last < 0 && drain_ssl_errors(params, kFn, __LINE__, "BIO_read"))
      a->failure = Failure::local;
    return;
  }
  a->response = std::move(buf);
}

// One request to one server, all of it before the deadline.
void attempt(const module_params *params, SSL_CTX *ctx, const Server &server,
             zv::UniquePtr<SSL_SESSION> *session, const Deadline &deadline, const char *body,
             Attempt *a) {
  SecureConnection conn;
  if (!open_secure(params, ctx, server, session, deadline, &conn, &a->failure, &a->stage, nullptr))
    return;
  const Channel channel{conn.fd.get(), conn.ssl.get(), deadline};
  {
    zv::Secret request = build_request(params, server, body);
    if (!request) {
      a->failure = Failure::local;
      a->stage = "building the request";
      return;
    }
    Failure why = Failure::none;
    if (!channel.write_all(request.get(), request.size(), &why)) {
      fail_step(params, __LINE__, "BIO_write", server, deadline, &a->failure, &a->stage, why,
                "sending the request");
      return;
    }
  }
  read_response(params, channel, server, a);
  if (a->failure != Failure::none) return;
  // A session to resume with this server later in the call (tickets came with the reply).
  if (session != nullptr) {
    zv::UniquePtr<SSL_SESSION> kept(SSL_get1_session(conn.ssl.get()));
    if (kept && SSL_SESSION_is_resumable(kept.get()) == 1) *session = std::move(kept);
  }
  // A clean end, without waiting for the peer's.
  SSL_shutdown(conn.ssl.get());
  const char *reply_body = nullptr;
  if (parse_http_response(params, a->response.get(), &a->status, &reply_body) != 0) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to parse HTTP response");
    a->failure = Failure::protocol;
  }
}

bool same_time(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The TLS context of this request: the call's own while its CA file is the same file, else a
// new one (and then the call's sessions, made under the old trust, are dropped). Null on failure,
// with *exhausted true when memory or descriptors ran out.
SSL_CTX *context_for(const module_params *params, zv::UniquePtr<SSL_CTX> *own, bool *exhausted) {
  zv_call *call = params->call;
  const char *path = get_ca_certificates_path(params);
  if (path == nullptr) {
    ZV_LOG_AS("create_ssl_context", params, LOG_ERR, "FAILED: get_ca_certificates_path");
    return nullptr;
  }
  if (call == nullptr) {
    own->reset(new_ssl_context(params, path, exhausted));
    return own->get();
  }
  struct stat st {};
  const bool known = stat(path, &st) == 0;
  if (known && call->ctx && call->ctx_ca_path && std::strcmp(call->ctx_ca_path.get(), path) == 0 &&
      call->ctx_dev == st.st_dev && call->ctx_ino == st.st_ino && call->ctx_size == st.st_size &&
      same_time(call->ctx_mtime, st.st_mtim) && same_time(call->ctx_ctime, st.st_ctim))
    return call->ctx.get();
  zv::UniquePtr<SSL_CTX> fresh(new_ssl_context(params, path, exhausted));
  if (!fresh) return nullptr;
  for (auto &session : call->sessions) session.reset();
  call->ctx_ca_path.reset(known ? strdup(path) : nullptr);
  if (call->ctx_ca_path) {
    call->ctx = std::move(fresh);
    call->ctx_dev = st.st_dev;
    call->ctx_ino = st.st_ino;
    call->ctx_size = st.st_size;
    call->ctx_mtime = st.st_mtim;
    call->ctx_ctime = st.st_ctim;
    return call->ctx.get();
  }
  call->ctx.reset();
  *own = std::move(fresh);
  return own->get();
}

// The servers to try, in order: the pinned one alone; else those that have not failed in this
// call, then those that failed but did not time out. Returns how many.
int server_order(const zv_call *call, int count, int *order) {
  if (call == nullptr) {
    for (int i = 0; i < count; i++) order[i] = i;
    return count;
  }
  if (call->pinned >= 0 && call->pinned < count) {
    order[0] = call->pinned;
    return 1;
  }
  int n = 0;
  for (int i = 0; i < count; i++)
    if ((call->failed & (1u << i)) == 0) order[n++] = i;
  for (int i = 0; i < count; i++)
    if ((call->failed & (1u << i)) != 0 && (call->timed_out & (1u << i)) == 0) order[n++] = i;
  return n;
}

// Remembers a failed server (`failure`, or none with the HTTP `status` of an outage); with
// several servers, names it and the reason.
void note_failure(const module_params *params, const Server &server, int index, int count,
                  Failure failure, int status) {
  if (zv_call *call = params->call) {
    call->failed |= 1u << index;
    if (failure == Failure::timed_out) call->timed_out |= 1u << index;
  }
  if (count < 2) return;
  char text[ZV_SERVER_TEXT_SIZE];
  server_text(server, text);
  if (failure == Failure::none)
    ZV_LOG_AS(kFn, params, LOG_WARNING, "Server (%s) failed: HTTP %d", text, status);
  else
    ZV_LOG_AS(kFn, params, LOG_WARNING, "Server (%s) failed: %s", text, failure_text(failure));
}

// The end of a request that failed on this side.
Posted failed_here(const module_params *params, const char *stage) {
  ZV_LOG_AS(kFn, params, LOG_ERR, "Request failed on this host (%s): memory or descriptors ran out",
            has_text(stage) ? stage : "preparing");
  return Posted::failed;
}

bool proxied(const module_params *params) {
  return params->proxy_server != nullptr && params->proxy_port != nullptr;
}

// The reachability pre-check: whether the proxy (when one is configured) or else `server` accepts
// a TCP connection within connection_timeout_secs. Failure::none when it answered; a refusal
// counts, as the real connection then fails on its own.
Failure reach(const module_params *params, const Server &server) {
  const Deadline deadline = Deadline::after(params->connection_timeout_secs);
  Failure why = Failure::none;
  zv::Fd fd = proxied(params) ? connect_tcp(params->proxy_server, params->proxy_port, deadline,
                                            params->connection_timeout_secs, &why)
                              : connect_tcp(server.name, server.port, deadline,
                                            params->connection_timeout_secs, &why);
  return fd.valid() || why == Failure::refused || why == Failure::unreachable ? Failure::none : why;
}

void note_answer(const module_params *params, const Server &server, int index, int status) {
  zv_call *call = params->call;
  if (call == nullptr) return;
  call->answered = index;
  call->http_status = status;
  server_text(server, call->server);
}

Posted finish(const module_params *params, const char *response, int status, char **json_response) {
  if (status < 200 || status > 299) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "HTTP %d response from server", status);
    return Posted::refused;
  }
  const char *blank = std::strstr(response, "\r\n\r\n");
  if (blank != nullptr && blank[4] != '\0') {
    char *copy = strdup(blank + 4);
    if (copy == nullptr)
      ZV_LOG_AS(kFn, params, LOG_ERR, "Memory allocation failed for json_response");
    if (json_response != nullptr)
      *json_response = copy;
    else
      zv::wipe_free(copy);
  }
  return Posted::ok;
}

} // namespace

extern "C" int is_server_reachable(const module_params *params) {
  ErrorMark error_mark;
  Server servers[ZV_MAX_SERVERS] = {};
  if (!proxied(params) && parse_servers(params, servers) == 0) return 0;
  return reach(params, servers[0]) == Failure::none ? 1 : 0;
}

Posted zv::transport::post(const module_params *params, const char *body, char **json_response) {
  // Declared first, released last: ending a TLS connection still writes (close_notify).
  SigpipeGuard sigpipe_guard;
  // OpenSSL's errors of this request stay off the host's thread (after they were logged).
  ErrorMark error_mark;
  Server servers[ZV_MAX_SERVERS];
  const int count = parse_servers(params, servers);
  if (count == 0) {
    if (!has_text(params->host)) ZV_LOG_AS(kFn, params, LOG_ERR, "No server host configured");
    return Posted::unreachable;
  }
  zv_call *call = params->call;
  int order[ZV_MAX_SERVERS] = {};
  const int tries = server_order(call, count, order);
  if (tries == 0) {
    ZV_LOG_AS(kFn, params, LOG_WARNING,
              "No server is tried: every server timed out earlier in this call.");
    return Posted::unreachable;
  }
  // The pre-check tests the server the request would try first (or the proxy, which every
  // server is reached through). A server that fails it has failed this request: the next one
  // is tried, and within the call it counts as failed (timed out, when it did).
  int first = 0;
  if (params->connection_timeout_secs != 0) {
    const Failure why = reach(params, servers[order[0]]);
    if (why == Failure::local) return failed_here(params, "reachability check");
    if (why != Failure::none) {
      if (!proxied(params)) note_failure(params, servers[order[0]], order[0], count, why, 0);
      if (proxied(params) || tries == 1) {
        ZV_LOG_AS(kFn, params, LOG_WARNING, "Server (%s) is not reachable.", params->host);
        return Posted::unreachable;
      }
      first = 1;
    }
  }
  if (json_response != nullptr) *json_response = nullptr;

  zv::UniquePtr<SSL_CTX> own_ctx;
  bool exhausted = false;
  SSL_CTX *ctx = context_for(params, &own_ctx, &exhausted);
  if (ctx == nullptr) return exhausted ? failed_here(params, "TLS context") : Posted::unreachable;

  const Deadline deadline = Deadline::after(request_timeout(params));
  for (int t = first; t < tries; t++) {
    const int i = order[t];
    Attempt a;
    attempt(params, ctx, servers[i], call != nullptr ? &call->sessions[i] : nullptr, deadline, body,
            &a);
    // Not the server's fault, and no other server would fare better.
    if (a.failure == Failure::local) return failed_here(params, a.stage);
    if (a.failure == Failure::none && !is_outage_status(a.status)) {
      note_answer(params, servers[i], i, a.status);
      return finish(params, a.response.get(), a.status, json_response);
    }
    if (a.failure == Failure::none)
      ZV_LOG_AS(kFn, params, LOG_ERR, "HTTP %d response from server", a.status);
    note_failure(params, servers[i], i, count, a.failure, a.status);
  }
  return Posted::unreachable;
}

void zv::transport::pin_answering_server(const module_params *params) {
  if (params->call != nullptr) params->call->pinned = params->call->answered;
}

void zv::transport::unpin_server(const module_params *params) {
  if (params->call != nullptr) params->call->pinned = -1;
}

extern "C" int post_json_request(const module_params *params, const char *body,
                                 char **json_response) {
  return post(params, body, json_response) == Posted::ok ? 1 : 0;
}
