// Drives the second factor's readers of configured and typed text with arbitrary bytes: the
// input, cut at its first NUL, is a method list and a token or answer. The list goes through the
// membership test and the menu builder (whose conversation refuses to answer), the answer
// through the code test.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <security/pam_appl.h>

#include "auth/auth.h"
#include "common/own.h"
#include "config/params.h"
#include "fuzz_support.h"

namespace {

int refuse(int, const pam_message **, pam_response **resp, void *) {
  *resp = nullptr;
  return PAM_CONV_ERR;
}

// One handle for the whole run; the menu needs a conversation to offer its lines to.
pam_handle_t *handle() {
  static pam_handle_t *pamh = [] {
    static const pam_conv conv{refuse, nullptr};
    pam_handle_t *h = nullptr;
    return pam_start("zv-fuzz", "fuzz", &conv, &h) == PAM_SUCCESS ? h : nullptr;
  }();
  return pamh;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zv::HeapPtr<char> buf = zvfuzz::copy_input(data, size);
  if (!buf) return 0;
  const char *list = buf.get();
  const size_t list_len = std::strlen(list);
  const char *token = list_len < size ? list + list_len + 1 : "";

  pam_handle_t *pamh = handle();
  if (pamh == nullptr) return 0;
  module_params params{};
  params.pamh = pamh;
  if (set_params_defaults(&params) != 0) return 0;
  params.allowed_2fa_methods = strdup(list);
  if (params.allowed_2fa_methods != nullptr) {
    (void)is_allowed_method(&params, params.allowed_2fa_methods, token);
    // The walk must leave the configured list as it was.
    if (std::strcmp(params.allowed_2fa_methods, list) != 0) std::abort();
    zv::wipe_free(display_2fa_method_prompts(&params));
  }
  (void)is_otp_str(token);
  if (set_otp_method(&params, token) == PAM_SUCCESS &&
      std::strcmp(params.send_otp_method, token) != 0)
    std::abort();
  free_params(&params);
  return 0;
}
