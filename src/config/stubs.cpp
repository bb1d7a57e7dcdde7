// Placeholder until the configuration code lands; fails closed.
#include <cstdlib>
#include "config/params.h"
extern "C" {
int read_params(pam_handle_t *, int, const char **, module_params *) { return -1; }
int set_params_defaults(module_params *) { return -1; }
void free_params(module_params *) {}
void dump_params(const module_params *) {}
int parse_args(int, const char **, module_params *) { return 0; }
int get_string_value(const char *, const char *, char **) { return 0; }
int get_int_value(const char *, const char *, int, int *) { return 0; }
int get_char_value(const char *, const char *, char *) { return 0; }
const char *skip_whitespace(const char *s) { return s; }
char *trim_whitespace(char *s) { return s; }
int is_whitespace_only(const char *) { return 1; }
char *strdup_trimmed(const char *) { return nullptr; }
int parse_config_file_params(pam_handle_t *, module_params *) { return -1; }
}
