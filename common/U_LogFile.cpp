#include "U_LogFile.h"
