// Fuzz target: one received request of any type, as arbitrary bytes, through
// the decoder that every session uses, then through the message dump, and,
// when it decoded completely, back through the encoder and the decoder. The
// request record and the received bytes live on the heap at their exact
// sizes, so the sanitizers see any access outside them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "grfs/message_trace.h"
#include "grfs/messages.h"
#include "grfs/xdr.h"

namespace {

[[noreturn]] void fail(const char* what, int type) {
    std::fprintf(stderr, "fuzz_decode_request: %s (type %d)\n", what, type);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The dump is part of the receive path whenever tracing is on.
    set_message_log_file(std::fopen("/dev/null", "w"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto msg = std::make_unique<GRFS_MESSAGE>();
    int body = 0;
    const GrfsCodeStatus status = grfs_decode_request(std::span<const unsigned char>(data, size), msg.get(), &body);
    const int type = msg->hdr.msg_type;
    print_message(msg.get(), body);
    (void)type_to_str(type);

    // Types without a layout keep the caller's length; nothing to compare.
    const bool has_layout = type >= GRFS_ATTACH_DLE && type <= GRFS_GET_INFO &&
                            (type < GRFS_ENUM_SPECIAL_FIRST || type > GRFS_SPECIAL_EXCLUDE);
    if (status != GRFS_CODE_COMPLETE || !has_layout) return 0;
    // A GRFS_CHANGE_DIR whose negative size cancels the constant states a
    // body of 0 or less: as stated, only its header would travel.
    if (body <= 0) return 0;

    // Encode what was decoded, as the send path does (room for the body and
    // the coder's slack), from a copy: encoding reverses a DBLK's Unix
    // information in place.
    auto copy = std::make_unique<GRFS_MESSAGE>();
    std::memcpy(copy.get(), msg.get(), sizeof *copy);
    const int room = (body > static_cast<int>(size) ? body : static_cast<int>(size)) + GRFS_MSG_HEADER_SIZE + 100;
    std::unique_ptr<unsigned char[]> wire(new unsigned char[room]);
    GRFS_XDR enc{};
    grfs_set_xdr_direction(&enc, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&enc, wire.get(), room);
    GrfsCodeStatus enc_status = GRFS_CODE_COMPLETE;
    const int enc_body = grfs_xdr_message(&enc, copy.get(), body, &enc_status);
    if (enc_status != GRFS_CODE_COMPLETE) fail("a complete request does not encode", type);
    if (enc_body != body) fail("encoding states another body length", type);

    // The encoder writes back exactly the bytes the decoder took.
    const int coded = grfs_get_xdr_length(&enc);
    if (static_cast<size_t>(coded) > size) fail("more bytes encoded than were received", type);
    if (std::memcmp(wire.get(), data, static_cast<size_t>(coded)) != 0) fail("encoded bytes differ from received", type);

    // And decoding them again gives the same record.
    auto again = std::make_unique<GRFS_MESSAGE>();
    int again_body = 0;
    const GrfsCodeStatus again_status =
        grfs_decode_request(std::span<const unsigned char>(wire.get(), static_cast<size_t>(coded)), again.get(), &again_body);
    if (again_status != GRFS_CODE_COMPLETE) fail("re-encoded request does not decode completely", type);
    if (again_body != body) fail("re-decoded body length differs", type);
    if (std::memcmp(again.get(), msg.get(), sizeof *again) != 0) fail("re-decoded record differs", type);
    return 0;
}
