// The settings record of one authentication call: its built-in defaults, the order in which the
// configuration file and the module arguments refine them, its release and its debug dump.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <security/pam_appl.h>
#include <syslog.h>

#include "common/own.h"
#include "config/option_table.h"
#include "config/params.h"
#include "pam/log.h"

namespace {

constexpr const char *kUnknownLogname = "pam_zelvane(unknown)";

// "pam_zelvane(<service>)", or the fallback identity when the service is unknown; null only
// when the text cannot be allocated.
char *make_logname(pam_handle_t *pamh) {
  const void *item = nullptr;
  if (pamh != nullptr && pam_get_item(pamh, PAM_SERVICE, &item) == PAM_SUCCESS && item != nullptr &&
      *static_cast<const char *>(item) != '\0') {
    char *name = nullptr;
    if (asprintf(&name, "pam_zelvane(%s)", static_cast<const char *>(item)) < 0) return nullptr;
    return name;
  }
  return strdup(kUnknownLogname);
}

const char *shown(const char *s) { return s != nullptr ? s : "(unset)"; }

} // namespace

extern "C" int read_params(pam_handle_t *pamh, int argc, const char **argv, module_params *params) {
  if (params == nullptr) return -1;
  // Nothing is traced until a debug option has been read.
  params->debug = 0;
  params->logname = make_logname(pamh);
  if (params->logname == nullptr)
    syslog_message(params, LOG_ERR, "Memory allocation failed for logname");
  params->pamh = pamh;

  if (set_params_defaults(params) != 0) {
    ZV_LOG(params, LOG_ERR, "Failed to set default parameters");
    free_params(params);
    return -1;
  }
  if (parse_config_file_params(pamh, params) != 0) {
    ZV_LOG(params, LOG_ERR, "Failed to parse configuration file");
    free_params(params);
    return -1;
  }
  // Module arguments come last so that they win over the file; a bad one is only logged.
  parse_args(argc, argv, params);
  return 0;
}

extern "C" int set_params_defaults(module_params *params) {
  if (params == nullptr) return -1;
  for (const zv::Option &o : zv::options()) {
    if ((o.traits & (zv::kAlias | zv::kNoDefault)) != 0) continue;
    switch (o.kind) {
    case zv::OptionKind::flag:
    case zv::OptionKind::integer:
      params->*o.number = o.initial;
      break;
    case zv::OptionKind::character:
      params->*o.character = static_cast<char>(o.initial);
      break;
    case zv::OptionKind::text: {
      char *&field = zv::text_of(params, o);
      zv::wipe_free(field);
      field = nullptr;
      if (o.initial_text == nullptr) break;
      field = strdup(o.initial_text);
      if (field == nullptr && (o.traits & zv::kQuiet) == 0)
        syslog_message(params, LOG_ERR, "Memory allocation failed for %s", o.field);
      break;
    }
    }
  }

  // Without these the transport cannot even name the server or the proxy.
  if (params->port == nullptr || params->path == nullptr || params->proxy_port == nullptr) {
    ZV_LOG(params, LOG_ERR, "Critical memory allocation failed in defaults");
    return -1;
  }
  return 0;
}

extern "C" void free_params(module_params *params) {
  if (params == nullptr) return;
  zv::wipe_free(params->logname);
  params->logname = nullptr;
  // Every text is wiped: several hold keys and passwords.
  for (const zv::Option &o : zv::options()) {
    if (o.kind != zv::OptionKind::text || (o.traits & zv::kAlias) != 0) continue;
    zv::wipe_free(zv::text_of(params, o));
    zv::text_of(params, o) = nullptr;
  }
}

extern "C" void dump_params(const module_params *params) {
  if (params == nullptr) return;
  ZV_LOG(params, LOG_DEBUG, "START");
  for (const zv::Option &o : zv::options()) {
    if ((o.traits & zv::kDumped) == 0) continue;
    if (o.kind == zv::OptionKind::text)
      ZV_LOG(params, LOG_DEBUG, "%s: %s", o.field, shown(zv::text_of(params, o)));
    else
      ZV_LOG(params, LOG_DEBUG, "%s: %d", o.field, params->*o.number);
  }
}
