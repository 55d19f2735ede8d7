#include "U_Settings.h"
