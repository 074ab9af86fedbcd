// Machine facts against the platform's own sources read here, the debugger flag, opening a URL.
#include "support/test_support.h"

#include "qv_sys/misc.h"
#include "qv_sys/platform.h"

#include <cpuid.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool cpuid_bit(unsigned leaf, int reg, unsigned bit) {
    unsigned r[4];
    __cpuid(0, r[0], r[1], r[2], r[3]);
    if (leaf > r[0])
        return false;
    __cpuid_count(leaf, 0, r[0], r[1], r[2], r[3]);
    return (r[reg] >> bit) & 1u;
}

TEST(Cpu, FeaturesMatchTheProcessorsFlags) {
    EXPECT_EQ(cpu_supports(CPU_FEATURE_SSE4_2), cpuid_bit(1, 2, 20));
    EXPECT_EQ(cpu_supports(CPU_FEATURE_AVX), cpuid_bit(1, 2, 28));
    EXPECT_EQ(cpu_supports(CPU_FEATURE_AVX2), cpuid_bit(7, 1, 5));
    EXPECT_EQ(cpu_supports(CPU_FEATURE_POPCNT), cpuid_bit(1, 2, 23));
    EXPECT_EQ(cpu_supports(4), 0);
    EXPECT_EQ(cpu_supports((sys_u32)-1), 0);
}

// The identifier as the platform keeps it; "" when there is none.
std::string platform_machine_id() {
#if defined(_WIN32)
    char value[1024];
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid",
                     RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return "";
    return value;
#else
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::string id = qv_test::read_file(path);
        id = id == "<missing>" ? "" : id.substr(0, id.find_first_of("\n "));
        if (!id.empty())
            return id;
    }
    return "";
#endif
}

TEST(MachineGuidDeathTest, IsThePlatformsIdentifierOrTheFallback) {
    const std::string id = platform_machine_id();
    const std::string expected = id.empty() ? "12345678" : id;
    char buffer[1100];
    EXPECT_EQ(sys_get_machine_guid(buffer, sizeof buffer), expected.size());
    EXPECT_STREQ(buffer, expected.c_str());
    if (id.empty()) { // the fallback is cut quietly; a real identifier that does not fit is not
        EXPECT_EQ(sys_get_machine_guid(buffer, 4), 3u);
        EXPECT_STREQ(buffer, "123");
    } else {
        QV_EXPECT_CHECK_FAILS(sys_get_machine_guid(buffer, 4));
    }
}

// A URL past the shell's 4096 units opens nothing; a character beyond 16 bits takes two units.
TEST(OpenUrlDeathTest, AnOverlongUrlFailsItsConversion) {
    QV_EXPECT_CHECK_FAILS(sys_open_url(std::string(4096, 'u').c_str()));
    std::string beyond;
    for (int i = 0; i < 2048; ++i)
        beyond += "\xF0\x9F\x98\x80";
    QV_EXPECT_CHECK_FAILS(sys_open_url(beyond.c_str()));
}

// An unknown battery reads as full; conserving follows the saver state.
TEST(Power, AnswersStayInTheirRanges) {
    EXPECT_LE(power_get_remaining_battery_percentage(), 100);
    EXPECT_EQ(power_conserve(), power_get_current_power_type() == POWER_TYPE_BATTERY_SAVER);
}

// Present only under a tracer.
TEST(DebuggerDebuggee, DISABLED_SeesItsTracer) {
    EXPECT_EQ(sys_is_debugger_present(), 1);
    qv_test::end_debuggee();
}

TEST(Debugger, PresentOnlyUnderATracer) {
    EXPECT_EQ(sys_is_debugger_present(), 0);
    qv_test::expect_under_debugger("DebuggerDebuggee.DISABLED_SeesItsTracer", 0, true);
}

#if !defined(_WIN32)
// A stand-in xdg-open records its argument after a pause: the call returns before it finishes.
TEST(OpenUrl, StartsXdgOpenDetachedWithTheUrl) {
    const std::string folder = qv_test::fresh_folder("qv_open_url_");
    const std::string opener = folder + "xdg-open", record = folder + "url.txt";
    qv_test::write_file(opener, "#!/bin/sh\nsleep 2\nprintf '%s' \"$1\" > '" + record +
                                    ".part'\nmv '" + record + ".part' '" + record + "'\n");
    chmod(opener.c_str(), 0755);
    const std::string saved = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (folder + ":" + saved).c_str(), 1);

    sys_open_url("https://example.invalid/a b?c=1&d");
    std::string got = qv_test::read_file(record);
    EXPECT_EQ(got, "<missing>") << "returned after the opener finished";
    for (int i = 0; i < 600 && got == "<missing>"; ++i) {
        usleep(50 * 1000);
        got = qv_test::read_file(record);
    }
    EXPECT_EQ(got, "https://example.invalid/a b?c=1&d");
    setenv("PATH", saved.c_str(), 1);
}
#endif

} // namespace
