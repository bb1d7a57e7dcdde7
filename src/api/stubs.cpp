// Placeholder until the server operations land; every operation fails closed.
#include <security/pam_modules.h>
#include "api/api.h"
extern "C" {
char *get_validate_user_json(const module_params *, const char *, const char *) { return nullptr; }
char *get_validate_oath_opt_json(const module_params *, const char *, const char *) { return nullptr; }
char *get_send_oath_otp_json(const module_params *, const char *) { return nullptr; }
char *get_send_push_message_json(const module_params *, const char *, const char *) { return nullptr; }
void parse_server_response_json(const char *, server_response *) {}
void parse_send_push_message_response_json(const char *, send_push_message_response *) {}
void parse_validate_otp_response_json(const module_params *, const char *, validate_otp_response *) {}
void free_server_response_json(server_response *) {}
void free_send_push_message_response_json(send_push_message_response *) {}
void free_validate_otp_response_json(validate_otp_response *) {}
void remove_json_cr_nl(char *) {}
int validate_user_error_code(const module_params *, const char *, const char *) { return -7; }
int validate_user(const module_params *, const char *, const char *) { return PAM_AUTH_ERR; }
int validate_oath_otp_error_code(const module_params *, const char *, const char *) { return -7; }
int validate_oath_otp(const module_params *, const char *, const char *) { return PAM_AUTH_ERR; }
int send_oath_otp(const module_params *, const char *) { return PAM_AUTH_ERR; }
int send_push_message(const module_params *, const char *, const char *) { return PAM_AUTH_ERR; }
}
int zv_status_to_pam(int) { return PAM_AUTH_ERR; }
