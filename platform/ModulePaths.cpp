#include "ModulePaths.h"
