// OTP delivery: asks the server to send the user a one-time code by SMS, e-mail or voice call.
#include <security/pam_modules.h>
#include <syslog.h>

#include "api/api.h"
#include "api/exchange_int.h"
#include "pam/log.h"

namespace {

using namespace zv::api;

// An unusable reply tells the user nothing here: the driver decides what follows a failed
// delivery. Every non-zero code, the configuration code included, is a server error.
constexpr Operation kOp{"send_oath_otp", false, false, false, false};

} // namespace

extern "C" int send_oath_otp(const module_params *params, const char *username) {
  ZV_LOG(params, LOG_DEBUG, "START");
  const int status =
      plain_request(params, kOp, zv::Secret(get_send_oath_otp_json(params, username)), {});
  if (status == 0)
    send_message(params->pamh, PAM_TEXT_INFO, "Sent OTP %s message.\n", params->send_otp_method);
  return zv_status_to_pam(status);
}
