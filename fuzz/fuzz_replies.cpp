// Runs the three reply parsers over arbitrary reply texts, with several offline-code reserves,
// and releases the records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "api/api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *text = static_cast<char *>(std::malloc(size + 1));
  if (text == nullptr) return 0;
  std::memcpy(text, data, size);
  text[size] = '\0';

  server_response server{};
  parse_server_response_json(text, &server);
  free_server_response_json(&server);

  send_push_message_response push{};
  parse_send_push_message_response_json(text, &push);
  free_send_push_message_response_json(&push);

  module_params params{};
  for (int reserve : {0, 1, 5, 1000}) {
    params.offline_codes_reserve = reserve;
    validate_otp_response otp{};
    parse_validate_otp_response_json(&params, text, &otp);
    size_t total = 0;
    for (size_t i = 0; i < otp.offlineCodesCount; i++)
      total += std::strlen(otp.offlineCodesArray[i]);
    if (otp.offlineCodes != nullptr && total > std::strlen(otp.offlineCodes)) std::abort();
    free_validate_otp_response_json(&otp);
  }

  remove_json_cr_nl(text);
  if (std::strchr(text, '\r') != nullptr || std::strchr(text, '\n') != nullptr) std::abort();
  std::free(text);
  return 0;
}
