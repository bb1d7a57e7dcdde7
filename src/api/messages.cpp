// The JSON messages of the server's REST interface: request builders, reply parsers and the
// release of parsed replies. Passwords, codes and offline codes pass through here, so every
// copy of them that this file makes or controls is wiped before it is released.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <syslog.h>

#include "api/api.h"
#include "common/own.h"
#include "pam/log.h"

namespace {

// The parser logs under its own name even from the helpers below.
constexpr const char *kOtpParser = "parse_validate_otp_response_json";

// Overwrites the text of a string member in place. Jansson keeps its own heap copy of every
// member; a password or code must not outlive the document in it.
void wipe_member(json_t *root, const char *key) {
  json_t *value = json_object_get(root, key);
  if (!json_is_string(value)) return;
  zv::wipe(const_cast<char *>(json_string_value(value)), json_string_length(value));
}

// Serialises with indent 2 straight into one exact-size buffer: json_dumps would leave
// unwiped copies of the body (and the secrets in it) behind in its growing work buffer.
char *serialise(const json_t *root) {
  const size_t flags = JSON_INDENT(2);
  const size_t size = json_dumpb(root, nullptr, 0, flags);
  if (size == 0 || size == SIZE_MAX) return nullptr;
  zv::Secret text = zv::Secret::with_capacity(size + 1);
  if (!text) return nullptr;
  if (json_dumpb(root, text.get(), size, flags) != size) return nullptr;
  text.get()[size] = '\0';
  return text.release();
}

// Serialises the request and wipes its secret member; null when there is no document.
char *finish_request(json_t *root, const char *secret_key) {
  if (root == nullptr) return nullptr;
  char *text = serialise(root);
  if (secret_key != nullptr) wipe_member(root, secret_key);
  return text;
}

int delivery_method_number(const char *method) {
  if (std::strcmp(method, "email") == 0) return 1;
  if (std::strcmp(method, "voice") == 0) return 2;
  return 0; // "sms", and any other text
}

const char *string_member(const json_t *root, const char *key) {
  return json_string_value(json_object_get(root, key)); // null unless a JSON string
}

// The parse steps the three replies share: the document, then the members of every reply.
// Returns the document when it is an object, else null (the record then stays zero apart from
// its root).
template <class Reply> json_t *parse_common(const char *json, Reply *response) {
  if (json == nullptr) return nullptr;
  json_error_t error;
  // A member given twice would leave the outcome to whichever copy the parser kept: such a reply
  // is no reply.
  response->root = json_loads(json, JSON_REJECT_DUPLICATES, &error);
  if (!json_is_object(response->root)) return nullptr;
  const json_t *code = json_object_get(response->root, "errorCode");
  if (json_is_integer(code)) {
    response->errorCode =
        static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(json_integer_value(code))));
  }
  response->errorMessage = string_member(response->root, "errorMessage");
  response->type = string_member(response->root, "type");
  return response->root;
}

// Releases the document; the texts borrowed from it go with it.
template <class Reply> void release_common(Reply *response) {
  if (response == nullptr) return;
  json_decref(response->root);
  response->root = nullptr;
  response->errorMessage = nullptr;
  response->type = nullptr;
}

void free_codes(char **codes, size_t count) {
  if (codes == nullptr) return;
  for (size_t i = 0; i < count; i++) zv::wipe_free(codes[i]);
  std::free(codes);
}

// Splits "offlineCodes" at commas as strtok_r does, keeping at most fields - reserve codes.
void extract_offline_codes(const module_params *params, validate_otp_response *response) {
  response->offlineCodes = string_member(response->root, "offlineCodes");
  if (response->offlineCodes == nullptr) return;

  size_t fields = 1;
  for (const char *p = response->offlineCodes; *p != '\0'; p++)
    if (*p == ',') fields++;
  const int reserve = params != nullptr ? params->offline_codes_reserve : 0;
  size_t limit = fields;
  if (reserve > 0 && static_cast<size_t>(reserve) < fields)
    limit = fields - static_cast<size_t>(reserve);

  char **codes = static_cast<char **>(std::calloc(limit, sizeof(char *)));
  if (codes == nullptr) {
    ZV_LOG_AS(kOtpParser, params, LOG_ERR, "Memory allocation failed for offlineCodesArray");
    return;
  }
  zv::Secret copy(strdup(response->offlineCodes));
  if (!copy) {
    ZV_LOG_AS(kOtpParser, params, LOG_ERR, "Memory allocation failed for offlineCodesCopy");
    std::free(codes);
    return;
  }
  size_t taken = 0;
  char *save = nullptr;
  for (char *token = strtok_r(copy.get(), ",", &save); token != nullptr && taken < limit;
       token = strtok_r(nullptr, ",", &save)) {
    codes[taken] = strdup(token);
    if (codes[taken] == nullptr) {
      ZV_LOG_AS(kOtpParser, params, LOG_ERR,
                "Memory allocation failed for offlineCodesArray token");
      free_codes(codes, taken);
      return;
    }
    taken++;
  }
  response->offlineCodesArray = codes;
  response->offlineCodesCount = taken;
}

} // namespace

extern "C" char *get_validate_user_json(const module_params *params, const char *username,
                                        const char *password) {
  if (params == nullptr) return nullptr;
  zv::UniquePtr<json_t> root(
      json_pack("{s:s, s:s, s:s}", "type", "validate_user", "username", username, "pw", password));
  return finish_request(root.get(), "pw");
}

extern "C" char *get_validate_oath_opt_json(const module_params *params, const char *username,
                                            const char *otp) {
  if (params == nullptr) return nullptr;
  zv::UniquePtr<json_t> root(
      json_pack("{s:s, s:s, s:s}", "type", "validate_oath_otp", "username", username, "otp", otp));
  if (root && params->offline_codes != 0 &&
      json_object_set_new(root.get(), "ocodes", json_integer(-1)) != 0) {
    wipe_member(root.get(), "otp");
    return nullptr;
  }
  return finish_request(root.get(), "otp");
}

extern "C" char *get_send_oath_otp_json(const module_params *params, const char *username) {
  // The method is always chosen before a delivery; without one there is nothing to ask for.
  if (params == nullptr || params->send_otp_method == nullptr) return nullptr;
  zv::UniquePtr<json_t> root(json_pack("{s:s, s:s, s:i}", "type", "send_oath_otp", "username",
                                       username, "deliveryMethod",
                                       delivery_method_number(params->send_otp_method)));
  return finish_request(root.get(), nullptr);
}

extern "C" char *get_send_push_message_json(const module_params *params, const char *username,
                                            const char *delivery_method) {
  if (params == nullptr) return nullptr;
  char app_name[ZV_PUSH_TEXT_SIZE];
  char reason[ZV_PUSH_TEXT_SIZE];
  zv::UniquePtr<json_t> root(
      json_pack("{s:s, s:s, s:s, s:s, s:s, s:s}", "type", "send_push_message", "deliveryMethod",
                delivery_method, "username", username, "authnAccount", username, "appName",
                expand_push_text(params, username, params->push_app_name, app_name), "authnReason",
                expand_push_text(params, username, params->push_reason, reason)));
  return finish_request(root.get(), nullptr);
}

extern "C" void parse_server_response_json(const char *json, server_response *response) {
  if (response == nullptr) return;
  *response = server_response{};
  parse_common(json, response);
}

extern "C" void parse_send_push_message_response_json(const char *json,
                                                      send_push_message_response *response) {
  if (response == nullptr) return;
  *response = send_push_message_response{};
  if (parse_common(json, response) == nullptr) return;
  response->authnUserReqId = string_member(response->root, "authnUserReqId");
}

extern "C" void parse_validate_otp_response_json(const module_params *params, const char *json,
                                                 validate_otp_response *response) {
  if (response == nullptr) return;
  *response = validate_otp_response{};
  if (parse_common(json, response) == nullptr) return;
  extract_offline_codes(params, response);
}

extern "C" void free_server_response_json(server_response *response) { release_common(response); }

extern "C" void free_send_push_message_response_json(send_push_message_response *response) {
  if (response == nullptr) return;
  release_common(response);
  response->authnUserReqId = nullptr;
}

extern "C" void free_validate_otp_response_json(validate_otp_response *response) {
  if (response == nullptr) return;
  free_codes(response->offlineCodesArray, response->offlineCodesCount);
  response->offlineCodesArray = nullptr;
  response->offlineCodesCount = 0;
  wipe_member(response->root, "offlineCodes");
  release_common(response);
  response->offlineCodes = nullptr;
}

extern "C" void remove_json_cr_nl(char *text) {
  if (text == nullptr) return;
  for (char *p = text; *p != '\0'; p++)
    if (*p == '\r') *p = ' ';
  for (char *p = text; *p != '\0'; p++)
    if (*p == '\n') *p = ' ';
}
