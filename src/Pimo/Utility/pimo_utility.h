// Every utility of the base library in one include.
#pragma once

#include "Pimo/Utility/class_stdout.h"
#include "Pimo/Utility/pimo_classic_main.h"
#include "Pimo/Utility/pimo_error_hook.h"
#include "Pimo/Utility/pimo_excute.h"
#include "Pimo/Utility/pimo_file.h"
#include "Pimo/Utility/pimo_ini_file.h"
#include "Pimo/Utility/pimo_local_time.h"
#include "Pimo/Utility/pimo_module_path.h"
#include "Pimo/Utility/pimo_nozero_division.h"
