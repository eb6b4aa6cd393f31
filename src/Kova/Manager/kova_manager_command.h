// The operator's console: one command from the command line, or an interactive prompt, over
// the host's packet memory and the centers' stop events.
#pragma once

namespace Kova {
namespace General {
namespace Manager {

// Entry of kova_general_manager: without arguments the prompt, otherwise one command.
int main(int argc, char** argv);
// Reads command lines until "exit" or the end of input; returns 0.
int prompt();
// Echoes the words and runs the command named by the first; returns the command's result.
int cmd_processor(int argc, char** argv);

// Each receives the words after the command and returns 0.
int cmd_remain(int argc, char** argv);
int cmd_acount(int argc, char** argv);
int cmd_reset(int argc, char** argv);
int cmd_mem(int argc, char** argv);
int cmd_mmf(int argc, char** argv);
int cmd_kill(int argc, char** argv);

}  // namespace Manager
}  // namespace General
}  // namespace Kova
