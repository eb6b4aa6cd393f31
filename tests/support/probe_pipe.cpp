// Drives one shared pipe from its own process: tests send commands on stdin, read replies on stdout.
//   probe_pipe create|open <name> [<capacity> <elem_size>] [observer]
// Commands: send <v> [limit] | sendall <from> <count> | push <v> [limit] | recv | recvt <seconds> | pop | size | shutdown
//           | destroy | close | hold | exit
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "Pimo/IPC/class_shared_observer_pipe.h"

using namespace Pimo;
using namespace Pimo::OS;

namespace {

void say(const std::string& in_line) {
    std::printf("%s\n", in_line.c_str());
    std::fflush(stdout);
}

class watched_pipe : public IPC::class_shared_observer_pipe {
public:
    void* on_destroy() override {
        say("on_destroy");
        u_int64_t v = 0;
        say("send_after " + std::to_string(eproc_send(reinterpret_cast<const byte_t*>(&v), 0)));
        return nullptr;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    const char* name = argv[2];
    bool observer = std::string(argv[argc - 1]) == "observer";
    u_int32_t cap = argc > 4 ? std::strtoul(argv[3], nullptr, 10) : 0;
    u_int32_t elem = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 8;

    watched_pipe opipe;
    IPC::class_shared_pipe ppipe;
    IPC::class_shared_pipe& pipe = observer ? static_cast<IPC::class_shared_pipe&>(opipe) : ppipe;
    vimra_err_t r;
    if (mode == "create")
        r = observer ? opipe.eproc_create(name, cap, elem) : ppipe.eproc_create(name, cap, elem);
    else
        r = observer ? opipe.eproc_open(name) : ppipe.eproc_open(name);
    say(mode + " " + std::to_string(r));
    if (r != c_vimra_success) return 1;
    elem = pipe.get_elem_size();

    std::string buf(elem, '\0');
    byte_t* e = reinterpret_cast<byte_t*>(&buf[0]);
    auto value = [&] {
        u_int64_t v = 0;
        std::memcpy(&v, e, elem < 8 ? elem : 8);
        return std::to_string(v);
    };
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "send" || cmd == "push") {
            u_int64_t v = 0;
            size_t limit = 0;
            in >> v >> limit;
            std::memset(e, 0, elem);
            std::memcpy(e, &v, elem < 8 ? elem : 8);
            r = cmd == "push" ? pipe.eproc_push(e, limit) : pipe.eproc_send(e, limit);
            say(cmd + " " + std::to_string(r));
        } else if (cmd == "sendall") {  // sends <from>..<from+count-1>, retrying while full
            u_int64_t from = 0, count = 0;
            in >> from >> count;
            r = c_vimra_success;
            for (u_int64_t v = from; v < from + count && r == c_vimra_success; ++v) {
                std::memset(e, 0, elem);
                std::memcpy(e, &v, elem < 8 ? elem : 8);
                while ((r = pipe.eproc_send(e, 0)) == c_vimra_busy) ::usleep(100);
            }
            say("sendall " + std::to_string(r));
        } else if (cmd == "recv") {
            r = pipe.eproc_receive(e);
            say("recv " + std::to_string(r) + " " + (r == 0 ? value() : "-"));
        } else if (cmd == "recvt") {
            double t = 0;
            in >> t;
            r = pipe.eproc_receive_timeout(e, t);
            say("recvt " + std::to_string(r) + " " + (r == 0 ? value() : "-"));
        } else if (cmd == "pop") {
            r = pipe.eproc_pop(e);
            say("pop " + std::to_string(r) + " " + (r == 0 ? value() : "-"));
        } else if (cmd == "size") {
            say("size " + std::to_string(pipe.get_size()));
        } else if (cmd == "shutdown") {
            pipe.proc_shutdown();
            say("shutdown");
        } else if (cmd == "destroy") {
            observer ? opipe.proc_destroy() : ppipe.proc_destroy();
            say("destroyed");
        } else if (cmd == "close") {
            observer ? opipe.proc_close() : ppipe.proc_close();
            say("closed");
        } else if (cmd == "hold") {
            say("holding");
            for (;;) pause();
        } else if (cmd == "exit") {
            break;
        }
    }
    return 0;
}
