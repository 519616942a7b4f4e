// Universal address texts, merged addresses and the advertisement address lookup.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "nrl/nrl.h"
#include "nrl/tli.h"
#include "nrl_test_support.h"

using namespace nrltest;

namespace {

struct Address {
    unsigned char buf[kTliAddrSize];
    netbuf nb;
    Address(const char* dotted, uint16_t port) {
        sockaddr_in sin = Loopback(dotted, port);
        std::memcpy(buf, &sin, sizeof sin);
        nb = netbuf{kTliAddrSize, kTliAddrSize, buf};
    }
};

std::string U(const char* dotted, uint16_t port) {
    Address a(dotted, port);
    return uaddress(&a.nb);
}

// The merged text, or "(null)" when merged_addr gives none.
std::string M(const char* dotted, uint16_t port) {
    Address a(dotted, port);
    const char* text = merged_addr(&a.nb);
    return text != nullptr ? text : "(null)";
}

// Captures what nrl_error writes.
struct ErrorCapture {
    char* text = nullptr;
    size_t size = 0;
    FILE* stream;
    FILE* saved;
    ErrorCapture() : stream(open_memstream(&text, &size)), saved(uw_nrl_def.error_stream) {
        uw_nrl_def.error_stream = stream;
    }
    std::string str() {
        std::fflush(stream);
        return std::string(text, size);
    }
    ~ErrorCapture() {
        uw_nrl_def.error_stream = saved;
        std::fclose(stream);
        std::free(text);
    }
};

}  // namespace

TEST(UAddress, DottedAddressThenPortBytes) {
    EXPECT_EQ(U("10.1.2.3", 8192), "10.1.2.3.32.0");
    EXPECT_EQ(U("127.0.0.5", 513), "127.0.0.5.2.1");
    EXPECT_EQ(U("255.255.255.255", 65535), "255.255.255.255.255.255");
    EXPECT_EQ(U("0.0.0.0", 8192), "0.0.0.0.32.0");
}

TEST(UAddress, AllZeroAddressIsEmptyText) {
    EXPECT_EQ(U("0.0.0.0", 0), "");
}

TEST(MergedAddr, KeepsAGivenAddress) {
    EXPECT_EQ(M("127.0.0.9", 8193), "127.0.0.9.32.1");
}

TEST(MergedAddr, FillsInTheLocalHostAddress) {
    gethostname(uw_local_host_name, sizeof uw_local_host_name);
    uint32_t local = 0;
    if (!LookupHostIPv4(uw_local_host_name, &local)) GTEST_SKIP() << "host name does not resolve";
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &local, dotted, sizeof dotted);
    EXPECT_EQ(M("0.0.0.0", 8192), std::string(dotted) + ".32.0");
}

TEST(MergedAddr, UnresolvableLocalHostGivesNull) {
    ErrorCapture errors;
    char saved[kLocalHostNameSize];
    std::memcpy(saved, uw_local_host_name, sizeof saved);
    std::strcpy(uw_local_host_name, "bad host!");
    EXPECT_EQ(M("0.0.0.0", 8192), "(null)");
    std::memcpy(uw_local_host_name, saved, sizeof saved);
    EXPECT_EQ(errors.str(), "merged_addr() gethostbyname(bad host!) failed!!\n");
}

TEST(GetNetAddrByName, HostAddressWithAdvertisementPort) {
    ErrorCapture errors;
    uw_nrl_def.service = "grfs";
    netbuf* nb = getnetaddrbyname("127.0.0.7");
    ASSERT_NE(nb, nullptr);
    EXPECT_EQ(nb->len, 16u);
    EXPECT_EQ(nb->maxlen, 16u);
    sockaddr_in sin{};
    std::memcpy(&sin, nb->buf, sizeof sin);
    EXPECT_EQ(sin.sin_family, AF_INET);
    EXPECT_EQ(ntohs(sin.sin_port), AdvertisementPort());
    EXPECT_STREQ(inet_ntoa(sin.sin_addr), "127.0.0.7");
    if (LookupServicePort("grfs") == 0) {
        EXPECT_EQ(errors.str(),
                  "**** getservbyname(grfs, tcp) failed! ****\n"
                  "**** using default port number(6101) for resource advertising ****\n");
    }
}

TEST(GetNetAddrByName, UnknownServiceFallsBackTo6101) {
    ErrorCapture errors;
    uw_nrl_def.service = "no-such-service-here";
    netbuf* nb = getnetaddrbyname("127.0.0.7");
    uw_nrl_def.service = "grfs";
    ASSERT_NE(nb, nullptr);
    EXPECT_EQ(PortOf(nb->buf), 6101);
    EXPECT_EQ(errors.str(),
              "**** getservbyname(no-such-service-here, tcp) failed! ****\n"
              "**** using default port number(6101) for resource advertising ****\n");
}

TEST(GetNetAddrByName, UnresolvableHostGivesNull) {
    ErrorCapture errors;
    EXPECT_EQ(getnetaddrbyname("bad host!"), nullptr);
    EXPECT_EQ(errors.str(), "Unable to get host address for bad host!\n");
}
