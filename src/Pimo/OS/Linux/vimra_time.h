// Whole-unit times, durations as seconds in a double, sleeps and wall clocks.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace Pimo {
namespace OS {

typedef std::uint32_t second_t;
typedef std::uint32_t msecond_t;
typedef std::uint32_t usecond_t;
typedef std::uint32_t nsecond_t;
typedef std::uint64_t vimra_clock_t;
typedef std::uint64_t vimra_hz_t;
typedef pid_t process_id_t;

// Every whole-unit conversion of the infinite duration (DBL_MAX) yields this.
constexpr msecond_t c_infinite_time = 0xFFFFFFFFu;
constexpr msecond_t zero_time = 0;

extern vimra_hz_t g_cpu_frequency;
extern vimra_hz_t g_cpu_frequency_ms;
extern vimra_hz_t g_cpu_frequency_rt;

bool is_max_infinite(double in_time);
second_t get_second_part(double in_time);
msecond_t get_milli_second(double in_time);
usecond_t get_micro_second_part(double in_time);
nsecond_t get_nano_second(double in_time);
nsecond_t get_nano_second_part(double in_time);

void sleep(const second_t& in_time);
void msleep(const msecond_t& in_time);
void usleep(const usecond_t& in_time);
void nsleep(const std::uint32_t& in_time);
void rtsleep(double in_time);

vimra_clock_t vimra_cpu_clock();
void vimra_update_cpu_hz();
vimra_hz_t vimra_cpu_hz();
vimra_clock_t vimra_clock();
void vimra_set_timer_cpu_hz();
void vimra_kill_timer_cpu_hz();

process_id_t get_process_id();
int get_number_of_cores();

}  // namespace OS
}  // namespace Pimo
