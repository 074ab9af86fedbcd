// Cryptography, checked against the cipher library called directly, in both directions.
#include "support/test_support.h"

#include "qv_sys/crypto.h"

#include <sodium.h>

#include <array>

namespace {

using Key = std::array<sys_u8, 32>;
using Nonce = std::array<sys_u8, 24>;

// Started twice, as a harmless second start must be, before any test runs.
[[maybe_unused]] const bool kStarted = (crypto_init(), crypto_init(), true);

struct Pair {
    crypto_keypair* p = crypto_keypair_create();
    ~Pair() { crypto_keypair_destroy(p); }
    const sys_u8* pk() const { return crypto_keypair_get_public_key(p); }
    const sys_u8* sk() const { return pk() + 32; } // the second half of the key block
};

// All 8 bytes of a 64-bit number are random; a buffer is filled exactly, not past its end.
TEST(Crypto, RandomNumbersVary) {
    const sys_u32 first32 = crypto_get_rand32();
    sys_u64 high_bits = 0, differ32 = 0;
    for (int i = 0; i < 8; ++i) {
        high_bits |= crypto_get_rand64() >> 32;
        differ32 |= crypto_get_rand32() ^ first32;
    }
    EXPECT_NE(high_bits, 0u);
    EXPECT_NE(differ32, 0u);
    sys_u8 buf[48] = {0};
    crypto_get_rand(buf + 8, 32);
    EXPECT_GT(32 - std::count(buf + 8, buf + 40, 0), 16);
    EXPECT_EQ(std::count(buf, buf + 8, 0) + std::count(buf + 40, buf + 48, 0), 16);
    crypto_get_rand(nullptr, 0);
}

// Both kinds of box, exactly sized: byte for byte the library's, and opened in place.
TEST(Crypto, BoxesAreTheLibrarysAndOpenInPlace) {
    Pair a, b;
    Key key;
    Nonce n;
    crypto_get_rand(key.data(), key.size());
    crypto_get_rand(n.data(), n.size());
    for (size_t length : {1, 31, 1000}) {
        std::vector<sys_u8> msg(length), expected(length + 16);
        for (size_t i = 0; i < length; ++i)
            msg[i] = (sys_u8)(i * 7 + 1);
        for (bool shared : {false, true}) {
            SCOPED_TRACE(std::to_string(length) + (shared ? " shared key" : " key pair"));
            std::vector<sys_u8> buf(msg);
            buf.resize(length + 16);
            ASSERT_EQ(shared ? crypto_shared_key_encrypt(key.data(), buf.data(), length, buf.size(),
                                                         n.data())
                             : crypto_keypair_encrypt(a.p, buf.data(), length, buf.size(), b.pk(),
                                                      n.data()),
                      length + 16);
            ASSERT_EQ(shared ? crypto_secretbox_easy(expected.data(), msg.data(), length, n.data(),
                                                     key.data())
                             : crypto_box_easy(expected.data(), msg.data(), length, n.data(),
                                               b.pk(), a.sk()),
                      0);
            EXPECT_EQ(buf, expected);
            EXPECT_EQ(shared
                          ? crypto_shared_key_decrypt(key.data(), buf.data(), buf.size(), n.data())
                          : crypto_keypair_decrypt(b.p, buf.data(), buf.size(), a.pk(), n.data()),
                      length);
            buf.resize(length);
            EXPECT_EQ(buf, msg);
        }
    }
}

// Opened from the wrong sender, with the wrong shared key or with no message byte: 0 (damaged
// boxes are the decryption fuzz target's). An empty message is not encrypted, and no check fails.
TEST(Crypto, MisaddressedShortOrEmptyBoxesGiveZero) {
    Pair a, b, c;
    const Nonce n{};
    Key key{};
    sys_u8 sealed[12 + 16], before[12 + 16];
    memcpy(sealed, "twelve bytes", 12);
    ASSERT_EQ(crypto_keypair_encrypt(a.p, sealed, 12, sizeof sealed, b.pk(), n.data()), 28u);
    EXPECT_EQ(crypto_keypair_decrypt(b.p, sealed, 28, c.pk(), n.data()), 0u) << "not from c";
    EXPECT_EQ(crypto_keypair_decrypt(b.p, sealed, 16, a.pk(), n.data()), 0u) << "no message";
    ASSERT_EQ(crypto_shared_key_encrypt(key.data(), sealed, 12, sizeof sealed, n.data()), 28u);
    key[0] = 1;
    EXPECT_EQ(crypto_shared_key_decrypt(key.data(), sealed, 28, n.data()), 0u);
    memcpy(before, sealed, sizeof sealed);
    EXPECT_EQ(crypto_keypair_encrypt(a.p, sealed, 0, sizeof sealed, b.pk(), n.data()), 0u);
    EXPECT_EQ(crypto_shared_key_encrypt(key.data(), sealed, 0, 0, n.data()), 0u);
    EXPECT_EQ(memcmp(sealed, before, sizeof sealed), 0);
}

// The public key is the secret key's point; an unusable public key is refused on either side.
TEST(Crypto, KeyPairAndKeyExchangeMatchTheLibraryOnBothSides) {
    Pair client, server;
    Key derived, c_send, c_recv, s_send, s_recv, rx, tx;
    ASSERT_EQ(crypto_scalarmult_base(derived.data(), client.sk()), 0);
    EXPECT_EQ(memcmp(derived.data(), client.pk(), 32), 0);
    auto exchange = [](Pair& p, Key& send, Key& recv, const sys_u8* other, sys_bool server_side) {
        return crypto_keypair_create_shared(p.p, send.data(), recv.data(), other, server_side);
    };
    ASSERT_EQ(exchange(client, c_send, c_recv, server.pk(), SYS_FALSE), SYS_TRUE);
    ASSERT_EQ(exchange(server, s_send, s_recv, client.pk(), SYS_TRUE), SYS_TRUE);
    ASSERT_EQ(
        crypto_kx_client_session_keys(rx.data(), tx.data(), client.pk(), client.sk(), server.pk()),
        0);
    EXPECT_EQ(rx, c_recv);
    EXPECT_EQ(tx, c_send);
    EXPECT_EQ(c_send, s_recv);
    EXPECT_EQ(c_recv, s_send);
    const Key zero{};
    EXPECT_EQ(exchange(client, rx, tx, zero.data(), SYS_FALSE), SYS_FALSE);
    EXPECT_EQ(exchange(client, rx, tx, zero.data(), SYS_TRUE), SYS_FALSE);
}

TEST(Crypto, PasswordHashIsArgon2iWithTheFixedParameters) {
    const char password[] = "correct horse battery staple";
    const sys_u8 salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (sys_u64 passes : {0, 1}) { // added to the fixed four
        Key ours, theirs;
        crypto_password_hash(ours.data(), password, sizeof password - 1, salt, passes);
        ASSERT_EQ(crypto_pwhash(theirs.data(), 32, password, sizeof password - 1, salt, 4 + passes,
                                0x2000000, crypto_pwhash_ALG_ARGON2I13),
                  0);
        EXPECT_EQ(ours, theirs) << passes;
    }
}

// No room for the tag (also where adding the tag to the length wraps around), or a pass count
// that would wrap to 3: refused, the buffer left alone.
QV_CHECK_SCENARIO(Crypto, TooSmallCapacityOrAbsurdPassCount, 4, {
    Pair a;
    Pair b;
    sys_u8 buf[26];
    sys_u8 hash[CRYPTO_PASSWORD_HASH_SIZE];
    memcpy(buf, "0123456789", 10);
    const Nonce n{};
    EXPECT_EQ(crypto_keypair_encrypt(a.p, buf, 10, 25, b.pk(), n.data()), 0u);
    EXPECT_EQ(crypto_shared_key_encrypt(buf + 10, buf, 10, 25, n.data()), 0u);
    EXPECT_EQ(crypto_shared_key_encrypt(buf + 10, buf, ~(sys_u64)0 - 3, 26, n.data()), 0u);
    EXPECT_EQ(memcmp(buf, "0123456789", 10), 0);
    crypto_password_hash(hash, "pw", 2, buf, ~(sys_u64)0);
})

} // namespace
