// The two decrypt functions over arbitrary messages: nothing forged opens, and a genuine
// message with one bit changed by the fuzzer does not either.
#include "qv_sys/crypto.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sys_u8 shared[32];
    static crypto_keypair* me =
        (crypto_init(), crypto_get_rand(shared, sizeof shared), crypto_keypair_create());
    static crypto_keypair* other = crypto_keypair_create();
    sys_u8 nonce[24] = {0};
    if (size != 0)
        memcpy(nonce, data, size < 24 ? size : 24);

    std::vector<uint8_t> buf(data, data + size);
    if (crypto_keypair_decrypt(me, buf.data(), size, crypto_keypair_get_public_key(other), nonce) !=
        0)
        __builtin_trap();
    buf.assign(data, data + size);
    if (crypto_shared_key_decrypt(shared, buf.data(), size, nonce) != 0)
        __builtin_trap();

    if (size >= 2) {
        std::vector<uint8_t> msg(data, data + size);
        msg.resize(size + 16);
        if (crypto_shared_key_encrypt(shared, msg.data(), size, msg.size(), nonce) != size + 16)
            __builtin_trap();
        msg[(size_t)(data[0] | (data[1] << 8)) % msg.size()] ^= (uint8_t)(1u << (data[1] & 7));
        if (crypto_shared_key_decrypt(shared, msg.data(), msg.size(), nonce) != 0)
            __builtin_trap();
    }
    return 0;
}
