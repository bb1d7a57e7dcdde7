// Settings records in tests: zv::ParamsScope (config/params.h) owns one and releases it with
// free_params; set_text gives one of its text fields a heap copy, as the option parser would.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

#include "config/params.h"

namespace zvtest {

// Replaces a text field with a heap copy of `value` (null for null), releasing the old text.
inline void set_text(module_params *params, char *module_params::*field, const char *value) {
  std::free(params->*field);
  params->*field = value != nullptr ? strdup(value) : nullptr;
}
inline void set_text(module_params *params, char *module_params::*field, const std::string &value) {
  set_text(params, field, value.c_str());
}

} // namespace zvtest
