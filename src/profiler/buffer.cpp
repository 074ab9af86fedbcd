// The profiler's growable byte buffer: every outgoing message is built in one, and it only
// grows, in whole steps, so that a steady stream of messages stops allocating after the
// largest has been seen.
#include "profiler/profiler_internal.h"

#include <string.h>

void ByteBuffer_Create(ByteBuffer* buffer, prf_u32 growth_step) {
    PRF_ASSERT(buffer != NULL);
    buffer->growth_step = growth_step;
    buffer->bytes_reserved = 0;
    buffer->bytes_filled = 0;
    buffer->data = NULL;
}

void ByteBuffer_Destroy(ByteBuffer* buffer) {
    PRF_ASSERT(buffer != NULL);
    if (buffer->data != NULL)
        prf_free(buffer->data);
    buffer->data = NULL;
    buffer->bytes_reserved = 0;
    buffer->bytes_filled = 0;
}

void ByteBuffer_Clear(ByteBuffer* buffer) {
    PRF_ASSERT(buffer != NULL);
    buffer->bytes_filled = 0;
}

prf_error ByteBuffer_Append(ByteBuffer* buffer, const void* bytes, prf_u32 length) {
    PRF_ASSERT(buffer != NULL);
    if (buffer->bytes_filled + length > buffer->bytes_reserved) {
        // Grow by what is missing at least, rounded up to whole steps.
        prf_u32 step = buffer->growth_step;
        prf_u32 wanted = buffer->bytes_reserved + length;
        prf_u32 reserved = (wanted + step - 1) / step * step;
        prf_u8* data = (prf_u8*)prf_realloc(buffer->data, reserved);
        if (data == NULL)
            return PRF_ERROR_OUT_OF_MEMORY;
        buffer->data = data;
        buffer->bytes_reserved = reserved;
    }
    if (length != 0)
        memcpy(buffer->data + buffer->bytes_filled, bytes, length);
    buffer->bytes_filled += length;
    return PRF_ERROR_NONE;
}

prf_error ByteBuffer_AppendU32(ByteBuffer* buffer, prf_u32 value) {
    prf_u8 bytes[4] = {(prf_u8)value, (prf_u8)(value >> 8), (prf_u8)(value >> 16),
                       (prf_u8)(value >> 24)};
    return ByteBuffer_Append(buffer, bytes, 4);
}

prf_error ByteBuffer_AppendF64(ByteBuffer* buffer, prf_u64 value) {
    // An unsigned conversion: values of 2^63 and more stay positive.
    prf_f64 f = (prf_f64)value;
    prf_u64 bits;
    memcpy(&bits, &f, 8);
    prf_u8 bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = (prf_u8)(bits >> (8 * i));
    return ByteBuffer_Append(buffer, bytes, 8);
}

// The bytes before the NUL, at most 2048: a name never needs more, and a missing terminator
// cannot run the copy away.
static prf_u32 bounded_text_length(const char* text) {
    prf_u32 length = 0;
    while (length < 2048 && text[length] != '\0')
        ++length;
    return length;
}

prf_error ByteBuffer_AppendText(ByteBuffer* buffer, const char* string) {
    PRF_ASSERT(string != NULL);
    prf_u32 length = bounded_text_length(string);
    prf_error error = ByteBuffer_Append(buffer, string, length);
    if (error != PRF_ERROR_NONE)
        return error;
    const char nul = '\0';
    return ByteBuffer_Append(buffer, &nul, 1);
}

prf_error ByteBuffer_AppendCountedText(ByteBuffer* buffer, const char* string) {
    PRF_ASSERT(string != NULL);
    prf_u32 length = bounded_text_length(string);
    prf_error error = ByteBuffer_AppendU32(buffer, length);
    if (error != PRF_ERROR_NONE)
        return error;
    return ByteBuffer_Append(buffer, string, length);
}

prf_error SendBuffer_Reset(ByteBuffer* buffer) {
    // The frame header is written at the end of this reserve just before sending, so header
    // and payload leave as one block without moving the payload.
    static const prf_u8 reserve[PRF_SEND_RESERVE] = {0};
    ByteBuffer_Clear(buffer);
    return ByteBuffer_Append(buffer, reserve, PRF_SEND_RESERVE);
}
