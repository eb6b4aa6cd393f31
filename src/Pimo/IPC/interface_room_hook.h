// Told, outside the pipe's lock, when a receive of this process takes a pipe's ring from
// above half its capacity to half or below: for a sender that cannot wait on the pipe
// itself (one that must never wait on a single reader) and is to be woken another way.
#pragma once

namespace Pimo {
namespace IPC {

class interface_room_hook {
public:
    virtual ~interface_room_hook() {}
    virtual void on_room() = 0;
};

}  // namespace IPC
}  // namespace Pimo
