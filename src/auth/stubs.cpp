// Placeholder until the authentication flow lands; both factors fail closed.
#include <security/pam_modules.h>
#include "auth/auth.h"
#include "auth/offline.h"
extern "C" {
int first_factor(module_params *, const char *) { return PAM_AUTH_ERR; }
char *get_stack_password(const module_params *) { return nullptr; }
int validate_password_and_otp(module_params *, const char *, char *) { return PAM_AUTH_ERR; }
int is_otp_str(const char *) { return 0; }
int second_factor(module_params *, const char *) { return PAM_AUTH_ERR; }
int is_allowed_method(const module_params *, const char *, const char *) { return 0; }
int handle_push_command(module_params *, const char *, int *) { return PAM_AUTH_ERR; }
int parse_legacy_otp(module_params *, char *, int *) { return PAM_AUTH_ERR; }
int handle_legacy_2fa(module_params *, const char *) { return PAM_AUTH_ERR; }
int process_auto_methods(module_params *, const char *, int *) { return PAM_AUTH_ERR; }
int process_auto_otp_method(module_params *, const char *, const char *, const char *) { return PAM_AUTH_ERR; }
int process_auto_push_method(module_params *, const char *, const char *, const char *) { return PAM_AUTH_ERR; }
int set_otp_method(module_params *, const char *) { return PAM_SYSTEM_ERR; }
char *display_2fa_method_prompts(module_params *) { return nullptr; }
int process_interactive_methods(module_params *, const char *, const char *) { return PAM_AUTH_ERR; }
int handle_interactive_otp_method(module_params *, const char *, const char *) { return PAM_AUTH_ERR; }
}
