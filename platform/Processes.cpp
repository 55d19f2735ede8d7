#include "Processes.h"
