// The power decision on every status shape, and the Linux reading of a power-supply folder
// made here.
#include <gtest/gtest.h>

#include "qv_sys/misc.h"

#include "misc_internal.h"

#include <stdio.h>
#include <string>

#if defined(__linux__)
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct PowerCase {
    bool readable;
    OsPowerStatus status; // ac, battery flag, percent, saver
    sys_i32 expected;
};

TEST(PowerDecision, FollowsTheStatusFieldsInOrder) {
    const PowerCase cases[] = {
        {false, {1, 0, 50, 0}, POWER_TYPE_UNKNOWN},      // no answer
        {true, {1, 255, 50, 0}, POWER_TYPE_UNKNOWN},     // battery state unknown
        {true, {1, 128, 255, 0}, POWER_TYPE_UNKNOWN},    // desktop: no system battery
        {true, {0, 8 | 1, 40, 1}, POWER_TYPE_MAINS},     // charging, whatever else
        {true, {255, 0, 40, 0}, POWER_TYPE_UNKNOWN},     // AC unknown
        {true, {1, 0, 100, 1}, POWER_TYPE_MAINS},        // plugged in
        {true, {0, 0, 70, 0}, POWER_TYPE_BATTERY},       // on battery
        {true, {0, 2, 10, 1}, POWER_TYPE_BATTERY_SAVER}, // battery saver on
    };
    for (const PowerCase& c : cases)
        EXPECT_EQ(power_type_from_status(c.readable, c.status), c.expected)
            << int(c.status.ac_line_status) << "/" << int(c.status.battery_flag);
    for (sys_i32 type : {POWER_TYPE_UNKNOWN, POWER_TYPE_MAINS, POWER_TYPE_BATTERY})
        EXPECT_EQ(power_conserve_for(type), 0) << type;
    EXPECT_EQ(power_conserve_for(POWER_TYPE_BATTERY_SAVER), 1);
}

#if defined(__linux__)
class PowerFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/qv_power_XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root_ = folder;
        profile_ = root_ + "/platform_profile";
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + root_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    void supply(const char* name,
                std::initializer_list<std::pair<const char*, const char*>> files) {
        const std::string dir = root_ + "/" + name;
        mkdir(dir.c_str(), 0755);
        for (const auto& [file, text] : files) {
            FILE* f = fopen((dir + "/" + file).c_str(), "w");
            ASSERT_NE(f, nullptr);
            fprintf(f, "%s\n", text);
            fclose(f);
        }
    }
    sys_i32 type(OsPowerStatus* s) {
        const bool readable = os_posix_power_status_at(root_.c_str(), profile_.c_str(), s);
        return power_type_from_status(readable, *s);
    }
    std::string root_, profile_;
};

// One folder through its states: a desktop with a mouse's battery, a laptop on battery, in
// low-power mode, charging, full; then without a mains supply.
TEST_F(PowerFolder, StatesOfOneFolder) {
    OsPowerStatus s{};
    supply("AC", {{"type", "Mains"}, {"online", "1"}});
    supply("hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "20"}});
    EXPECT_EQ(type(&s), POWER_TYPE_UNKNOWN);
    EXPECT_EQ(s.battery_percent, 255); // a mouse's battery is not the machine's
    supply("AC", {{"online", "0"}});
    supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "57"}});
    EXPECT_EQ(type(&s), POWER_TYPE_BATTERY);
    EXPECT_EQ(s.battery_percent, 57);
    FILE* f = fopen(profile_.c_str(), "w");
    fprintf(f, "low-power\n");
    fclose(f);
    EXPECT_EQ(type(&s), POWER_TYPE_BATTERY_SAVER);
    supply("BAT0", {{"status", "Charging"}});
    EXPECT_EQ(type(&s), POWER_TYPE_MAINS);
    supply("BAT0", {{"status", "Full"}, {"capacity", "100"}});
    supply("AC", {{"online", "1"}});
    EXPECT_EQ(type(&s), POWER_TYPE_MAINS);
    EXPECT_EQ(s.battery_percent, 100);
    supply("AC", {{"type", "USB"}});
    EXPECT_EQ(type(&s), POWER_TYPE_UNKNOWN);
    // No folder: no answer.
    EXPECT_FALSE(os_posix_power_status_at("/nonexistent/power_supply", "/nonexistent", &s));
}
#endif

} // namespace
