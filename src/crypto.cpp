// The cryptography family: the choice of primitives and parameters, the in-place buffer
// layout, and the mapping of the cipher library's results to lengths and booleans.
#include "qv_sys/crypto.h"

#include "qv_sys/assertion.h"

#include <new>
#include <stdint.h>
#include <sodium.h>

// The handle is the key block itself, so its address is the public key's.
struct crypto_keypair {
    sys_u8 public_key[crypto_box_PUBLICKEYBYTES];
    sys_u8 secret_key[crypto_box_SECRETKEYBYTES];
};

static_assert(sizeof(crypto_keypair) == 64);
static_assert(crypto_box_PUBLICKEYBYTES == CRYPTO_PUBLIC_KEY_SIZE &&
              crypto_box_SECRETKEYBYTES == CRYPTO_SECRET_KEY_SIZE);
static_assert(crypto_kx_PUBLICKEYBYTES == CRYPTO_PUBLIC_KEY_SIZE &&
              crypto_kx_SECRETKEYBYTES == CRYPTO_SECRET_KEY_SIZE &&
              crypto_kx_SESSIONKEYBYTES == CRYPTO_SHARED_KEY_SIZE);
static_assert(crypto_box_NONCEBYTES == CRYPTO_NONCE_SIZE &&
              crypto_secretbox_NONCEBYTES == CRYPTO_NONCE_SIZE);
static_assert(crypto_box_MACBYTES == CRYPTO_TAG_SIZE &&
              crypto_secretbox_MACBYTES == CRYPTO_TAG_SIZE);
static_assert(crypto_secretbox_KEYBYTES == CRYPTO_SHARED_KEY_SIZE);
static_assert(crypto_pwhash_argon2i_SALTBYTES == CRYPTO_SALT_SIZE);

namespace {

constexpr unsigned long long kPasswordHashBasePasses = 4;
constexpr size_t kPasswordHashMemory = 0x2000000; // 32 MiB

// length + tag must fit in the capacity; written so that a huge length cannot wrap around.
bool tag_fits(sys_u64 length, sys_u64 capacity) {
    return capacity >= CRYPTO_TAG_SIZE && length <= capacity - CRYPTO_TAG_SIZE;
}

} // namespace

void crypto_init(void) {
    // 1 means already started, which is fine: only -1 is a failure.
    const int res = sodium_init();
    SYS_CHECK(res != -1);
}

sys_u32 crypto_get_rand32(void) {
    return randombytes_random();
}

sys_u64 crypto_get_rand64(void) {
    sys_u64 value;
    randombytes_buf(&value, sizeof(value));
    return value;
}

void crypto_get_rand(void* buffer, sys_u64 size) {
    if (size != 0)
        randombytes_buf(buffer, (size_t)size);
}

crypto_keypair* crypto_keypair_create(void) {
    crypto_keypair* pair = new (std::nothrow) crypto_keypair;
    if (pair != nullptr)
        crypto_box_keypair(pair->public_key, pair->secret_key);
    return pair;
}

void crypto_keypair_destroy(crypto_keypair* pair) {
    delete pair;
}

const sys_u8* crypto_keypair_get_public_key(const crypto_keypair* pair) {
    return pair->public_key;
}

sys_u64 crypto_keypair_encrypt(const crypto_keypair* pair, void* buffer, sys_u64 length,
                               sys_u64 capacity, const void* other_public_key, const void* nonce) {
    if (length == 0)
        return 0;
    if (!tag_fits(length, capacity)) {
        SYS_CHECK(!"crypto_keypair_encrypt usage is wrong");
        return 0;
    }
    // In place: the cipher moves the message behind the tag it writes at the buffer's start.
    unsigned char* bytes = (unsigned char*)buffer;
    if (crypto_box_easy(bytes, bytes, length, (const unsigned char*)nonce,
                        (const unsigned char*)other_public_key, pair->secret_key) != 0)
        return 0;
    return length + CRYPTO_TAG_SIZE;
}

sys_u64 crypto_keypair_decrypt(const crypto_keypair* pair, void* buffer, sys_u64 length,
                               const void* other_public_key, const void* nonce) {
    if (length <= CRYPTO_TAG_SIZE)
        return 0;
    unsigned char* bytes = (unsigned char*)buffer;
    if (crypto_box_open_easy(bytes, bytes, length, (const unsigned char*)nonce,
                             (const unsigned char*)other_public_key, pair->secret_key) != 0)
        return 0;
    return length - CRYPTO_TAG_SIZE;
}

sys_bool crypto_keypair_create_shared(const crypto_keypair* pair, void* sending_key,
                                      void* receiving_key, const void* other_public_key,
                                      sys_bool is_server) {
    unsigned char* rx = (unsigned char*)receiving_key;
    unsigned char* tx = (unsigned char*)sending_key;
    const unsigned char* other = (const unsigned char*)other_public_key;
    const int res =
        is_server == SYS_TRUE
            ? crypto_kx_server_session_keys(rx, tx, pair->public_key, pair->secret_key, other)
            : crypto_kx_client_session_keys(rx, tx, pair->public_key, pair->secret_key, other);
    return res == 0 ? SYS_TRUE : SYS_FALSE;
}

sys_u64 crypto_shared_key_encrypt(const void* key, void* buffer, sys_u64 length, sys_u64 capacity,
                                  const void* nonce) {
    if (length == 0)
        return 0;
    if (!tag_fits(length, capacity)) {
        SYS_CHECK(!"crypto_shared_key_encrypt usage is wrong");
        return 0;
    }
    unsigned char* bytes = (unsigned char*)buffer;
    if (crypto_secretbox_easy(bytes, bytes, length, (const unsigned char*)nonce,
                              (const unsigned char*)key) != 0)
        return 0;
    return length + CRYPTO_TAG_SIZE;
}

sys_u64 crypto_shared_key_decrypt(const void* key, void* buffer, sys_u64 length,
                                  const void* nonce) {
    if (length <= CRYPTO_TAG_SIZE)
        return 0;
    unsigned char* bytes = (unsigned char*)buffer;
    if (crypto_secretbox_open_easy(bytes, bytes, length, (const unsigned char*)nonce,
                                   (const unsigned char*)key) != 0)
        return 0;
    return length - CRYPTO_TAG_SIZE;
}

void crypto_password_hash(void* output, const void* password, sys_u64 password_length,
                          const void* salt, sys_u64 extra_passes) {
    // Saturate rather than wrap: an absurd pass count must be refused, not become 3 passes.
    const unsigned long long passes = extra_passes > UINT64_MAX - kPasswordHashBasePasses
                                          ? UINT64_MAX
                                          : kPasswordHashBasePasses + extra_passes;
    const int res = crypto_pwhash(
        (unsigned char*)output, CRYPTO_PASSWORD_HASH_SIZE, (const char*)password, password_length,
        (const unsigned char*)salt, passes, kPasswordHashMemory, crypto_pwhash_ALG_ARGON2I13);
    SYS_CHECK(res == 0);
}
