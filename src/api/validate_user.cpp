// User validation: asks the server whether a password is right for a user.
#include "api/api.h"
#include "api/exchange_int.h"

namespace {

using namespace zv::api;

constexpr Operation kOp{"validate_user_error_code", true, true, false, false};
// 9001 is a wrong password: a plain refusal, announced to nobody.
constexpr CodeRule kRules[] = {
    {ZV_ERR_BAD_PASSWORD, Verdict::pass},
    {ZV_ERR_CONFIGURATION, Verdict::configuration},
};

} // namespace

extern "C" int validate_user_error_code(const module_params *params, const char *username,
                                        const char *password) {
  return plain_request(params, kOp, zv::Secret(get_validate_user_json(params, username, password)),
                       kRules);
}

extern "C" int validate_user(const module_params *params, const char *username,
                             const char *password) {
  return zv_status_to_pam(validate_user_error_code(params, username, password));
}
