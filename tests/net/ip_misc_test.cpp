#include "net/ip_misc.h"

#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <cstring>

namespace zanpost {
namespace {

std::uint32_t from_octets(unsigned char a, unsigned char b, unsigned char c, unsigned char d)
{
    const unsigned char octets[4] = {a, b, c, d};
    std::uint32_t address;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

class IpMisc : public ::testing::Test {
protected:
    void SetUp() override { platform::socket_layer_start(); }
};

TEST_F(IpMisc, AddressesAreWrittenFirstOctetFirst)
{
    EXPECT_EQ(ip_to_text(from_octets(10, 0, 0, 5)), "10.0.0.5");
    EXPECT_EQ(ip_to_text(from_octets(192, 168, 1, 10)), "192.168.1.10");
    EXPECT_EQ(ip_to_text(from_octets(255, 0, 127, 1)), "255.0.127.1");
}

TEST_F(IpMisc, DottedTextsResolveWithoutALookup)
{
    EXPECT_EQ(resolve_host("10.0.0.5"), from_octets(10, 0, 0, 5));
    EXPECT_EQ(resolve_host("127.0.0.1"), from_octets(127, 0, 0, 1));
    EXPECT_EQ(ip_to_text(resolve_host("192.168.1.10")), "192.168.1.10");
}

TEST_F(IpMisc, EmptyHostHasNoAddress) { EXPECT_EQ(resolve_host(""), ip_none); }

TEST_F(IpMisc, HostNamesGoThroughTheResolver)
{
    EXPECT_EQ(resolve_host("localhost"), from_octets(127, 0, 0, 1));
}

TEST_F(IpMisc, LocalHostNameIsOneTheResolverKnows)
{
    const std::string name = local_host_name();
    ASSERT_FALSE(name.empty());
    EXPECT_NE(resolve_host(name), ip_none);
    EXPECT_NE(local_ip_address(), ip_none);
}

}  // namespace
}  // namespace zanpost
