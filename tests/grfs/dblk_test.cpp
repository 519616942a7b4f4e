#include "grfs/dblk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "dblk_test_images.h"
#include "xdr_trace_capture.h"

namespace {

using namespace dblk_test;

std::unique_ptr<GRFS_GEN_DBLK> new_dblk() {
    auto d = std::make_unique<GRFS_GEN_DBLK>();
    std::memset(d.get(), 0, sizeof *d);
    return d;
}

Bytes encode(GRFS_GEN_DBLK* d, int* returned = nullptr, GRFS_XDR* out = nullptr) {
    Bytes buf(kMaxDblkSize + 16, 0xAA);
    GRFS_XDR x{};
    grfs_set_xdr_direction(&x, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&x, buf.data(), static_cast<int>(buf.size()));
    int r = grfs_xdr_GRFS_GEN_DBLK(&x, d);
    if (returned != nullptr) *returned = r;
    if (out != nullptr) *out = x;
    buf.resize(static_cast<size_t>(x.cursor));
    return buf;
}

int decode(Bytes wire, GRFS_GEN_DBLK* d, GRFS_XDR* out = nullptr) {
    GRFS_XDR x{};
    grfs_set_xdr_direction(&x, GRFS_XDR_DECODE);
    grfs_set_xdr_buffer(&x, wire);
    int r = grfs_xdr_GRFS_GEN_DBLK(&x, d);
    if (out != nullptr) *out = x;
    return r;
}

TEST(DblkLayout, AgentBlockSizes) {
    auto d = new_dblk();
    make_file_dblk(*d, "abc");
    EXPECT_EQ(d->dblk_actual_size, 240);
    EXPECT_EQ(d->os_spec_info, 184);
    make_dir_dblk(*d, "x/abc");
    EXPECT_EQ(d->dblk_actual_size, 248);
    EXPECT_EQ(d->os_spec_size, 62);
    EXPECT_EQ(dblk_type_name(8), std::string("DDB_ID"));
    EXPECT_EQ(dblk_type_name(9), std::string("FDB_ID"));
    EXPECT_EQ(dblk_type_name(0), std::string("UDB_ID"));
    EXPECT_EQ(dblk_type_name(11), std::string("CFDB_ID"));
    EXPECT_EQ(dblk_type_name(5), std::string("INVALID_DBLK_TYPE"));
    EXPECT_EQ(dblk_type_name(12), std::string("INVALID_DBLK_TYPE"));
    EXPECT_EQ(dblk_type_name(255), std::string("INVALID_DBLK_TYPE"));
}

TEST(DblkCoding, FileBlockWireImageHasBigEndianOsInfoInALittleEndianBlock) {
    auto d = new_dblk();
    make_file_dblk(*d, "abc");
    int returned = 0;
    GRFS_XDR x{};
    Bytes wire = encode(d.get(), &returned, &x);
    EXPECT_EQ(returned, 240);
    EXPECT_FALSE(grfs_xdr_failed(&x));
    Bytes expected = file_wire_image("abc");
    ASSERT_EQ(wire.size(), expected.size());
    EXPECT_EQ(wire, expected);
    // st_mode 0x81A4 at information offset 8, gen_attr and size little-endian
    EXPECT_EQ(Bytes(wire.begin() + 184 + 8, wire.begin() + 184 + 12), (Bytes{0x00, 0x00, 0x81, 0xA4}));
    EXPECT_EQ(Bytes(wire.begin() + 136, wire.begin() + 140), (Bytes{0x21, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(wire.begin() + 128, wire.begin() + 136), (Bytes{0x00, 0x10, 0, 0, 0x02, 0, 0, 0}));
}

TEST(DblkCoding, EncodingLeavesTheSourceInWireOrder) {
    auto d = new_dblk();
    make_file_dblk(*d, "abc");
    encode(d.get());
    Bytes expected = file_wire_image("abc");
    EXPECT_EQ(std::memcmp(dblk_bytes(d.get()) + 176, expected.data() + 176, 240 - 176), 0);
    UNIX_FILE_OS_INFO info;
    std::memcpy(&info, dblk_bytes(d.get()) + 184, sizeof info);
    EXPECT_EQ(info.st_mode, 0xA4810000u);
}

TEST(DblkCoding, DirectoryBlockWireImage) {
    auto d = new_dblk();
    make_dir_dblk(*d, "x/abc");
    int returned = 0;
    Bytes wire = encode(d.get(), &returned);
    EXPECT_EQ(returned, 248);
    EXPECT_EQ(wire, dir_wire_image("x/abc"));
}

TEST(DblkCoding, HandBuiltImagesDecodeToHostOrder) {
    auto want = new_dblk();
    make_file_dblk(*want, "abc");
    auto got = new_dblk();
    GRFS_XDR x{};
    EXPECT_EQ(decode(file_wire_image("abc"), got.get(), &x), 240);
    EXPECT_EQ(x.cursor, 240);
    EXPECT_FALSE(grfs_xdr_failed(&x));
    EXPECT_EQ(std::memcmp(got.get(), want.get(), 240), 0);
    UNIX_FILE_OS_INFO info;
    FillFileInfoFromDblk(&info, got.get());
    EXPECT_EQ(info.st_mode, 0x81A4u);
    EXPECT_EQ(info.st_size.lsw, 0x12345678u);
    EXPECT_EQ(info.st_size.msw, 9u);
    EXPECT_EQ(info.st_ino.lsw, 0x0ABCDEF0u);
    EXPECT_EQ(info.st_nlink, 2u);
    EXPECT_EQ(info.os_info_version, 1);

    make_dir_dblk(*want, "x/abc");
    std::memset(got.get(), 0, sizeof *got);
    EXPECT_EQ(decode(dir_wire_image("x/abc"), got.get()), 248);
    EXPECT_EQ(std::memcmp(got.get(), want.get(), 248), 0);
    UNIX_DIR_OS_INFO dinfo;
    FillDirInfoFromDblk(&dinfo, got.get());
    EXPECT_EQ(dinfo.st_mode, 0x41EDu);
    EXPECT_EQ(dinfo.access_date.year, 2025);
    EXPECT_EQ(dinfo.dir_path_offset, 56);
    EXPECT_EQ(dinfo.dir_path_length, 6);
    EXPECT_EQ(dinfo.st_nlink, 0x103u);
    EXPECT_STREQ(dblk_text_at(got.get(), got->type_part.ddb.path), "x/abc");
}

TEST(DblkCoding, EncodeThenDecodeGivesBackTheRecord) {
    for (bool dir : {false, true}) {
        auto original = new_dblk();
        if (dir)
            make_dir_dblk(*original, "some/longer/path/name");
        else
            make_file_dblk(*original, "a file name.txt");
        original->archived_time = DATE_TIME{1, 2000, 6, 7, 8, 9, 10, 3};
        original->translate = 1;
        original->obj_type = 0x1234;
        std::memset(original->dblk_reserved2, 0x5A, sizeof original->dblk_reserved2);
        auto copy = new_dblk();
        std::memcpy(copy.get(), original.get(), sizeof *copy);
        Bytes wire = encode(copy.get());
        EXPECT_EQ(wire.size(), original->dblk_actual_size);
        auto back = new_dblk();
        decode(wire, back.get());
        EXPECT_EQ(std::memcmp(back.get(), original.get(), original->dblk_actual_size), 0) << dir;
    }
}

TEST(DblkCoding, OlderOsInfoFormsTravelBigEndian) {
    // 24-byte file form: 32-bit size at 20.
    auto d = new_dblk();
    make_file_dblk(*d, "f");
    d->os_spec_size = 24;
    UNIX_FILE_OS_INFO_32 small{1, 2, 0x81A4, 3, 4, 0x01020304};
    std::memcpy(dblk_bytes(d.get()) + d->os_spec_info, &small, sizeof small);
    const size_t at = d->os_spec_info;
    Bytes wire = encode(d.get());
    EXPECT_EQ(Bytes(wire.begin() + at + 16, wire.begin() + at + 24), (Bytes{0, 0, 0, 4, 1, 2, 3, 4}));

    // 28-byte file form: 64-bit size at 20.
    make_file_dblk(*d, "f");
    d->os_spec_size = 28;
    UNIX_FILE_OS_INFO_64 mid{1, 2, 0x81A4, 3, 4, {0x05060708, 0x01020304}};
    std::memcpy(dblk_bytes(d.get()) + at, &mid, sizeof mid);
    wire = encode(d.get());
    EXPECT_EQ(Bytes(wire.begin() + at + 20, wire.begin() + at + 28), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    // the bytes after the 28-byte form are not reversed
    EXPECT_EQ(wire[at + 40], 1);

    // Old directory form: 40 bytes, then the path copy; nothing after 40 reversed.
    make_dir_dblk(*d, "dd");
    d->os_spec_size = 40 + 3;
    const size_t dat = d->os_spec_info;
    wire = encode(d.get());
    EXPECT_EQ(Bytes(wire.begin() + dat + 8, wire.begin() + dat + 12), (Bytes{0, 0, 0x41, 0xED}));
    EXPECT_EQ(Bytes(wire.begin() + dat + 36, wire.begin() + dat + 40), (Bytes{0, 56, 0, 3}));
    EXPECT_EQ(Bytes(wire.begin() + dat + 52, wire.begin() + dat + 56), (Bytes{0x03, 0x01, 0, 0}));  // st_nlink as stored
}

TEST(DblkCoding, NoUnixInfoIsNotReversed) {
    auto d = new_dblk();
    make_file_dblk(*d, "abc");
    d->os_id = 7;
    Bytes wire = encode(d.get());
    UNIX_FILE_OS_INFO info;
    std::memcpy(&info, wire.data() + 184, sizeof info);
    EXPECT_EQ(info.st_mode, 0x81A4u);

    make_file_dblk(*d, "abc");
    d->os_spec_info = 0;
    wire = encode(d.get());
    std::memcpy(&info, wire.data() + 184, sizeof info);
    EXPECT_EQ(info.st_mode, 0x81A4u);
}

TEST(DblkCoding, OtherBlockTypesCarry168BytesThenTheirVariableArea) {
    auto d = new_dblk();
    d->dblk_type = VCB_ID;
    d->os_id = 20;
    d->dblk_actual_size = 200;
    std::memset(dblk_bytes(d.get()) + 168, 0x11, 8);  // type part: not carried
    for (int i = 0; i < 24; ++i) d->var_area[i] = static_cast<uint8_t>(i + 1);
    int returned = 0;
    Bytes wire;
    {
        TraceCapture trace(DBG_CONFIG);
        wire = encode(d.get(), &returned);
        EXPECT_EQ(trace.lines(), "amount_copied (168) != GRFS_DBLK_NET_SIZE (176)\n");
    }
    EXPECT_EQ(returned, 200);
    ASSERT_EQ(wire.size(), 168u + 24u);
    EXPECT_EQ(wire[0], VCB_ID);
    EXPECT_EQ(wire[150], 200);
    EXPECT_EQ(wire[168], 1);
    EXPECT_EQ(wire[191], 24);

    auto back = new_dblk();
    std::memset(back.get(), 0x77, sizeof *back);
    GRFS_XDR x{};
    EXPECT_EQ(decode(wire, back.get(), &x), 200);
    EXPECT_FALSE(grfs_xdr_failed(&x));
    EXPECT_EQ(x.cursor, 192);
    EXPECT_EQ(back->dblk_type, VCB_ID);
    for (int i = 168; i < 176; ++i) EXPECT_EQ(dblk_bytes(back.get())[i], 0x77);
    EXPECT_EQ(std::memcmp(back->var_area, d->var_area, 24), 0);
    EXPECT_EQ(back->var_area[24], 0x77);
}

TEST(DblkOsInfo, FileClassification) {
    auto d = new_dblk();
    make_file_dblk(*d, "0123456789");
    EXPECT_EQ(DblkOsInfoType(d.get()), DBLK_OSINFO_VERSIONED);
    const std::pair<int, int> cases[] = {{28, 4}, {24, 3}, {0, 2}, {30, 6}, {26, 1}, {65535, 6}};
    for (auto [size, kind] : cases) {
        d->os_spec_size = static_cast<uint16_t>(size);
        EXPECT_EQ(DblkOsInfoType(d.get()), kind) << size;
    }
    d->os_spec_size = 56;
    d->os_id = 19;
    EXPECT_EQ(DblkOsInfoType(d.get()), DBLK_OSINFO_INVALID);
    d->os_id = 20;
    d->os_ver = 1;
    EXPECT_EQ(DblkOsInfoType(d.get()), DBLK_OSINFO_INVALID);
    d->os_ver = 0;
    d->dblk_type = VCB_ID;
    EXPECT_EQ(DblkOsInfoType(d.get()), DBLK_OSINFO_INVALID);
}

TEST(DblkOsInfo, DirectoryClassificationSubtractsThePathCopy) {
    auto d = new_dblk();
    make_dir_dblk(*d, "x/abc");
    d->type_part.ddb.path_leng = 10;
    const std::pair<int, int> cases[] = {{66, 6}, {50, 5}, {5, 6}, {0, 2}, {10, 2}, {45, 1}};
    for (auto [size, kind] : cases) {
        d->os_spec_size = static_cast<uint16_t>(size);
        EXPECT_EQ(DblkOsInfoType(d.get()), kind) << size;
    }
}

TEST(DblkOsInfo, ClassificationTraces) {
    auto d = new_dblk();
    make_dir_dblk(*d, "x/abc");
    d->type_part.ddb.path_leng = 10;
    d->os_spec_size = 5;
    TraceCapture trace(DBG_DATA);
    DblkOsInfoType(d.get());
    d->os_spec_size = 26;
    d->dblk_type = FDB_ID;
    DblkOsInfoType(d.get());
    EXPECT_EQ(trace.lines(),
              "Versioned dir dblk osinfo type, os_spec_size=5 dirInfoSize=-5\n"
              "Invalid file dblk osinfo type, os_spec_size=26\n");
}

TEST(DblkOsInfo, UndefinedVariantReversesTheCommonFieldsOnly) {
    auto d = new_dblk();
    make_file_dblk(*d, "abc");
    d->os_spec_size = 26;
    const size_t at = d->os_spec_info;
    TraceCapture trace(DBG_DATA);
    ByteSwapOSInfo(d.get());
    EXPECT_EQ(trace.lines(),
              "Invalid file dblk osinfo type, os_spec_size=26\n"
              "ERROR: Undefined os spec info in file ByteSwapOsInfo(), os_spec_size=26\n");
    EXPECT_EQ(Bytes(dblk_bytes(d.get()) + at + 8, dblk_bytes(d.get()) + at + 12), (Bytes{0, 0, 0x81, 0xA4}));
    UNIX_FILE_OS_INFO info;
    std::memcpy(&info, dblk_bytes(d.get()) + at, sizeof info);
    EXPECT_EQ(info.st_size.lsw, 0x12345678u);  // not reversed
}

TEST(DblkOsInfo, ByteSwapIsItsOwnInverse) {
    auto d = new_dblk();
    make_dir_dblk(*d, "p/q");
    auto before = new_dblk();
    std::memcpy(before.get(), d.get(), sizeof *d);
    ByteSwapOSInfo(d.get());
    EXPECT_NE(std::memcmp(before.get(), d.get(), d->dblk_actual_size), 0);
    ByteSwapOSInfo(d.get());
    EXPECT_EQ(std::memcmp(before.get(), d.get(), sizeof *d), 0);
}

TEST(DblkOsInfo, FillFileInfoNormalisesOlderForms) {
    auto d = new_dblk();
    make_file_dblk(*d, "f");
    UNIX_FILE_OS_INFO info;

    FillFileInfoFromDblk(&info, d.get());
    UNIX_FILE_OS_INFO sample = sample_file_info();
    EXPECT_EQ(std::memcmp(&info, &sample, sizeof info), 0);

    d->os_spec_size = 24;
    FillFileInfoFromDblk(&info, d.get());
    EXPECT_EQ(info.st_mode, 0x81A4u);
    EXPECT_EQ(info.st_size.lsw, 0x12345678u);
    EXPECT_EQ(info.st_size.msw, 0u);
    EXPECT_EQ(info.os_info_version, 0);
    EXPECT_EQ(info.st_ino.lsw, 0xFFFFFFFFu);
    EXPECT_EQ(info.st_ino.msw, 0xFFFFFFFFu);
    EXPECT_EQ(info.st_nlink, 1u);

    d->os_spec_size = 28;
    FillFileInfoFromDblk(&info, d.get());
    EXPECT_EQ(info.st_size.msw, 9u);
    EXPECT_EQ(info.os_info_version, 0);
    EXPECT_EQ(info.st_nlink, 1u);
    for (uint8_t b : info.os_info_reserved) EXPECT_EQ(b, 0);

    d->os_spec_size = 22;
    {
        TraceCapture trace(DBG_DATA);
        FillFileInfoFromDblk(&info, d.get());
        EXPECT_NE(trace.lines().find("ERROR: unknown spec info type in FillFileInfoFromDblk(), os_spec_size=22\n"),
                  std::string::npos);
    }
    EXPECT_EQ(info.st_mode, 0x81A4u);
    EXPECT_EQ(info.st_size.lsw, 0x5678u);  // 22 bytes copied: two bytes of the size only
    EXPECT_EQ(info.st_size.msw, 0u);
    EXPECT_EQ(info.st_ino.lsw, 0xFFFFFFFFu);
}

TEST(DblkOsInfo, FillDirInfoNormalisesOlderForms) {
    auto d = new_dblk();
    make_dir_dblk(*d, "abc");
    UNIX_DIR_OS_INFO info;
    FillDirInfoFromDblk(&info, d.get());
    UNIX_DIR_OS_INFO sample = sample_dir_info(4);
    EXPECT_EQ(std::memcmp(&info, &sample, sizeof info), 0);

    d->os_spec_size = 40 + 4;
    FillDirInfoFromDblk(&info, d.get());
    EXPECT_EQ(info.access_date.day, 31);
    EXPECT_EQ(info.dir_path_length, 4);
    EXPECT_EQ(info.os_info_version, 0);
    EXPECT_EQ(info.st_ino.msw, 0xFFFFFFFFu);
    EXPECT_EQ(info.st_nlink, 1u);

    // Unknown size: as many bytes as os_spec_size says (path copy included),
    // at most 40; the rest zero.
    d->os_spec_size = 20 + 4;
    FillDirInfoFromDblk(&info, d.get());
    EXPECT_EQ(info.st_gid, 0x00010002u);
    EXPECT_EQ(info.access_date.year, 2025);
    EXPECT_EQ(info.access_date.month, 0);
    EXPECT_EQ(info.dir_path_offset, 0);
    EXPECT_EQ(info.st_nlink, 1u);
}

TEST(DblkText, TextsMustLieInsideTheBlock) {
    auto d = new_dblk();
    make_file_dblk(*d, "abc");
    EXPECT_STREQ(dblk_text_at(d.get(), 180), "abc");
    EXPECT_EQ(dblk_text_at(d.get(), 100), nullptr);   // inside the fixed part
    EXPECT_EQ(dblk_text_at(d.get(), 240), nullptr);   // at the end of the block
    EXPECT_EQ(dblk_text_at(d.get(), 60000), nullptr);
    // no zero byte before the end of the block
    d->dblk_actual_size = 183;
    EXPECT_EQ(dblk_text_at(d.get(), 180), nullptr);
    d->dblk_actual_size = 184;
    EXPECT_STREQ(dblk_text_at(d.get(), 180), "abc");
    // a record smaller than the block bounds the search
    d->dblk_actual_size = 240;
    EXPECT_EQ(dblk_text_at(d.get(), 180, 183), nullptr);
}

TEST(DblkCopy, CopiesTheBlockOnly) {
    auto src = new_dblk();
    make_file_dblk(*src, "abc");
    auto dst = new_dblk();
    std::memset(dst.get(), 0xEE, sizeof *dst);
    copy_dblk(dst.get(), src.get());
    EXPECT_EQ(std::memcmp(dst.get(), src.get(), 240), 0);
    EXPECT_EQ(dblk_bytes(dst.get())[240], 0xEE);

    src->dblk_actual_size = 0;  // at least the fixed part
    std::memset(dst.get(), 0xEE, sizeof *dst);
    copy_dblk(dst.get(), src.get());
    EXPECT_EQ(std::memcmp(dst.get(), src.get(), 176), 0);
    EXPECT_EQ(dblk_bytes(dst.get())[176], 0xEE);

    src->dblk_actual_size = 65535;  // at most one record
    copy_dblk(dst.get(), src.get());
    EXPECT_EQ(std::memcmp(dst.get(), src.get(), sizeof *dst), 0);
}

}  // namespace
