// The date and time pictures (exactly sized heap copies) over arbitrary bytes: the text must fit
// the buffer with its NUL and the result be its length; with both pictures null nothing is written.
#include "qv_sys/filesystem.h"

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9)
        return 0;
    sys_u64 filetime;
    memcpy(&filetime, data, 8);
    filetime %= 280000000000000000ull; // 1601 to about 2500: local time always has an answer
    const sys_u32 capacity = data[8];
    const std::string rest((const char*)data + 9, size - 9);
    const size_t nul = rest.find('\0');
    const std::string date = rest.substr(0, nul);
    const std::string time = nul == std::string::npos ? "" : rest.substr(nul + 1).c_str();
    std::vector<char> date_copy(date.c_str(), date.c_str() + date.size() + 1);
    std::vector<char> time_copy(time.c_str(), time.c_str() + time.size() + 1);
    const char* date_picture = date.empty() ? nullptr : date_copy.data();
    const char* time_picture = nul == std::string::npos ? nullptr : time_copy.data();

    std::vector<char> buffer(capacity + 1, '#'); // one guard byte after the capacity
    const sys_u32 n = filesystem_filetime_to_string(filetime, buffer.data(), capacity, date_picture,
                                                    time_picture);
    if (buffer[capacity] != '#' ||
        (!date_picture && !time_picture ? n != 0 || buffer[0] != '#'
                                        : n != 0 && (n >= capacity || strlen(buffer.data()) != n)))
        __builtin_trap();
    return 0;
}
