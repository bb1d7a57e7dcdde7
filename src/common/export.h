// What the module exports: the functions marked ZV_API, with C linkage under their own names.
// Everything else is hidden (see src/pam_zelvane.map, which tests/pam/test_exports.cpp checks).
#pragma once

#ifdef __cplusplus
#define ZV_API_BEGIN extern "C" {
#define ZV_API_END }
#else
#define ZV_API_BEGIN
#define ZV_API_END
#endif
#define ZV_API __attribute__((visibility("default")))
