// The shared test server and PKI: other areas' tests build on them, so they get checks of their
// own with a client that owes nothing to the module's transport.
#include <gtest/gtest.h>

#include <csignal>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tls_server.h"

using namespace zvtest;

namespace {

// Sends `request` over TLS (trusting `ca`) and returns everything the server sent back, or
// "<handshake failed>".
std::string exchange(int port, const std::string &ca, const std::string &request,
                     int max_version = 0) {
  signal(SIGPIPE, SIG_IGN); // this plain client is not the code under test
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (max_version != 0) {
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(ctx, max_version);
  }
  BIO *bio = BIO_new_ssl_connect(ctx);
  std::string target = "localhost:" + std::to_string(port);
  BIO_set_conn_hostname(bio, target.c_str());
  SSL *ssl = nullptr;
  BIO_get_ssl(bio, &ssl);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  std::string out;
  if (BIO_do_connect(bio) != 1 || SSL_get_verify_result(ssl) != X509_V_OK) {
    out = "<handshake failed>";
  } else {
    BIO_write(bio, request.data(), static_cast<int>(request.size()));
    char buf[4096];
    int n;
    while ((n = BIO_read(bio, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  }
  BIO_free_all(bio);
  SSL_CTX_free(ctx);
  ERR_clear_error();
  return out;
}

const std::string kRequest = "POST /x HTTP/1.1\r\nHost: localhost\r\nContent-Length: 7\r\n"
                             "X-Two: a b\r\n\r\n{\"a\":1}";

} // namespace

TEST(TlsServer, AnswersAndRecordsTheRequest) {
  TlsServer server;
  EXPECT_EQ(exchange(server.port(), test_pki().root_ca, kRequest),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
            "{\"errorCode\":0}");
  auto got = server.received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].raw, kRequest);
  EXPECT_EQ(got[0].method, "POST");
  EXPECT_EQ(got[0].target, "/x");
  EXPECT_EQ(got[0].body, "{\"a\":1}");
  EXPECT_EQ(got[0].header("x-two"), "a b");
  EXPECT_EQ(got[0].header("Missing"), "");
  EXPECT_EQ(server.connections(), 1u);
}

TEST(TlsServer, ScriptedRepliesInPiecesAndEarlyClose) {
  TlsServer server;
  server.set_handler([](const Received &r) {
    Reply reply = http_reply(404, r.body);
    reply.chunk = 3;
    if (r.body == "{\"a\":2}") reply.close_without_reply = true;
    return reply;
  });
  EXPECT_EQ(exchange(server.port(), test_pki().root_ca, kRequest),
            "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nConnection: close\r\n"
            "\r\n{\"a\":1}");
  std::string second = kRequest;
  second.replace(second.size() - 2, 1, "2");
  EXPECT_EQ(exchange(server.port(), test_pki().root_ca, second), "");
  EXPECT_EQ(server.received().size(), 2u);
}

TEST(TlsServer, PkiChainsVerifyAsDesigned) {
  const TestPki &pki = test_pki();
  struct Case {
    std::string chain, key, ca;
    bool ok;
  } cases[] = {
      {pki.leaf_chain, pki.leaf_key, pki.root_ca, true},
      {pki.leaf_chain, pki.leaf_key, pki.untrusted_root, false},
      {pki.expired_chain, pki.expired_key, pki.root_ca, false},
      {pki.future_chain, pki.future_key, pki.root_ca, false},
      {pki.self_signed_cert, pki.self_signed_key, pki.root_ca, false},
      {pki.untrusted_chain, pki.untrusted_key, pki.root_ca, false},
      {pki.untrusted_chain, pki.untrusted_key, pki.untrusted_root, true},
      {pki.other_name_chain, pki.other_name_key, pki.root_ca, false}, // name check
  };
  for (const auto &c : cases) {
    TlsServer server({c.chain, c.key});
    std::string got = exchange(server.port(), c.ca, kRequest);
    EXPECT_EQ(got != "<handshake failed>", c.ok) << c.chain << " against " << c.ca;
  }
}

TEST(TlsServer, OffersOldProtocolVersionsWhenAsked) {
  TlsServerOptions opts;
  opts.max_version = TLS1_1_VERSION;
  TlsServer server(opts);
  // A client that still speaks TLS 1.1 gets through: the server really offers it.
  EXPECT_NE(exchange(server.port(), test_pki().root_ca, kRequest, TLS1_1_VERSION),
            "<handshake failed>");
}

TEST(TlsServer, PlainModeAndResetAfterBytes) {
  TlsServerOptions opts;
  opts.plain = true;
  opts.io_timeout_ms = 300; // the server waits for a request head that a TLS client never sends
  TlsServer plain(opts);
  EXPECT_EQ(exchange(plain.port(), test_pki().root_ca, kRequest), "<handshake failed>");

  TlsServerOptions resetting;
  resetting.reset_after_bytes = 10;
  TlsServer server(resetting);
  EXPECT_EQ(exchange(server.port(), test_pki().root_ca, kRequest), "");
  EXPECT_TRUE(server.received().empty());
  EXPECT_EQ(server.connections(), 1u);
}
