// The one table of options: every key of the option language with the field it sets, its kind,
// its default and whether its value is a secret. Defaults, parsing, release, the debug dump, the
// check command and the tests all walk it; adding an option is adding a row (and its field).
// Not exported from the module.
#pragma once

#include <cstddef>
#include <span>

#include "config/params.h"

namespace zv {

enum class OptionKind : unsigned char {
  flag,      // a bare key that sets an integer field to a fixed value
  text,      // key = text; the field is a heap copy owned by the record
  integer,   // key = decimal 32-bit number
  character, // key = exactly one character
};

enum OptionTrait : unsigned {
  kSecret = 1u << 0,    // a credential: its value is never logged, dumped or shown
  kDumped = 1u << 1,    // written by dump_params
  kQuiet = 1u << 2,     // a failed copy of its default is not logged
  kAlias = 1u << 3,     // another key of a field that an earlier row already names
  kNoDefault = 1u << 4, // left alone by the defaults step (debug: read_params clears it first)
};

struct Option {
  const char *key;   // the option key
  const char *field; // the field it sets, named after the first key that sets it
  OptionKind kind;
  int module_params::*number; // flag and integer rows
  char *module_params::*text; // text rows
  char module_params::*character;
  int set;     // flag: the value the key sets
  int initial; // flag, integer, character: the field's default (integer: also the value
               // stored for a number below `minimum`)
  int minimum; // integer: the smallest value kept
  const char *initial_text; // text: the default (null for none)
  unsigned traits;
};

// Every row, fields in declaration order, each alias right after the row it repeats.
std::span<const Option> options();

// The row of `key`, or null.
const Option *find_option(const char *key);

// The value of the integer option `key` in `params`, or the option's default where the field
// holds less than the option allows (a record filled without the defaults step).
int int_setting(const module_params *params, const char *key);

// Applies one option (a module argument or a line of the configuration file) to the record.
// False when no row takes it; parse_args then logs and skips it.
bool apply_option(const char *entry, module_params *params);

// How an entry that no option took may be named in a log record or a report: by its key part
// (`text`, `length` bytes: its leading white space and what follows up to the first "=", ":"
// or white space), by the credential key its value runs on from (`credential`, to be shown as
// "KEY (value hidden)"), or not at all (both null): it may be a pasted key or password.
// `previous` is the entry before it (null for none): after "key =" or a bare key that takes a
// value, a word alone is that value.
struct EntryName {
  const char *text;
  size_t length;
  const char *credential;
};
EntryName unrecognized_name(const char *entry, const char *previous);

// The value of a text row's field in `params` (a reference into the record).
inline char *&text_of(module_params *params, const Option &o) { return params->*o.text; }
inline const char *text_of(const module_params *params, const Option &o) { return params->*o.text; }

} // namespace zv
