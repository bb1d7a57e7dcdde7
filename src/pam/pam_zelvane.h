// The module's face to the PAM library: the six service functions and the helpers of the
// authentication entry point.
#pragma once

#include <security/pam_modules.h>

#include "config/params.h"

#define ZV_PROBE_USER "<zelvane.module.loaded>"
#define ZV_BYPASS_BUFFER_DEFAULT 5120
#define ZV_BYPASS_BUFFER_MAX 65536

ZV_API_BEGIN

// The six service functions (declared by <security/pam_modules.h>) are defined in entry.cpp.

// The user name as PAM holds it (borrowed), or null after logging why.
ZV_API const char *get_username(module_params *params);
// A pam_set_data release callback that frees `data`.
ZV_API void free_pam_data(pam_handle_t *pamh, void *data, int error_status);

ZV_API_END
