#include "unixfs/session/credentials.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "grfs/messages.h"
#include "unixfs/session/workstation.h"

namespace {

uint16_t ByteSum(const char* field, int length) {
    uint16_t sum = 0;
    for (int i = 0; i < length; ++i) sum = static_cast<uint16_t>(sum + static_cast<unsigned char>(field[i]));
    return sum;
}

// Exclusive-or of each 16-bit word: low key byte into the even byte, high
// key byte into the odd one, whatever the host's byte order.
void XorWords(char* field, int length, uint16_t key) {
    for (int i = 0; i + 1 < length; i += 2) {
        field[i] = static_cast<char>(field[i] ^ (key & 0xFF));
        field[i + 1] = static_cast<char>(field[i + 1] ^ (key >> 8));
    }
}

}  // namespace

void GRFSDecrypt(char* name, char* password, int length) {
    XorWords(name, length, ByteSum(password, length));
    XorWords(password, length, ByteSum(name, length));
}

void GRFSEncrypt(char* name, char* password, int length) {
    XorWords(password, length, ByteSum(name, length));
    XorWords(name, length, ByteSum(password, length));
}

bool CredentialEquals(const char* configured, const char* field, size_t field_size) {
    return std::string_view(configured) == std::string_view(field, strnlen(field, field_size));
}

bool is_valid_password(const WS_CNTL* ws, const GRFS_MESSAGE* request) {
    if (!ws->password_required) return true;
    return CredentialEquals(ws->workstation_password, request->body.attach_dle.password, GRFS_PASSWORD_SIZE);
}
