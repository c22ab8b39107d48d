#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "pelbo/corekit/Signature.h"
#include "support/TempDir.h"

namespace Sig = Util::Signature;
using Sig::Bytes;

namespace {

Bytes FromHex(const std::string& hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

struct Vector {
    const char* name;
    std::string secretKey;
    std::string publicKey;
    std::string message;
    std::string signature;
};

// RFC 8032, section 7.1, TEST 1 to TEST 3.
const Vector kRfc8032[] = {
    {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Signature, Rfc8032VectorsSignAndVerify)
{
    for (const Vector& v : kRfc8032) {
        SCOPED_TRACE(v.name);
        const Bytes secret = FromHex(v.secretKey);
        const Bytes message = FromHex(v.message);
        EXPECT_EQ(Sig::PublicKeyOf(secret), FromHex(v.publicKey));
        EXPECT_EQ(Sig::Sign(secret, message.data(), message.size()), FromHex(v.signature));
        EXPECT_TRUE(Sig::Verify(FromHex(v.publicKey), message.data(), message.size(), FromHex(v.signature)));
    }
}

TEST(Signature, AFlippedBitAnywhereFails)
{
    const Vector& v = kRfc8032[2];
    const Bytes key = FromHex(v.publicKey);
    const Bytes message = FromHex(v.message);
    const Bytes signature = FromHex(v.signature);
    for (size_t bit = 0; bit < message.size() * 8; ++bit) {
        Bytes changed = message;
        changed[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        EXPECT_FALSE(Sig::Verify(key, changed.data(), changed.size(), signature)) << "message bit " << bit;
    }
    for (size_t bit : {0u, 7u, 255u, 256u, 300u, 511u}) {
        Bytes changed = signature;
        changed[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        EXPECT_FALSE(Sig::Verify(key, message.data(), message.size(), changed)) << "signature bit " << bit;
    }
    for (size_t bit : {0u, 100u, 254u}) {
        Bytes changed = key;
        changed[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        EXPECT_FALSE(Sig::Verify(changed, message.data(), message.size(), signature)) << "key bit " << bit;
    }
}

TEST(Signature, WrongLengthsAndNullDataFailCleanly)
{
    const Vector& v = kRfc8032[1];
    const Bytes secret = FromHex(v.secretKey);
    const Bytes key = FromHex(v.publicKey);
    const Bytes message = FromHex(v.message);
    const Bytes signature = FromHex(v.signature);
    for (const Bytes& bad : {Bytes(), Bytes(secret.begin(), secret.end() - 1), Bytes(33, 0x42)}) {
        EXPECT_FALSE(Sig::Sign(bad, message.data(), message.size()));
        EXPECT_FALSE(Sig::PublicKeyOf(bad));
        EXPECT_FALSE(Sig::Verify(bad, message.data(), message.size(), signature));
    }
    Bytes longer = signature;
    longer.push_back(0);
    for (const Bytes& bad : {Bytes(), Bytes(signature.begin(), signature.end() - 1), longer})
        EXPECT_FALSE(Sig::Verify(key, message.data(), message.size(), bad));
    EXPECT_FALSE(Sig::Sign(secret, nullptr, 1));
    EXPECT_FALSE(Sig::Verify(key, nullptr, 1, signature));
}

TEST(Signature, GeneratedKeysAndKeyLists)
{
    const auto pair = Sig::GenerateKeyPair();
    const auto other = Sig::GenerateKeyPair();
    ASSERT_TRUE(pair && other);
    ASSERT_EQ(pair->privateKey.size(), Sig::kPrivateKeySize);
    EXPECT_EQ(Sig::PublicKeyOf(pair->privateKey), pair->publicKey);
    EXPECT_NE(pair->publicKey, other->publicKey);

    const std::string message(100000, 'm');
    const auto signature = Sig::Sign(pair->privateKey, message.data(), message.size());
    ASSERT_TRUE(signature);
    const Bytes stranger = FromHex(kRfc8032[0].publicKey);
    EXPECT_TRUE(Sig::VerifyAny({other->publicKey, pair->publicKey}, message.data(), message.size(), *signature));
    EXPECT_FALSE(Sig::VerifyAny({other->publicKey, stranger}, message.data(), message.size(), *signature));
    EXPECT_FALSE(Sig::VerifyAny({}, message.data(), message.size(), *signature));
}

TEST(Signature, Base64KnownValuesAndRoundTrip)
{
    const std::pair<std::string, std::string> known[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : known) {
        const Bytes bytes(plain.begin(), plain.end());
        EXPECT_EQ(Sig::Base64Encode(bytes), encoded);
        EXPECT_EQ(Sig::Base64Decode(encoded), bytes);
    }
    Bytes bytes;
    for (size_t length = 0; length < 70; ++length) {
        EXPECT_EQ(Sig::Base64Decode(Sig::Base64Encode(bytes), length), bytes);
        bytes.push_back(static_cast<unsigned char>(length * 37 + 200));
    }
    EXPECT_EQ(Sig::Base64Encode({0xfb, 0xff}), "+/8=");
}

TEST(Signature, Base64RefusesAnythingNotStrict)
{
    for (const char* text : {"Zg=", "Zg", "Zm9vY", "Zg=a", "Z===", "====", "=Zg=", "Zh==", "Zm9=", "Zm 9v", "Zm9v\n",
                             "Zm-v", "Zm_v", "Zm9v====", "Zm\xc3\xa9"})
        EXPECT_FALSE(Sig::Base64Decode(text)) << text;
    EXPECT_FALSE(Sig::Base64Decode(std::string("Zm\0v", 4)));
    EXPECT_FALSE(Sig::Base64Decode("Zm9v", 2));
    EXPECT_FALSE(Sig::Base64Decode("", 1));
    EXPECT_TRUE(Sig::Base64Decode("Zm9v", 3));
}

TEST(Signature, KeyFilesSkipCommentsAndRefuseAnyBadLine)
{
    const std::string a = Sig::Base64Encode(FromHex(kRfc8032[0].publicKey));
    const std::string b = Sig::Base64Encode(FromHex(kRfc8032[1].publicKey));
    std::vector<Bytes> keys;
    std::string error;
    ASSERT_TRUE(Sig::ParseKeyFile("# release key, 2026\n\n  " + a + "\t\r\n   # next key\r\n" + b, keys, error))
        << error;
    EXPECT_EQ(keys, (std::vector<Bytes>{FromHex(kRfc8032[0].publicKey), FromHex(kRfc8032[1].publicKey)}));

    for (const std::string& bad : {"# a\n" + a + "\n" + a.substr(1) + "\n", a + "\n" + a + "=\n", a + " " + b + "\n",
                                   "# a\n\n" + a + "\n; " + b + "\n"}) {
        EXPECT_FALSE(Sig::ParseKeyFile(bad, keys, error));
        EXPECT_TRUE(keys.empty());
        EXPECT_NE(error.find("line"), std::string::npos) << error;
        EXPECT_EQ(error.find(b), std::string::npos);
    }
    EXPECT_FALSE(Sig::ParseKeyFile("# nothing here\n\n", keys, error));
    EXPECT_FALSE(Sig::ParseKeyFile("", keys, error));
    EXPECT_FALSE(error.empty());
}

TEST(Signature, ReadKeyFileFromDisk)
{
    TestSupport::TempDir dir;
    const std::string b = Sig::Base64Encode(FromHex(kRfc8032[1].publicKey));
    std::ofstream(dir.Path() / "keys.pub", std::ios::binary) << "\xEF\xBB\xBF# with a byte-order mark\n" << b << "\n";
    std::vector<Bytes> keys;
    std::string error;
    ASSERT_TRUE(Sig::ReadKeyFile(TestSupport::WidePath(dir.Path() / "keys.pub").c_str(), keys, error)) << error;
    EXPECT_EQ(keys, std::vector<Bytes>{FromHex(kRfc8032[1].publicKey)});

    EXPECT_FALSE(Sig::ReadKeyFile(TestSupport::WidePath(dir.Path() / "missing.pub").c_str(), keys, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(Sig::ReadKeyFile(TestSupport::WidePath(dir.Path()).c_str(), keys, error));
    std::ofstream(dir.Path() / "huge.pub", std::ios::binary) << std::string(Sig::kMaxKeyFileSize + 1, '#');
    EXPECT_FALSE(Sig::ReadKeyFile(TestSupport::WidePath(dir.Path() / "huge.pub").c_str(), keys, error));
    EXPECT_TRUE(keys.empty());
    EXPECT_FALSE(Sig::ReadKeyFile(nullptr, keys, error));
}

}  // namespace
