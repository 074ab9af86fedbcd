// The two decrypt functions over arbitrary messages: nothing forged opens, and a genuine
// message with one byte changed by the fuzzer does not either.
#include "qv_sys/crypto.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

struct Keys {
    crypto_keypair* me;
    crypto_keypair* other;
    sys_u8 shared[32];
    Keys() {
        crypto_init();
        me = crypto_keypair_create();
        other = crypto_keypair_create();
        crypto_get_rand(shared, sizeof shared);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Keys keys;
    sys_u8 nonce[24] = {0};
    if (size != 0)
        memcpy(nonce, data, size < 24 ? size : 24);

    std::vector<uint8_t> buf(data, data + size);
    if (crypto_keypair_decrypt(keys.me, buf.data(), buf.size(),
                               crypto_keypair_get_public_key(keys.other), nonce) != 0)
        __builtin_trap();
    buf.assign(data, data + size);
    if (crypto_shared_key_decrypt(keys.shared, buf.data(), buf.size(), nonce) != 0)
        __builtin_trap();

    // A genuine message, damaged at one fuzzer-chosen bit, must be rejected.
    if (size >= 2) {
        std::vector<uint8_t> msg(size + 16);
        memcpy(msg.data(), data, size);
        const sys_u64 sealed =
            crypto_shared_key_encrypt(keys.shared, msg.data(), size, msg.size(), nonce);
        if (sealed != size + 16)
            __builtin_trap();
        const size_t at = (size_t)(data[0] | (data[1] << 8)) % msg.size();
        msg[at] ^= (uint8_t)(1u << (data[1] & 7));
        if (crypto_shared_key_decrypt(keys.shared, msg.data(), msg.size(), nonce) != 0)
            __builtin_trap();
    }
    return 0;
}
