// Placeholder until the server operations land; every operation fails closed.
#include <security/pam_modules.h>
#include "api/api.h"
extern "C" {
int send_push_message(const module_params *, const char *, const char *) { return PAM_AUTH_ERR; }
}
