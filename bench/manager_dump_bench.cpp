// Time of the console's "dd" on a dump of a 640 MiB packet memory with about 100 000 blocks.
//   manager_dump_bench <kova_general_manager> [dump directory]
// Prints the median of three runs with the output thrown away and written to a file.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Pimo/Memory/heap_record.h"

using namespace Pimo::Memory;

extern char** environ;

namespace {

constexpr u_int32_t c_size = 640u << 20;
constexpr u_int32_t c_pairs = 50000;  // a header block and a data block each

void put_packet(unsigned char* pin_payload, unsigned char in_type, u_int16_t in_code, u_int32_t in_size) {
    const u_int32_t src = 0x0107A8C0, dst = 0x0100007F;  // 192.168.7.1, 127.0.0.1 as stored
    const u_int16_t dport = 7100, sport = 7200;
    std::memcpy(pin_payload + 36, &src, 4);
    std::memcpy(pin_payload + 40, &dst, 4);
    std::memcpy(pin_payload + 46, &dport, 2);
    pin_payload[49] = in_type;
    std::memcpy(pin_payload + 50, &sport, 2);
    std::memcpy(pin_payload + 56, &in_code, 2);
    std::memcpy(pin_payload + 68, &in_size, 4);
}

// Tiles the segment as the heap does: allocated pairs, then one free block for the rest.
std::vector<unsigned char> make_dump() {
    std::vector<unsigned char> seg(c_size, 0);
    auto* hdr = reinterpret_cast<HEAP_HEADER*>(seg.data());
    const u_int32_t data_cap = ((c_size - c_first_block) / c_pairs - 2 * c_heap_block_size - 80 - 64) & ~7u;
    u_int64_t pos = c_first_block;
    const unsigned char guard[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    for (u_int32_t i = 0; i < 2 * c_pairs; ++i) {
        auto* b = reinterpret_cast<HEAP_BLOCK*>(seg.data() + pos);
        const bool header = i % 2 == 0;
        b->len.key = header ? 80 : data_cap;
        b->ptr.key = static_cast<u_int32_t>(pos);
        b->ref = 1;
        b->alloc_size = header ? 72 : data_cap - 8;
        std::snprintf(b->str, sizeof b->str, "bench.cpp-%u lines", i);
        for (int g = 0; g < 16; ++g) b->front[g] = static_cast<Pimo::byte_t>(g);
        unsigned char* payload = seg.data() + pos + c_heap_block_size;
        put_packet(payload, header ? 1 : 48, header ? 3 : 0x1234, header ? 0 : b->alloc_size - 72);
        std::memcpy(payload + b->alloc_size, guard, 8);
        pos += c_heap_block_size + b->len.key;
        hdr->alloc += c_heap_block_size + b->len.key;
    }
    auto* last = reinterpret_cast<HEAP_BLOCK*>(seg.data() + pos);
    last->len.key = static_cast<u_int32_t>(c_size - pos - c_heap_block_size);
    last->ptr.key = static_cast<u_int32_t>(pos);
    hdr->free = last->len.key;
    hdr->alloc_count = hdr->refer_count = 2 * c_pairs;
    hdr->reset_count = 1;
    return seg;
}

double run_dd(const std::string& in_program, const std::string& in_dump, const std::string& in_out) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, in_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv{const_cast<char*>(in_program.c_str()), const_cast<char*>("dd"),
                            const_cast<char*>(in_dump.c_str()), nullptr};
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) return -1;
    posix_spawn_file_actions_destroy(&fa);
    int st = 0;
    waitpid(pid, &st, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <kova_general_manager> [dump directory]\n", argv[0]);
        return 2;
    }
    const std::string dir = argc > 2 ? argv[2] : "/tmp";
    const std::string dump = dir + "/manager_bench.dump", out = dir + "/manager_bench.txt";
    {
        const std::vector<unsigned char> seg = make_dump();
        std::FILE* f = std::fopen(dump.c_str(), "wb");
        if (!f || std::fwrite(seg.data(), 1, seg.size(), f) != seg.size()) return 1;
        std::fclose(f);
    }
    for (const std::string& target : {std::string("/dev/null"), out}) {
        std::vector<double> t;
        for (int i = 0; i < 3; ++i) t.push_back(run_dd(argv[1], dump, target));
        std::sort(t.begin(), t.end());
        std::printf("dd of a 640 MiB dump with %u blocks, output to %s: median %.3f s\n", 2 * c_pairs + 1,
                    target.c_str(), t[1]);
    }
    std::remove(dump.c_str());
    std::remove(out.c_str());
    return 0;
}
