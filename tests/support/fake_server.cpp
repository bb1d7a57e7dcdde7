#include "fake_server.h"

#include <filesystem>
#include <fstream>
#include <jansson.h>
#include <memory>
#include <sys/stat.h>

namespace zvtest {

namespace {

std::string string_member(const json_t *root, const char *key) {
  const char *value = json_string_value(json_object_get(root, key));
  return value != nullptr ? value : "";
}

ZvRequest parse_request(const std::string &body) {
  ZvRequest r;
  r.body = body;
  std::unique_ptr<json_t, void (*)(json_t *)> root(json_loads(body.c_str(), 0, nullptr),
                                                   [](json_t *j) { json_decref(j); });
  if (!json_is_object(root.get())) return r;
  r.json_object = true;
  const char *key = nullptr;
  json_t *value = nullptr;
  json_object_foreach(root.get(), key, value) { r.keys.emplace_back(key); }
  r.type = string_member(root.get(), "type");
  r.username = string_member(root.get(), "username");
  r.pw = string_member(root.get(), "pw");
  r.otp = string_member(root.get(), "otp");
  r.authnAccount = string_member(root.get(), "authnAccount");
  r.appName = string_member(root.get(), "appName");
  r.authnReason = string_member(root.get(), "authnReason");
  const json_t *method = json_object_get(root.get(), "deliveryMethod");
  if (json_is_integer(method))
    r.deliveryMethod = std::to_string(json_integer_value(method));
  else
    r.deliveryMethod = string_member(root.get(), "deliveryMethod");
  const json_t *ocodes = json_object_get(root.get(), "ocodes");
  r.has_ocodes = json_is_integer(ocodes);
  if (r.has_ocodes) r.ocodes = json_integer_value(ocodes);
  return r;
}

} // namespace

FakeZelvane::FakeZelvane(TlsServerOptions options) : server_(std::move(options)) {
  server_.set_handler([this](const Received &request) { return answer(request); });
}

Reply FakeZelvane::answer(const Received &request) {
  ZvRequest parsed = parse_request(request.body);
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(parsed);
  auto queued = queued_.find(parsed.type);
  if (queued != queued_.end() && !queued->second.empty()) {
    Reply reply = std::move(queued->second.front());
    queued->second.pop_front();
    return reply;
  }
  auto fallback = defaults_.find(parsed.type);
  if (fallback != defaults_.end()) return fallback->second;
  return http_reply(200, "{\"errorCode\": 0}");
}

void FakeZelvane::queue(const std::string &type, Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_[type].push_back(std::move(reply));
}

void FakeZelvane::queue_json(const std::string &type, const std::string &json, int http_status) {
  queue(type, http_reply(http_status, json));
}

void FakeZelvane::set_default(const std::string &type, Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  defaults_[type] = std::move(reply);
}

void FakeZelvane::set_default_json(const std::string &type, const std::string &json,
                                   int http_status) {
  set_default(type, http_reply(http_status, json));
}

std::vector<ZvRequest> FakeZelvane::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<ZvRequest> FakeZelvane::requests(const std::string &type) const {
  std::vector<ZvRequest> out;
  for (const ZvRequest &r : requests())
    if (r.type == type) out.push_back(r);
  return out;
}

void FakeZelvane::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
  queued_.clear();
}

std::vector<std::string> FakeZelvane::settings(const std::string &host) const {
  return {"host=" + host, "port=" + port_str(), "ca_cert_file=" + test_pki().root_ca};
}

void FakeZelvane::write_config(const std::vector<std::string> &extra,
                               const std::string &host) const {
  mkdir("/etc/zelvane.d", 0700);
  // A fresh configuration starts with no pushes counted: the tests of one program share the
  // directory, and most push for the same user.
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator("/etc/zelvane.d", ec))
    if (entry.path().extension() == ".push") std::filesystem::remove(entry.path(), ec);
  std::ofstream out("/etc/zelvane.d/pam_zelvane.conf", std::ios::trunc);
  for (const std::string &line : settings(host)) out << line << "\n";
  for (const std::string &line : extra) out << line << "\n";
}

int FakeZelvane::fill_params(module_params *params, pam_handle_t *pamh,
                             const std::vector<std::string> &extra, const std::string &host) const {
  params->pamh = pamh;
  if (set_params_defaults(params) != 0) return -1;
  std::vector<std::string> options = settings(host);
  options.insert(options.end(), extra.begin(), extra.end());
  std::vector<const char *> argv;
  for (const std::string &option : options) argv.push_back(option.c_str());
  parse_args(static_cast<int>(argv.size()), argv.data(), params);
  return 0;
}

} // namespace zvtest
