#include "core/net/Device.h"

#include <QCryptographicHash>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace velmora;

TEST(Device, Sha256HexIsTheStandardDigest) {
    EXPECT_EQ(Device::sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Device::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Hashed as UTF-8.
    EXPECT_EQ(Device::sha256Hex(QString::fromUtf8("\xC3\xA9")),
              QString::fromLatin1(QCryptographicHash::hash("\xC3\xA9", QCryptographicHash::Sha256).toHex()));
}

TEST(Device, PicksEn0ElseTheFirstRealInterfaceByName) {
    const auto hashOf = [](const char* address) { return Device::sha256Hex(QString::fromLatin1(address)); };

    EXPECT_EQ(Device::identifier({{"wlp2s0", "AA:BB:CC:00:00:01"}, {"en0", "A4:83:E7:01:02:03"}}),
              hashOf("a4:83:e7:01:02:03"))
        << "en0 first, its address as written in lower case, colons included";
    EXPECT_EQ(Device::identifier({{"wlp2s0", "AA:BB:CC:00:00:01"},
                                  {"lo", "00:00:00:00:00:00", true},
                                  {"enp3s0", "AA:BB:CC:00:00:02"},
                                  {"En0", "AA:BB:CC:00:00:03"},
                                  {"dummy", "00:00:00:00:00:00"}}),
              hashOf("aa:bb:cc:00:00:03"))
        << "no en0 (names are compared with case): the first real interface by name";
    EXPECT_EQ(Device::identifier({{"en0", ""}, {"eth1", "AA:BB:CC:00:00:09"}}), hashOf("aa:bb:cc:00:00:09"))
        << "an en0 without an address does not count";
    EXPECT_FALSE(Device::identifier({}).has_value());
    EXPECT_FALSE(Device::identifier({{"lo", "00:00:00:00:00:00", true}, {"tun0", ""}}).has_value());
    EXPECT_FALSE(Device::identifier({{"lo", "AA:BB:CC:00:00:01", true}}).has_value());
}

TEST(Device, MachineIdentifierIsStable) {
    const auto first = Device::identifier();
    EXPECT_EQ(first, Device::identifier());
    if (first) {
        EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(*first).hasMatch()) << qPrintable(*first);
    }
}
