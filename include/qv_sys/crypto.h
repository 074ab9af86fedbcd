/* qv_sys cryptography: random numbers, key pairs, authenticated encryption, key exchange and
 * password hashing, with a small fixed choice of primitives.
 *
 * Call crypto_init once before anything else here; afterwards every function may be called
 * from any thread. Encryption works in place: the caller's buffer holds the plain message at
 * its start before encryption and after decryption, and the encrypted form is the 16-byte
 * authentication tag followed by the encrypted message (plain length + 16 bytes). Nonces
 * always come from the caller; the library never makes, stores or sends one. Never encrypt
 * two messages with the same key and nonce. */
#ifndef QV_SYS_CRYPTO_H
#define QV_SYS_CRYPTO_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

enum {
    CRYPTO_PUBLIC_KEY_SIZE = 32,
    CRYPTO_SECRET_KEY_SIZE = 32,
    CRYPTO_SHARED_KEY_SIZE = 32,
    CRYPTO_NONCE_SIZE = 24, /* for both kinds of encryption */
    CRYPTO_TAG_SIZE = 16,   /* the encrypted form is this much longer than the message */
    CRYPTO_SALT_SIZE = 16,
    CRYPTO_PASSWORD_HASH_SIZE = 32,
};

/* A Curve25519 key pair, usable for public-key encryption and for key exchange. Opaque: a
 * 64-byte block, the public key in its first 32 bytes and the secret key in the last 32, so
 * the handle's address is also the address of the public key. */
typedef struct crypto_keypair crypto_keypair;

/* Starts the cryptography library. Calling it again is harmless. A failure to start fails the
 * check "res != -1". */
QV_SYS_API void crypto_init(void);

/* A uniformly distributed random 32-bit number. */
QV_SYS_API sys_u32 crypto_get_rand32(void);

/* A random 64-bit number made of 8 random bytes. */
QV_SYS_API sys_u64 crypto_get_rand64(void);

/* Fills `size` bytes at `buffer` with random bytes. A size of 0 writes nothing. */
QV_SYS_API void crypto_get_rand(void* buffer, sys_u64 size);

/* A new key pair with fresh keys; release it with crypto_keypair_destroy. Null only when the
 * 64 bytes cannot be allocated. */
QV_SYS_API crypto_keypair* crypto_keypair_create(void);

/* Releases a key pair (the secret key is not wiped). */
QV_SYS_API void crypto_keypair_destroy(crypto_keypair* pair);

/* The pair's 32-byte public key: the handle's own address. */
QV_SYS_API const sys_u8* crypto_keypair_get_public_key(const crypto_keypair* pair);

/* Encrypts and authenticates, in place, the `length`-byte message at the start of `buffer`
 * (capacity `capacity` bytes) for the holder of `other_public_key`, with this pair's secret
 * key and the 24-byte `nonce` (X25519, XSalsa20-Poly1305).
 * Gives the encrypted length, length + 16. A length of 0 gives 0 with no check. A capacity
 * below length + 16 fails the check "!\"crypto_keypair_encrypt usage is wrong\"" and gives 0
 * with the buffer untouched. A refusal by the cipher gives 0. */
QV_SYS_API sys_u64 crypto_keypair_encrypt(const crypto_keypair* pair, void* buffer, sys_u64 length,
                                          sys_u64 capacity, const void* other_public_key,
                                          const void* nonce);

/* Checks and decrypts, in place, the `length`-byte encrypted message at the start of `buffer`
 * that the holder of `other_public_key` made for this pair with the same `nonce`.
 * Gives the message length, length - 16, with the message at the start of the buffer. A
 * length of 16 or less (no message byte), or a forged, damaged or wrongly addressed message,
 * gives 0; the buffer's content is then not meaningful. */
QV_SYS_API sys_u64 crypto_keypair_decrypt(const crypto_keypair* pair, void* buffer, sys_u64 length,
                                          const void* other_public_key, const void* nonce);

/* Derives the two 32-byte session keys shared with the holder of `other_public_key`. Both
 * sides agree who is the server (is_server 1 on that side, 0 on the other); then each
 * encrypts with its sending key and decrypts with its receiving key: the client's sending key
 * is the server's receiving key and the other way round.
 * Gives true on success, false when the other public key is unacceptable. */
QV_SYS_API sys_bool crypto_keypair_create_shared(const crypto_keypair* pair, void* sending_key,
                                                 void* receiving_key, const void* other_public_key,
                                                 sys_bool is_server);

/* As crypto_keypair_encrypt, with the 32-byte shared key `key` (XSalsa20-Poly1305). A
 * capacity below length + 16 fails the check "!\"crypto_shared_key_encrypt usage is wrong\""
 * and gives 0. */
QV_SYS_API sys_u64 crypto_shared_key_encrypt(const void* key, void* buffer, sys_u64 length,
                                             sys_u64 capacity, const void* nonce);

/* As crypto_keypair_decrypt, with the 32-byte shared key `key`. */
QV_SYS_API sys_u64 crypto_shared_key_decrypt(const void* key, void* buffer, sys_u64 length,
                                             const void* nonce);

/* Writes the 32-byte hash of the `password_length`-byte password with the 16-byte `salt`:
 * Argon2i version 1.3, 32 MiB of memory, 4 + extra_passes passes. The same inputs always give
 * the same bytes; the output has the size of a shared key. Slow by design (tens of
 * milliseconds or more). A failure (e.g. memory that cannot be had) fails the check
 * "res == 0"; the output is then not meaningful. So does an extra_passes so large that
 * 4 + extra_passes does not fit in 64 bits: it is refused, never wrapped to a small count. */
QV_SYS_API void crypto_password_hash(void* output, const void* password, sys_u64 password_length,
                                     const void* salt, sys_u64 extra_passes);

QV_SYS_END_C

#endif /* QV_SYS_CRYPTO_H */
