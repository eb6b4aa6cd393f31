#include "Kova/General_Service/Global/class_service.h"

int main(int argc, char* argv[]) { return Kova::General_Service::main(argc, argv); }
