#include "Kova/Manager/kova_manager_command.h"

int main(int argc, char** argv) { return Kova::General::Manager::main(argc, argv); }
