// The attach credentials: GRFS_ATTACH_DLE carries its name and password
// fields scrambled, each with a byte sum of the other as key.
#pragma once

#include <cstddef>

struct WS_CNTL;
struct GRFS_MESSAGE;

// Unscrambles name and password (length bytes each, 128 on the wire) in place.
void GRFSDecrypt(char* name, char* password, int length);

// The sender's side: scrambles plain name and password in place so that
// GRFSDecrypt gives them back.
void GRFSEncrypt(char* name, char* password, int length);

// True when the workstation needs no password, or when the request's
// (unscrambled) password equals the workstation password exactly.
bool is_valid_password(const WS_CNTL* ws, const GRFS_MESSAGE* request);

// Exact comparison of a configured text with a fixed-size request field that
// may lack its terminating zero (the field then counts as field_size bytes).
bool CredentialEquals(const char* configured, const char* field, size_t field_size);
