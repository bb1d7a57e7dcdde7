// The offline code store: per-user files of salted SHA-512 hashes of single-use codes, used
// while the authentication server cannot be reached.
#pragma once

#include <stddef.h>

#include "config/params.h"

#define ZV_OFFLINE_NAME_SIZE 256
#define ZV_SALT_LEN 16
#define ZV_SHA512_HEX_LEN 128
#define ZV_OFFLINE_LOW_WATER 5

ZV_API_BEGIN

// Formats "/etc/zelvane.d/<user>.offline" into `buf` (cut to size - 1 characters).
ZV_API void generate_offline_codes_filename(char *buf, size_t size, const char *username);
// Fills `buf` (at least len + 1 bytes) with `len` salt characters from /dev/urandom and a NUL;
// leaves it empty when the device fails.
ZV_API void generate_salt(char *buf, size_t len);
// Writes the 128 lower-case hex digits of SHA-512(code || salt[0..salt_len)) and a NUL to `out`
// (at least 129 bytes); leaves it empty on allocation failure.
ZV_API void generate_salted_sha512(const module_params *params, const char *code, const char *salt,
                                   size_t salt_len, char *out);
// 0 when `code` matched a stored line (that line and every line above it are used up),
// else 9003. With offline_codes off it returns 9003 and touches nothing.
ZV_API int has_matching_offline_otp(const module_params *params, const char *username,
                                    const char *code);

ZV_API_END

// What an offline check is for: a code the user typed, which counts against
// offline_codes_max_failures, or a push poll, whose text the server chose and which neither
// counts nor is refused by the limit.
enum class OfflineAttempt { typed, poll };
// has_matching_offline_otp for either kind of attempt.
int check_offline_code(const module_params *params, const char *username, const char *code,
                       OfflineAttempt attempt);

// Replaces the user's offline code file with salted hashes of `codes` (under an exclusive lock,
// through a companion file and rename). Returns 0 when the file was replaced, -1 otherwise.
int store_offline_codes(const module_params *params, const char *username, char *const *codes,
                        size_t count);
// 1 when `username` may name the offline code and failure count files (not empty, ".", "..",
// nor holding "/", and short enough for every file name to be formed whole).
int offline_username_ok(const char *username);
