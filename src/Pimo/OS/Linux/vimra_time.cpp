#include "Pimo/OS/Linux/vimra_time.h"

#include <sys/time.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace Pimo {
namespace OS {

vimra_hz_t g_cpu_frequency = 0;
vimra_hz_t g_cpu_frequency_ms = 0;
vimra_hz_t g_cpu_frequency_rt = 0;

namespace {

// Truncation toward zero that saturates instead of being undefined for NaN or huge values.
std::int64_t trunc_i64(double in_v) {
    if (std::isnan(in_v)) return 0;
    if (in_v >= 9223372036854775807.0) return INT64_MAX;
    if (in_v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(in_v);
}

std::int32_t trunc_i32(double in_v) {
    if (std::isnan(in_v)) return 0;
    if (in_v >= 2147483647.0) return INT32_MAX;
    if (in_v <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(in_v);
}

std::uint32_t low32(std::int64_t in_v) { return static_cast<std::uint32_t>(static_cast<std::uint64_t>(in_v)); }

std::uint32_t sub_second_part(double in_time, double in_scale) {
    if (is_max_infinite(in_time)) return c_infinite_time;
    std::int32_t w = trunc_i32(in_time);
    return low32(trunc_i64(in_scale * (in_time - w)));
}

}  // namespace

bool is_max_infinite(double in_time) {
    const double max = DBL_MAX;
    return std::memcmp(&in_time, &max, sizeof(double)) == 0;
}

second_t get_second_part(double in_time) {
    if (is_max_infinite(in_time)) return c_infinite_time;
    return low32(trunc_i64(in_time));
}

msecond_t get_milli_second(double in_time) {
    if (is_max_infinite(in_time)) return c_infinite_time;
    return low32(trunc_i64(1000.0 * in_time));
}

usecond_t get_micro_second_part(double in_time) { return sub_second_part(in_time, 1000000.0); }

nsecond_t get_nano_second(double in_time) {
    if (is_max_infinite(in_time)) return c_infinite_time;
    return low32(trunc_i64(1000000000.0 * in_time));
}

nsecond_t get_nano_second_part(double in_time) { return sub_second_part(in_time, 1000000000.0); }

void sleep(const second_t& in_time) { ::sleep(in_time); }

void msleep(const msecond_t& in_time) {
    std::uint32_t us = in_time * 1000u;  // computed in 32 bits, as callers expect
    ::usleep(us);
}

void usleep(const usecond_t& in_time) { ::usleep(in_time); }

void nsleep(const std::uint32_t& in_time) { ::usleep(in_time / 1000u); }

void rtsleep(double in_time) {
    if (is_max_infinite(in_time)) {
        OS::sleep(c_infinite_time);
        return;
    }
    if (!(in_time >= 1e-9)) {  // negative, tiny and NaN return at once
        OS::sleep(0);
        return;
    }
    second_t s = get_second_part(in_time);
    if (s != 0) OS::sleep(s);
    usecond_t u = get_micro_second_part(in_time);
    if (u != 0) OS::usleep(u);
}

vimra_clock_t vimra_cpu_clock() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<vimra_clock_t>(tv.tv_sec) * 1000000u + static_cast<vimra_clock_t>(tv.tv_usec);
}

void vimra_update_cpu_hz() {
    g_cpu_frequency = 1000000;
    g_cpu_frequency_ms = g_cpu_frequency / 1000;
}

vimra_hz_t vimra_cpu_hz() { return g_cpu_frequency; }

vimra_clock_t vimra_clock() {
    if (g_cpu_frequency_ms == 0) return 0;
    return vimra_cpu_clock() / g_cpu_frequency_ms;
}

void vimra_set_timer_cpu_hz() {}
void vimra_kill_timer_cpu_hz() {}

process_id_t get_process_id() { return ::getpid(); }

int get_number_of_cores() { return 8; }

}  // namespace OS
}  // namespace Pimo
