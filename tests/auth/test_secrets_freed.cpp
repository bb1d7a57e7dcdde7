// No secret is left behind in freed memory. Each road of a login runs with free_scanner.c
// preloaded, which searches every block that the login's thread takes from the allocator during
// the road and hands back for the password, the code, the application key and the proxy password
// (plain and in their Basic credentials) and for the offline codes of a reply. The one exception
// is Jansson's parser, whose work buffers the module cannot reach (Jansson's allocator hooks are
// process-wide and belong to the host): blocks freed by libjansson may hold pieces of a reply's
// offline codes.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <openssl/evp.h>
#include <unistd.h>

#include "free_scanner.h"
#include "login_fixture.h"
#include "tinyproxy.h"

using namespace zvtest;

namespace {

const std::string kPassword = "Pw-9hJq27Vx";
const std::string kCode = "58213974";
const std::string kKeyId = "zv-app-7";
const std::string kKey = "AppKey-3f9Qx7Lm2";
const std::string kProxyUser = "zvproxy";
const std::string kProxyPassword = "Pr0xyW7kq9"; // tinyproxy's grammar: letters and digits
const std::vector<std::string> kOfflineCodes = {"90417236", "81526347", "72635458", "63744569"};

std::string base64(const std::string &text) {
  std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                reinterpret_cast<const unsigned char *>(text.data()),
                                static_cast<int>(text.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

struct Road {
  const char *name;
  std::vector<std::string> options;
  std::vector<std::string> answers;
  std::vector<std::pair<std::string, std::string>> replies; // queued: type, JSON
};

struct Find {
  std::string road, needle, freed_by, context;
  size_t block_size;
};

std::ostream &operator<<(std::ostream &os, const Find &f) {
  return os << f.road << ": \"" << f.needle << "\" in a block of " << f.block_size
            << " bytes freed by " << f.freed_by << " [" << f.context << "]";
}

class SecretsFreed : public LoginTest {
protected:
  void SetUp() override {
    ASSERT_NE(zv_scan_arm, nullptr) << "free_scanner is not preloaded";
    LoginTest::SetUp();
    unlink("/etc/zelvane.d/alice.offline");
  }

  // One login along `road` with the scanner armed; what it found is added to `finds`.
  void run(const Road &road, std::vector<Find> *finds) {
    std::vector<std::string> options = {"application_key_id=" + kKeyId, "application_key=" + kKey};
    options.insert(options.end(), road.options.begin(), road.options.end());
    configure(options);
    for (const auto &[type, json] : road.replies) fake.queue_json(type, json);
    std::vector<std::string> needles = {kPassword,      kCode,
                                        kKey,           base64(kKeyId + ":" + kKey),
                                        kProxyPassword, base64(kProxyUser + ":" + kProxyPassword)};
    needles.insert(needles.end(), kOfflineCodes.begin(), kOfflineCodes.end());
    std::vector<const char *> armed;
    for (const std::string &n : needles) armed.push_back(n.c_str());

    conv = Conversation{};
    conv.answers = road.answers;
    zv_scan_arm(armed.data(), static_cast<int>(armed.size()));
    const int rc = pam_run(service, "alice", conv);
    const int count = zv_scan_disarm();
    EXPECT_EQ(rc, PAM_SUCCESS) << road.name;
    ASSERT_GE(count, 0) << road.name << ": too many blocks to follow";
    ASSERT_LE(count, 256) << road.name;
    for (int i = 0; i < count; i++) {
      const zv_scan_find &f = zv_scan_finds()[i];
      finds->push_back(
          {road.name, needles[static_cast<size_t>(f.needle)], f.freed_by, f.context, f.block_size});
    }
  }
};

bool is_offline_code(const std::string &needle) {
  return std::find(kOfflineCodes.begin(), kOfflineCodes.end(), needle) != kOfflineCodes.end();
}

} // namespace

// The scanner itself: an unwiped copy freed by this thread is found, and named by its freer.
TEST_F(SecretsFreed, ScannerFindsAnUnwipedCopy) {
  const char *needle = kPassword.c_str();
  zv_scan_arm(&needle, 1);
  char *copy = strdup(needle);
  copy = static_cast<char *>(realloc(copy, 4096)); // moved: the old block is freed
  std::free(copy);
  ASSERT_EQ(zv_scan_disarm(), 2);
  EXPECT_STREQ(zv_scan_finds()[0].freed_by, "test_secrets_freed");
  EXPECT_GE(zv_scan_finds()[1].block_size, 4096u);
}

TEST_F(SecretsFreed, NoRoadLeavesASecretInFreedMemory) {
  TinyProxy proxy(free_port(), "BasicAuth " + kProxyUser + " " + kProxyPassword + "\n");
  ASSERT_TRUE(proxy.running());
  std::string codes;
  for (const std::string &c : kOfflineCodes) codes += (codes.empty() ? "" : ",") + c;
  const std::string stock = R"({"errorCode": 0, "offlineCodes": ")" + codes + R"("})";

  const Road roads[] = {
      {"password", {"auth_mode_1fa"}, {kPassword}, {}},
      {"typed code", {"auth_mode_2fa"}, {kCode}, {}},
      {"password and code in one answer", {"auth_mode_1fa_2fa"}, {kPassword + "," + kCode}, {}},
      {"forward_pass", {"auth_mode_2fa", "forward_pass"}, {kPassword + "," + kCode}, {}},
      {"code after SMS delivery",
       {"auth_mode_2fa", "allowed_2fa_methods=otp_sms"},
       {"os", kCode},
       {}},
      {"push",
       {"auth_mode_2fa", "allowed_2fa_methods=push_app"},
       {"pa"},
       {{"send_push_message", R"({"errorCode": 0, "authnUserReqId": "req-1"})"}}},
      {"reply with offline codes",
       {"auth_mode_2fa", "offline_codes", "offline_codes_reserve=0"},
       {kCode},
       {{"validate_oath_otp", stock}}},
      // The server is gone: the code of the stock just stored is checked offline.
      {"offline code",
       {"auth_mode_2fa", "offline_codes", "port=" + std::to_string(free_port())},
       {kOfflineCodes[1]},
       {}},
      {"proxy with credentials",
       {"auth_mode_1fa_2fa", "proxy_server=127.0.0.1", "proxy_port=" + std::to_string(proxy.port()),
        "proxy_username=" + kProxyUser, "proxy_password=" + kProxyPassword},
       {kPassword, kCode},
       {}},
  };
  std::vector<Find> finds;
  for (const Road &road : roads) ASSERT_NO_FATAL_FAILURE(run(road, &finds));

  // Only Jansson's parse copies of the reply's offline codes remain, on that road alone; that
  // they are found at all shows that the scanner sees the frees of the login.
  size_t jansson = 0;
  for (const Find &f : finds) {
    const bool parse_copy = f.road == std::string("reply with offline codes") &&
                            is_offline_code(f.needle) && f.freed_by.rfind("libjansson", 0) == 0;
    EXPECT_TRUE(parse_copy) << f;
    jansson += parse_copy;
  }
  EXPECT_GE(jansson, 1u);
  for (const Find &f : finds) std::cout << "  found: " << f << "\n";
}
