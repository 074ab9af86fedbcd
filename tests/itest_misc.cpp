// The power decision on every status shape, and the Linux reading of a power-supply folder.
#include "support/test_support.h"

#include "qv_sys/misc.h"

#include "misc_internal.h"

namespace {

TEST(PowerDecision, FollowsTheStatusFieldsInOrder) {
    const struct {
        bool readable;
        OsPowerStatus status; // ac, battery flag, percent, saver
        sys_i32 expected;
    } cases[] = {
        {false, {1, 0, 50, 0}, POWER_TYPE_UNKNOWN},      // no answer
        {true, {1, 255, 50, 0}, POWER_TYPE_UNKNOWN},     // battery state unknown
        {true, {1, 128, 255, 0}, POWER_TYPE_UNKNOWN},    // desktop: no system battery
        {true, {0, 8 | 1, 40, 1}, POWER_TYPE_MAINS},     // charging, whatever else
        {true, {255, 0, 40, 0}, POWER_TYPE_UNKNOWN},     // AC unknown
        {true, {1, 0, 100, 1}, POWER_TYPE_MAINS},        // plugged in
        {true, {0, 0, 70, 0}, POWER_TYPE_BATTERY},       // on battery
        {true, {0, 2, 10, 1}, POWER_TYPE_BATTERY_SAVER}, // battery saver on
    };
    for (const auto& c : cases)
        EXPECT_EQ(power_type_from_status(c.readable, c.status), c.expected)
            << int(c.status.ac_line_status) << "/" << int(c.status.battery_flag);
    for (sys_i32 type : {POWER_TYPE_UNKNOWN, POWER_TYPE_MAINS, POWER_TYPE_BATTERY})
        EXPECT_EQ(power_conserve_for(type), 0) << type;
    EXPECT_EQ(power_conserve_for(POWER_TYPE_BATTERY_SAVER), 1);
}

#if defined(__linux__)
// A desktop with a mouse's battery, then a laptop through its power states and supplies.
TEST(PowerFolder, StatesOfOneFolder) {
    std::string root = qv_test::fresh_folder("qv_power_");
    const std::string profile = root + "platform_profile";
    root.pop_back();
    auto supply = [&root](const char* name,
                          std::initializer_list<std::pair<const char*, const char*>> files) {
        for (const auto& [file, text] : files)
            qv_test::write_file(root + "/" + name + "/" + file, std::string(text) + "\n");
    };
    OsPowerStatus s{};
    auto type = [&] {
        const bool readable = os_posix_power_status_at(root.c_str(), profile.c_str(), &s);
        return power_type_from_status(readable, s);
    };
    supply("AC", {{"type", "Mains"}, {"online", "1"}});
    supply("hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "20"}});
    EXPECT_EQ(type(), POWER_TYPE_UNKNOWN);
    EXPECT_EQ(s.battery_percent, 255); // a mouse's battery is not the machine's
    supply("AC", {{"online", "0"}});
    supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "57"}});
    EXPECT_EQ(type(), POWER_TYPE_BATTERY);
    EXPECT_EQ(s.battery_percent, 57);
    qv_test::write_file(profile, "low-power\n");
    EXPECT_EQ(type(), POWER_TYPE_BATTERY_SAVER);
    supply("BAT0", {{"status", "Charging"}});
    EXPECT_EQ(type(), POWER_TYPE_MAINS);
    supply("BAT0", {{"status", "Full"}, {"capacity", "100"}});
    supply("AC", {{"online", "1"}});
    EXPECT_EQ(type(), POWER_TYPE_MAINS);
    EXPECT_EQ(s.battery_percent, 100);
    supply("AC", {{"type", "USB"}}); // a charger on a USB-C port
    EXPECT_EQ(type(), POWER_TYPE_MAINS);
    supply("AC", {{"online", "0"}});
    EXPECT_EQ(type(), POWER_TYPE_BATTERY_SAVER); // the profile is still low-power
    supply("AC", {{"type", "Wireless"}});        // no line supply at all: unknown
    EXPECT_EQ(type(), POWER_TYPE_UNKNOWN);
    EXPECT_FALSE(os_posix_power_status_at("/nonexistent/power_supply", "/nonexistent", &s));
}
#endif

} // namespace
